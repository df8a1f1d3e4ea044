// The core's test programs: a QCoreApplication for the tests that run an event loop (sockets,
// timers); the plain ones never touch it.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
