#include "Receiver/FrameQueue.h"
#include "Receiver/PacketQueue.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
}

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_THREAD__)
constexpr int64_t kStressItems = 1'000'000;
#else
constexpr int64_t kStressItems = 3'000'000;
#endif

// A packet with its own payload buffer, tagged with a sequence number in pts.
AVPacket* makePacket(int64_t sequence, int size = 16) {
    AVPacket* p = av_packet_alloc();
    av_new_packet(p, size);
    std::memset(p->data, static_cast<int>(sequence & 0xff), static_cast<size_t>(size));
    p->pts = sequence;
    return p;
}

AVFrame* makeFrame(int64_t sequence) {
    AVFrame* f = av_frame_alloc();
    f->format = 0;  // planar 4:2:0
    f->width = 16;
    f->height = 8;
    av_frame_get_buffer(f, 0);
    f->pts = sequence;
    return f;
}

// Waits (bounded) until one end of `queue` is asleep in its wait: the wake-up under test then
// has to reach a thread that is really blocked, not one still on its way to the wait.
template <typename Queue>
bool waitUntilAnEndSleeps(const Queue& queue) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (queue.sleepingEnds() == 0) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

struct PacketRing : ::testing::Test {
    PacketQueue queue{3};
    AVPacket* out = av_packet_alloc();
    void SetUp() override { ASSERT_EQ(queue.open(), 0); }
    void TearDown() override { av_packet_free(&out); }

    bool putSequence(int64_t sequence) {
        AVPacket* p = makePacket(sequence);
        bool ok = queue.put(p);
        av_packet_free(&p);  // an unsuccessful put leaves the packet with us
        return ok;
    }
    int64_t take(int timeoutMs = 0) {
        if (!queue.get(out, timeoutMs)) {
            return -1;
        }
        int64_t pts = out->pts;
        av_packet_unref(out);
        return pts;
    }
};

struct FrameRing : ::testing::Test {
    FrameQueue queue{3};
    AVFrame* out = av_frame_alloc();
    void SetUp() override { ASSERT_EQ(queue.open(), 0); }
    void TearDown() override { av_frame_free(&out); }

    bool putSequence(int64_t sequence, int timeoutMs = 0) {
        AVFrame* f = makeFrame(sequence);
        bool ok = queue.put(f, sequence / 30.0, 1 / 30.0, timeoutMs);
        av_frame_free(&f);
        return ok;
    }
};

}  // namespace

TEST_F(PacketRing, HoldsCapacityItemsAndRefusesTheNextUntilOneIsTaken) {
    EXPECT_TRUE(putSequence(1));
    EXPECT_TRUE(putSequence(2));
    EXPECT_TRUE(putSequence(3));
    auto before = Clock::now();
    EXPECT_FALSE(putSequence(4));  // waits its fixed 1 ms for room, then gives up
    EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(1));
    EXPECT_EQ(take(), 1);
    EXPECT_TRUE(putSequence(4));
    EXPECT_EQ(take(), 2);
    EXPECT_EQ(take(), 3);
    EXPECT_EQ(take(), 4);
    EXPECT_EQ(take(), -1);
}

TEST_F(PacketRing, KeepsOrderAcrossManyWrapArounds) {
    int64_t next = 0;
    int64_t expected = 0;
    // Vary the fill level so the cursors meet at every slot position.
    for (int cycle = 0; cycle < 5000; ++cycle) {
        int burst = 1 + cycle % 3;
        for (int i = 0; i < burst; ++i) {
            ASSERT_TRUE(putSequence(next++));
        }
        for (int i = 0; i < burst; ++i) {
            ASSERT_EQ(take(), expected++);
        }
    }
    EXPECT_EQ(take(), -1);
}

TEST_F(PacketRing, MovesReferencesInsteadOfCopyingPayloads) {
    AVPacket* p = makePacket(7, 4096);
    AVBufferRef* original = av_buffer_ref(p->buf);  // watch the payload's reference count
    ASSERT_TRUE(queue.put(p));
    EXPECT_EQ(p->buf, nullptr);  // the caller's packet is left blank
    EXPECT_EQ(p->data, nullptr);
    EXPECT_EQ(av_buffer_get_ref_count(original), 2);  // ours + the queue's, no third

    ASSERT_TRUE(queue.get(out, 0));
    EXPECT_EQ(out->data, original->data);  // same bytes, not a copy
    EXPECT_EQ(av_buffer_get_ref_count(original), 2);
    av_packet_unref(out);
    EXPECT_EQ(av_buffer_get_ref_count(original), 1);

    av_buffer_unref(&original);
    av_packet_free(&p);
    // Items still queued at destruction are released by the queue (the leak checker sees it).
    ASSERT_TRUE(putSequence(8));
    ASSERT_TRUE(putSequence(9));
}

