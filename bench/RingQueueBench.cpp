// Throughput, hand-over latency and allocations of the packet and frame rings, against a
// plain mutex + condition-variable queue of the same capacity (one producer thread, one
// consumer thread, references moved exactly as the rings move them).
//
// Allocation counting interposes malloc and friends for the whole process (shared libraries
// included), so an allocation inside libavcodec's packet or libavutil's frame moves is seen.

#include "Receiver/FrameQueue.h"
#include "Receiver/PacketQueue.h"

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/frame.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

// ---- allocation counter -------------------------------------------------------------------
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

static std::atomic<uint64_t> g_allocations{0};

extern "C" {
void* malloc(size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t m) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, m);
}
void* realloc(void* p, size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
int posix_memalign(void** out, size_t alignment, size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    void* p = __libc_memalign(alignment, n);
    if (p == nullptr) {
        return 12;  // ENOMEM
    }
    *out = p;
    return 0;
}
void* aligned_alloc(size_t alignment, size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(alignment, n);
}
void* memalign(size_t alignment, size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(alignment, n);
}
void free(void* p) {
    __libc_free(p);
}
}

namespace {

using Clock = std::chrono::steady_clock;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// The straightforward alternative: a fixed ring guarded by one mutex, producers and consumers
// blocking on condition variables.
class MutexPacketQueue {
public:
    explicit MutexPacketQueue(size_t capacity) : _slots(capacity) {
        for (auto& s : _slots) {
            s = av_packet_alloc();
        }
    }
    ~MutexPacketQueue() {
        for (auto& s : _slots) {
            av_packet_free(&s);
        }
    }
    void put(AVPacket* p) {
        std::unique_lock<std::mutex> lock(_mutex);
        _notFull.wait(lock, [&] { return _count < _slots.size(); });
        av_packet_move_ref(_slots[_write], p);
        _write = (_write + 1) % _slots.size();
        ++_count;
        _notEmpty.notify_one();
    }
    void get(AVPacket* out) {
        std::unique_lock<std::mutex> lock(_mutex);
        _notEmpty.wait(lock, [&] { return _count > 0; });
        av_packet_move_ref(out, _slots[_read]);
        _read = (_read + 1) % _slots.size();
        --_count;
        _notFull.notify_one();
    }

private:
    std::mutex _mutex;
    std::condition_variable _notFull, _notEmpty;
    std::vector<AVPacket*> _slots;             // guarded by _mutex
    size_t _read = 0, _write = 0, _count = 0;  // guarded by _mutex
};

struct Result {
    double nsPerItem = 0;
    uint64_t allocations = 0;
    double p50Ns = 0, p99Ns = 0;
};

template <typename Put, typename Get>
Result runThroughput(int64_t items, Put put, Get get) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    uint64_t allocBefore = 0;
    int64_t started = 0;
    std::thread producer([&] {
        AVPacket* p = av_packet_alloc();
        ready.fetch_add(1);
        while (!go.load()) {
        }
        for (int64_t i = 0; i < items; ++i) {
            p->pts = i;
            put(p);
        }
        av_packet_free(&p);
    });
    AVPacket* out = av_packet_alloc();
    while (ready.load() < 1) {
    }
    allocBefore = g_allocations.load();
    started = nowNs();
    go = true;
    int64_t check = 0;
    for (int64_t i = 0; i < items; ++i) {
        get(out);
        check += out->pts;
    }
    const int64_t elapsed = nowNs() - started;
    const uint64_t allocAfter = g_allocations.load();
    producer.join();
    av_packet_free(&out);
    if (check != items * (items - 1) / 2) {
        std::fprintf(stderr, "items lost or reordered\n");
        std::exit(1);
    }
    Result r;
    r.nsPerItem = static_cast<double>(elapsed) / static_cast<double>(items);
    r.allocations = allocAfter - allocBefore;
    return r;
}

