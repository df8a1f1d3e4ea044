#pragma once

// vexctl: the command-line host program of vexsdk. Everything but main() lives here, so
// that the program's whole behaviour is reachable from one call.

#include <string>
#include <vector>

// Runs vexctl with `args` (argv without the program name); answers the exit status:
// 0 success, 1 a camera call or the operation failed, 2 a mistake on the command line.
int VexctlMain(const std::vector<std::string>& args);
