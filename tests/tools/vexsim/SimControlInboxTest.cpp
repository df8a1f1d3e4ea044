// The hand-over of control requests from the camera server's thread to the simulator's own
// thread. A GoogleTest program (no Qt Test harness threads), so it runs under ThreadSanitizer.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <atomic>
#include <thread>
#include <vector>

#include "SimWorld.h"

namespace {

class SimControlInboxTest : public ::testing::Test {
protected:
    int argc = 1;
    char name[16] = "inbox-test";
    char* argv[2] = {name, nullptr};
    QCoreApplication app{argc, argv};

    std::vector<int> ran;  // this thread only
    SimControlInbox inbox{[this](const kxjson::Json& request) {
                              ran.push_back(request.value("n", -1));
                              return kxjson::Json{{"ok", true}, {"n", request.value("n", -1)}};
                          },
                          kxjson::Json{{"ok", false}}};

    // Spins this thread's events until `done` holds or 10 s pass.
    template <typename Done>
    bool spinUntil(Done done) {
        QDeadlineTimer deadline(10000);
        while (!done() && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return done();
    }
};

TEST_F(SimControlInboxTest, CallersFromTwoThreadsAreAnsweredEachInTheirOwnOrder) {
    std::atomic<int> answered{0};
    auto caller = [&](int first) {
        for (int n = first; n < first + 20; ++n)
            if (inbox.call(kxjson::Json{{"n", n}}).value("n", -1) == n)
                ++answered;
    };
    std::thread a(caller, 0);
    std::thread b(caller, 100);
    EXPECT_TRUE(spinUntil([&] { return answered.load() == 40; }));
    a.join();
    b.join();
    ASSERT_EQ(ran.size(), 40u);
    int lastA = -1, lastB = 99;
    for (int n : ran) {
        int& last = n < 100 ? lastA : lastB;
        EXPECT_EQ(n, last + 1);
        last = n;
    }
}

TEST_F(SimControlInboxTest, AWaitingCallerIsReleasedAtShutdownAndLaterCallsAreRefused) {
    // Nobody spins the event loop here, so the caller waits until the inbox closes.
    std::atomic<bool> refused{false};
    std::thread waiting([&] { refused = !inbox.call(kxjson::Json{{"n", 1}}).value("ok", true); });
    QDeadlineTimer deadline(10000);
    while (inbox.pendingCount() == 0 && !deadline.hasExpired()) std::this_thread::yield();
    ASSERT_EQ(inbox.pendingCount(), 1u);
    inbox.close();
    waiting.join();
    EXPECT_TRUE(refused.load());
    EXPECT_FALSE(inbox.call(kxjson::Json{{"n", 2}}).value("ok", true));
    // The wake-up still queued for the released request runs nothing.
    QCoreApplication::processEvents();
    EXPECT_TRUE(ran.empty());
}

}  // namespace