TEST_F(PacketRing, GetOnAnEmptyRingFailsAtOnceOrAfterItsWait) {
    auto before = Clock::now();
    EXPECT_FALSE(queue.get(out, 0));
    EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(50));

    before = Clock::now();
    EXPECT_FALSE(queue.get(out, 30));
    EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(30));
}

TEST_F(PacketRing, AbortWakesAWaitingGetWhichFails) {
    std::atomic<int> result{-1};
    auto started = Clock::now();
    std::thread consumer([&] { result = queue.get(out, 60'000) ? 1 : 0; });
    // Once the consumer is asleep, abort; the wait must end long before 60 s.
    ASSERT_TRUE(waitUntilAnEndSleeps(queue));
    queue.abort();
    consumer.join();
    EXPECT_EQ(result, 0);
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(30));

    // Aborted: both ends fail at once; re-arming restores service.
    EXPECT_FALSE(putSequence(1));
    queue.rearm();
    EXPECT_TRUE(putSequence(1));
    EXPECT_EQ(take(), 1);
}

// Abort stops the consumer end too: items still queued are not handed out until re-armed (a
// stop must not feed a capture call stale frames), and they are still there afterwards.
TEST_F(PacketRing, AnAbortedRingHandsOutNothingThatIsStillQueued) {
    ASSERT_TRUE(putSequence(1));
    ASSERT_TRUE(putSequence(2));
    queue.abort();
    EXPECT_EQ(take(), -1);
    const auto before = Clock::now();
    EXPECT_EQ(take(5000), -1);  // fails at once, without waiting out its timeout
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(2));
    queue.rearm();
    EXPECT_EQ(take(), 1);
    EXPECT_EQ(take(), 2);
}

// A waiting get is woken by the put it waits for: a capture call with a long timeout must
// deliver each frame as it arrives, not once per timeout.
TEST_F(PacketRing, AnItemPutDuringATimedWaitIsTakenWithoutWaitingOutTheTimeout) {
    std::atomic<int64_t> taken{-2};
    const auto started = Clock::now();
    std::thread consumer([&] { taken = take(60'000); });
    ASSERT_TRUE(waitUntilAnEndSleeps(queue));
    ASSERT_TRUE(putSequence(42));
    consumer.join();
    EXPECT_EQ(taken, 42);
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(30));
}

TEST_F(FrameRing, AWaitingPutIsWokenWhenTheConsumerFreesItsSlot) {
    ASSERT_TRUE(putSequence(1));
    ASSERT_TRUE(putSequence(2));
    ASSERT_TRUE(putSequence(3));
    std::atomic<int> result{-1};
    const auto started = Clock::now();
    std::thread producer([&] { result = putSequence(4, 60'000) ? 1 : 0; });
    ASSERT_TRUE(waitUntilAnEndSleeps(queue));
    ASSERT_TRUE(queue.get(out, nullptr, nullptr, 0));
    av_frame_unref(out);
    producer.join();
    EXPECT_EQ(result, 1);
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(30));
}

TEST_F(PacketRing, FlushEmptiesAndReturnsBothCursorsToTheFirstSlot) {
    ASSERT_TRUE(putSequence(1));
    ASSERT_TRUE(putSequence(2));
    EXPECT_EQ(take(), 1);  // cursors now at different slots
    queue.flush();
    EXPECT_EQ(take(), -1);
    // A full ring's worth fits again and comes out in order: the cursors agree.
    ASSERT_TRUE(putSequence(10));
    ASSERT_TRUE(putSequence(11));
    ASSERT_TRUE(putSequence(12));
    EXPECT_FALSE(putSequence(13));
    EXPECT_EQ(take(), 10);
    EXPECT_EQ(take(), 11);
    EXPECT_EQ(take(), 12);
}

TEST_F(PacketRing, ASecondOpenAnswersMinusOneClearsAbortAndStaysUsable) {
    queue.abort();
    EXPECT_EQ(queue.open(), -1);
    EXPECT_FALSE(queue.isAborted());
    EXPECT_TRUE(putSequence(2));
    EXPECT_EQ(take(), 2);
}

TEST(PacketRingUnopened, NeverBlocksAndNeverCrashes) {
    PacketQueue queue(2);
    AVPacket* out = av_packet_alloc();
    EXPECT_FALSE(queue.get(out, 100));  // no mutex yet: no wait either
    queue.abort();
    queue.flush();
    av_packet_free(&out);
}

TEST_F(FrameRing, FullRingRefusesAfterItsWaitAndHandsOutPtsAndDuration) {
    EXPECT_EQ(queue.lastPts(), -1.0);
    EXPECT_EQ(queue.lastDuration(), -1.0);
    ASSERT_TRUE(putSequence(30));
    ASSERT_TRUE(putSequence(60));
    ASSERT_TRUE(putSequence(90));
    auto before = Clock::now();
    EXPECT_FALSE(putSequence(120, 5));
    EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(5));

    double pts = 0, duration = 0;
    ASSERT_TRUE(queue.get(out, &pts, &duration, 0));
    EXPECT_EQ(out->pts, 30);
    EXPECT_DOUBLE_EQ(pts, 1.0);
    EXPECT_DOUBLE_EQ(duration, 1 / 30.0);
    EXPECT_DOUBLE_EQ(queue.lastPts(), 1.0);
    EXPECT_DOUBLE_EQ(queue.lastDuration(), 1 / 30.0);
    av_frame_unref(out);
}

TEST_F(FrameRing, MovesFrameReferencesAndLeavesTheProducersFrameEmpty) {
    AVFrame* f = makeFrame(1);
    AVBufferRef* plane = av_buffer_ref(f->buf[0]);
    ASSERT_TRUE(queue.put(f, 0.0, 0.04, 0));
    EXPECT_EQ(f->buf[0], nullptr);
    EXPECT_EQ(f->data[0], nullptr);
    ASSERT_TRUE(queue.get(out, nullptr, nullptr, 0));
    EXPECT_EQ(out->data[0], plane->data);
    EXPECT_EQ(av_buffer_get_ref_count(plane), 2);

    // A destination that still holds a frame does not leak it.
    ASSERT_TRUE(putSequence(2));
    ASSERT_TRUE(queue.get(out, nullptr, nullptr, 0));
    EXPECT_EQ(av_buffer_get_ref_count(plane), 1);
    av_frame_unref(out);
    av_buffer_unref(&plane);
    av_frame_free(&f);
}

TEST_F(FrameRing, AbortCutsAWaitingPutShort) {
    ASSERT_TRUE(putSequence(1));
    ASSERT_TRUE(putSequence(2));
    ASSERT_TRUE(putSequence(3));
    std::atomic<int> result{-1};
    auto started = Clock::now();
    std::thread producer([&] { result = putSequence(4, 60'000) ? 1 : 0; });
    ASSERT_TRUE(waitUntilAnEndSleeps(queue));
    queue.abort();
    producer.join();
    EXPECT_EQ(result, 0);
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(30));
}

// One producer and one consumer at full speed: every item arrives once, in order.
TEST(RingStress, MillionsOfPacketsArriveInOrder) {
    PacketQueue queue(70);
    ASSERT_EQ(queue.open(), 0);
    std::thread producer([&] {
        AVPacket* p = av_packet_alloc();
        for (int64_t i = 0; i < kStressItems; ++i) {
            p->pts = i;  // no payload: the stress is on the hand-over, not on allocation
            while (!queue.put(p)) {
            }
        }
        av_packet_free(&p);
    });
    AVPacket* out = av_packet_alloc();
    int64_t expected = 0;
    bool inOrder = true;
    while (expected < kStressItems) {
        if (queue.get(out, 1)) {
            inOrder = inOrder && out->pts == expected;
            ++expected;
        }
    }
    producer.join();
    av_packet_free(&out);
    EXPECT_TRUE(inOrder);
}

TEST(RingStress, FramesArriveInOrderWithTheirTimestamps) {
    FrameQueue queue(3);
    ASSERT_EQ(queue.open(), 0);
    const int64_t items = kStressItems / 10;
    std::thread producer([&] {
        AVFrame* f = av_frame_alloc();
        for (int64_t i = 0; i < items; ++i) {
            f->pts = i;
            while (!queue.put(f, static_cast<double>(i), 1.0, 1)) {
            }
        }
        av_frame_free(&f);
    });
    AVFrame* out = av_frame_alloc();
    int64_t expected = 0;
    bool consistent = true;
    double pts = 0;
    while (expected < items) {
        if (queue.get(out, &pts, nullptr, 1)) {
            consistent = consistent && out->pts == expected && pts == static_cast<double>(expected);
            ++expected;
        }
    }
    producer.join();
    av_frame_free(&out);
    EXPECT_TRUE(consistent);
}

// A pause flushes while the reader and the decoders keep running. Items may be lost to the
// flush but never duplicated, reordered or torn, and nothing leaks.
TEST(RingStress, FlushRacingLiveTrafficNeverDuplicatesOrReorders) {
    PacketQueue queue(8);
    ASSERT_EQ(queue.open(), 0);
    std::atomic<bool> stop{false};
    std::atomic<int64_t> produced{0};
    std::thread producer([&] {
        int64_t i = 0;
        while (!stop.load()) {
            AVPacket* p = makePacket(i, 32);
            if (queue.put(p)) {
                ++i;
                produced = i;
            }
            av_packet_free(&p);
        }
    });
    std::atomic<int64_t> received{0};
    std::atomic<bool> faithful{true};
    std::thread consumer([&] {
        AVPacket* out = av_packet_alloc();
        int64_t last = -1;
        while (!stop.load()) {
            if (queue.get(out, 1)) {
                const bool torn = out->size != 32 || out->data[0] != static_cast<uint8_t>(out->pts & 0xff) ||
                                  out->data[31] != static_cast<uint8_t>(out->pts & 0xff);
                if (out->pts <= last || torn) {
                    faithful = false;
                }
                last = out->pts;
                ++received;
                av_packet_unref(out);
            }
        }
        av_packet_free(&out);
    });
    for (int round = 0; round < 2000; ++round) {
        queue.flush();
        if (round % 100 == 0) {
            // Let traffic flow between bursts of flushes.
            int64_t target = received.load() + 50;
            auto deadline = Clock::now() + std::chrono::seconds(20);
            while (received.load() < target && Clock::now() < deadline) {
                std::this_thread::yield();
            }
        }
    }
    stop = true;
    producer.join();
    consumer.join();
    EXPECT_TRUE(faithful);
    EXPECT_GT(received.load(), 0);
    EXPECT_GE(produced.load(), received.load());
}

// The stream reader flushes the video packet ring on its own thread when a new coded sequence
// starts, while pause() flushes the same ring from the caller's thread: two flushes at once,
// with both ends still running, must neither tear the cursors nor hand an item out twice.
TEST(RingStress, FlushesFromTwoThreadsWhileBothEndsRun) {
    PacketQueue queue(8);
    ASSERT_EQ(queue.open(), 0);
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        int64_t i = 0;
        while (!stop.load()) {
            AVPacket* p = makePacket(i, 32);
            if (queue.put(p)) {
                ++i;
            }
            av_packet_free(&p);
        }
    });
    std::atomic<int64_t> received{0};
    std::atomic<bool> faithful{true};
    std::thread consumer([&] {
        AVPacket* out = av_packet_alloc();
        int64_t last = -1;
        while (!stop.load()) {
            if (queue.get(out, 1)) {
                if (out->pts <= last || out->size != 32 ||
                    out->data[31] != static_cast<uint8_t>(out->pts & 0xff)) {
                    faithful = false;
                }
                last = out->pts;
                ++received;
                av_packet_unref(out);
            }
        }
        av_packet_free(&out);
    });
    auto flusher = [&] {
        for (int round = 0; round < 3000; ++round) {
            queue.flush();
        }
    };
    std::thread second(flusher);
    flusher();
    second.join();
    // Traffic still flows after the storm, and in order.
    const int64_t target = received.load() + 100;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (received.load() < target && Clock::now() < deadline) {
        std::this_thread::yield();
    }
    stop = true;
    producer.join();
    consumer.join();
    EXPECT_TRUE(faithful);
    EXPECT_GE(received.load(), target);

    // With both ends gone the cursors agree again: a full ring comes out in order.
    queue.flush();
    for (int64_t i = 0; i < queue.capacity(); ++i) {
        AVPacket* p = makePacket(1000 + i);
        ASSERT_TRUE(queue.put(p));
        av_packet_free(&p);
    }
    AVPacket* out = av_packet_alloc();
    for (int64_t i = 0; i < queue.capacity(); ++i) {
        ASSERT_TRUE(queue.get(out, 0));
        EXPECT_EQ(out->pts, 1000 + i);
        av_packet_unref(out);
    }
    EXPECT_FALSE(queue.get(out, 0));
    av_packet_free(&out);
}
