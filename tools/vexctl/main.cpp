#include <string>
#include <vector>

#include "Vexctl.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return VexctlMain(args);
}
