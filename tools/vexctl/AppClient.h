#pragma once

#include <string>
#include <vector>

// `vexctl app ...` (args: everything but the word "app"): one request to the running
// VantorReda's control interface over a WebSocket, its reply printed; exit status as
// VexctlMain's.
int VexctlAppMain(const std::vector<std::string>& args);
