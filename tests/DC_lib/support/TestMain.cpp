#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
    // Tests write to sockets whose peers may have gone away; that must fail the write, not
    // kill the test program.
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
