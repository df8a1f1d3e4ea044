#pragma once

// The udev hot-plug source of the Linux backend (video4linux subsystem).

#include <memory>
#include <string>

#include "KXHotplug.h"

std::unique_ptr<KXHotplugSource> KXOpenUdevHotplugSource(const std::string& sysfsRoot);
