#pragma once

// ALSA capture cards (thin calls into libasound).

#include <vector>

#include "KXPlatform.h"

namespace kxalsa {

// Cards with at least one capture PCM, in card order: friendly name = card name, node
// "hw:N", one capability from the first capture PCM's hardware parameters when it can be
// opened (48 kHz when offered, else its highest rate; its highest channel count up to 2;
// 16 bits when offered).
std::vector<KXCaptureDevice> captureCards();

}  // namespace kxalsa
