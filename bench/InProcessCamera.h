#pragma once

// What the benchmarks of the camera command path share: an in-process backend installed
// through vexsdk's exported injection, whose extension unit stamps every register write (so
// the figures are the application's and the library's own path, without a simulator socket
// in between), and the percentiles they print.
//
// Threading: StampingUnit is written by whichever thread makes the call and read by the
// benchmark's thread, under its mutex; the rest is immutable after construction.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KXPlatformExports.h"
#include "vexsdk.h"

namespace benchsupport {

using Clock = std::chrono::steady_clock;

constexpr const char* kLocation = "1&2.4&1&0000";
constexpr const char* kDevicePath =
    "\\\\?\\usb#vid_1d4d&pid_6009&mi_00#1&2.4&1&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";

// Answers like the camera's register channel and stamps each register write.
class StampingUnit : public KXExtensionUnit {
public:
    int query(KXXuQuery query, uint8_t, uint8_t data[4]) override {
        if (query == KXXuQuery::SetCur && (data[0] | data[1]) != 0) {
            std::lock_guard<std::mutex> lock(_mutex);
            _lastWrite = Clock::now();
            ++_writes;
            _written.notify_all();
        }
        return 0;
    }
    uint64_t writes() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _writes;
    }
    Clock::time_point lastWrite() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _lastWrite;
    }
    // Waits at most `timeout` until more than `seen` writes happened; false when none came.
    template <class Duration>
    bool waitBeyondFor(uint64_t seen, Duration timeout, Clock::time_point& latest) {
        std::unique_lock<std::mutex> lock(_mutex);
        if (!_written.wait_for(lock, timeout, [&] { return _writes > seen; }))
            return false;
        latest = _lastWrite;
        return true;
    }
    // Waits until more than `seen` writes happened; the time of the latest.
    Clock::time_point waitBeyond(uint64_t seen) {
        std::unique_lock<std::mutex> lock(_mutex);
        _written.wait(lock, [&] { return _writes > seen; });
        return _lastWrite;
    }

private:
    std::mutex _mutex;
    std::condition_variable _written;
    uint64_t _writes = 0;          // guarded by _mutex
    Clock::time_point _lastWrite;  // guarded by _mutex
};

class Filter : public KXCaptureFilter {
public:
    Filter(KXCaptureDevice device, std::shared_ptr<StampingUnit> unit)
        : _device(std::move(device)), _unit(unit) {}
    const KXCaptureDevice& device() const override { return _device; }
    KXInterfaceResult queryInterface(KXControlInterfaceKind kind) override {
        KXInterfaceResult r;
        r.interface = kind == KXControlInterfaceKind::ExtensionUnit
                          ? std::shared_ptr<KXControlInterface>(_unit)
                          : std::make_shared<KXControlInterface>();
        return r;
    }

private:
    KXCaptureDevice _device;
    std::shared_ptr<StampingUnit> _unit;
};

class InProcessPlatform : public KXPlatform {
public:
    explicit InProcessPlatform(std::shared_ptr<StampingUnit> unit) : _unit(std::move(unit)) {}
    bool usbDevices(std::vector<KXUsbDevice>&) override { return true; }
    bool captureDevices(KXDeviceClass deviceClass, std::vector<KXCaptureDevice>& out) override {
        if (deviceClass == KXDeviceClass::Video) {
            KXCaptureDevice d;
            d.friendlyName = "ZM-150 Camera";
            d.devicePath = kDevicePath;
            d.interfaces = {"camera_control", "extension_unit", "video_processing"};
            out.push_back(d);
        }
        return true;
    }
    std::unique_ptr<KXCaptureFilter> bindFilter(const KXCaptureDevice& d) override {
        return std::make_unique<Filter>(d, _unit);
    }
    bool resolveVideoInput(const KXVideoInputRequest&, KXCaptureInput&) override { return false; }
    bool resolveAudioInput(const std::string&, KXCaptureInput&) override { return false; }
    std::unique_ptr<KXHotplugSource> openHotplugSource() override { return nullptr; }

private:
    std::shared_ptr<StampingUnit> _unit;
};

struct Percentiles {
    double p50Us = 0;
    double p99Us = 0;
    double maxUs = 0;
};

inline Percentiles percentiles(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    auto at = [&us](double q) {
        return us[std::min(us.size() - 1, static_cast<size_t>(q * (us.size() - 1) + 0.5))];
    };
    return {at(0.50), at(0.99), us.back()};
}

inline double microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// A receiver of the camera at kLocation (its command channel only: no picture is opened), on
// whichever backend is installed.
inline std::unique_ptr<DC_Recv> receiverAtLocation() {
    DC_SourceText url{strdup(kLocation), static_cast<int32_t>(std::strlen(kLocation) + 1)};
    DC_CaptureFormats formats;
    formats.url = &url;
    formats.sourceType = 0;
    formats.deviceModel = 9;
    auto recv = std::make_unique<DC_Recv>(formats);
    std::free(url.source);
    return recv;
}

}  // namespace benchsupport