// Hand-over latency: the producer stamps each item and waits until the consumer has taken
// it, so each measurement is one put-to-get trip through an otherwise empty queue.
template <typename Put, typename Get>
void runLatency(int samples, Put put, Get get, Result* r) {
    std::vector<int64_t> latencies(static_cast<size_t>(samples));
    std::atomic<int64_t> taken{-1};
    std::thread producer([&] {
        AVPacket* p = av_packet_alloc();
        for (int i = 0; i < samples; ++i) {
            p->pts = nowNs();
            p->dts = i;
            put(p);
            while (taken.load(std::memory_order_acquire) < i) {
            }
        }
        av_packet_free(&p);
    });
    AVPacket* out = av_packet_alloc();
    for (int i = 0; i < samples; ++i) {
        get(out);
        latencies[static_cast<size_t>(i)] = nowNs() - out->pts;
        taken.store(out->dts, std::memory_order_release);
    }
    producer.join();
    av_packet_free(&out);
    std::sort(latencies.begin(), latencies.end());
    r->p50Ns = static_cast<double>(latencies[latencies.size() / 2]);
    r->p99Ns = static_cast<double>(latencies[latencies.size() * 99 / 100]);
}

}  // namespace

int main(int argc, char** argv) {
    const int64_t items = argc > 1 ? std::atoll(argv[1]) : 3'000'000;
    const int samples = 100'000;
    const int capacity = 70;

    // The rings as the pipeline uses them: producers wait up to 1 ms for room (and retry
    // here, where nothing may be dropped), consumers wait up to 1 ms for an item.
    PacketQueue ring(capacity);
    ring.open();
    auto ringPut = [&](AVPacket* p) {
        while (!ring.put(p)) {
        }
    };
    auto ringGet = [&](AVPacket* out) {
        while (!ring.get(out, 1)) {
        }
    };
    MutexPacketQueue baseline(capacity);
    auto basePut = [&](AVPacket* p) { baseline.put(p); };
    auto baseGet = [&](AVPacket* out) { baseline.get(out); };

    Result ringResult = runThroughput(items, ringPut, ringGet);
    runLatency(samples, ringPut, ringGet, &ringResult);
    Result baseResult = runThroughput(items, basePut, baseGet);
    runLatency(samples, basePut, baseGet, &baseResult);

    // The frame ring moves frame references the same way; one throughput figure for it.
    FrameQueue frames(capacity);
    frames.open();
    std::atomic<bool> go{false};
    std::thread producer([&] {
        AVFrame* f = av_frame_alloc();
        while (!go.load()) {
        }
        for (int64_t i = 0; i < items; ++i) {
            f->pts = i;
            while (!frames.put(f, 0.0, 0.0, 1)) {
            }
        }
        av_frame_free(&f);
    });
    AVFrame* out = av_frame_alloc();
    const uint64_t frameAllocBefore = g_allocations.load();
    const int64_t frameStart = nowNs();
    go = true;
    for (int64_t i = 0; i < items; ++i) {
        while (!frames.get(out, nullptr, nullptr, 1)) {
        }
    }
    const double frameNs = static_cast<double>(nowNs() - frameStart) / static_cast<double>(items);
    const uint64_t frameAllocs = g_allocations.load() - frameAllocBefore;
    producer.join();
    av_frame_free(&out);

    std::printf("items per run: %lld, capacity %d, hand-over latency samples: %d\n",
                static_cast<long long>(items), capacity, samples);
    std::printf("%-28s %12s %12s %12s %14s\n", "queue", "ns/item", "p50 ns", "p99 ns", "allocations");
    std::printf("%-28s %12.1f %12.0f %12.0f %14llu\n", "PacketQueue (ring)", ringResult.nsPerItem,
                ringResult.p50Ns, ringResult.p99Ns, static_cast<unsigned long long>(ringResult.allocations));
    std::printf("%-28s %12.1f %12s %12s %14llu\n", "FrameQueue (ring)", frameNs, "-", "-",
                static_cast<unsigned long long>(frameAllocs));
    std::printf("%-28s %12.1f %12.0f %12.0f %14llu\n", "mutex+condvar queue", baseResult.nsPerItem,
                baseResult.p50Ns, baseResult.p99Ns, static_cast<unsigned long long>(baseResult.allocations));
    std::printf("throughput ratio (mutex+condvar ns / PacketQueue ns): %.2fx (target >= 3x)\n",
                baseResult.nsPerItem / ringResult.nsPerItem);
    return 0;
}
