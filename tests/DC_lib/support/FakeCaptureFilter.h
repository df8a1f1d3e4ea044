#pragma once

// A capture device for channel tests without any backend: a filter whose extension unit
// records every request (with the calling thread) and behaves like the camera's register
// channel. Failures can be injected per query kind.
//
// Threading: RecordingExtensionUnit may be called from any thread (guarded by _mutex).

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KXPlatform.h"

class RecordingExtensionUnit : public KXExtensionUnit {
public:
    struct Call {
        KXXuQuery query;
        uint8_t selector;
        std::array<uint8_t, 4> data;  // as sent (set) or as answered (get)
        std::thread::id thread;
    };

    int query(KXXuQuery query, uint8_t selector, uint8_t data[4]) override;

    std::vector<Call> calls() const;
    void clear();
    void setRegister(uint16_t reg, uint16_t value);
    // The next `count` requests of that kind fail (-1).
    void failNext(KXXuQuery query, int count);

private:
    mutable std::mutex _mutex;
    std::vector<Call> _calls;                 // guarded by _mutex
    std::map<uint16_t, uint16_t> _registers;  // guarded by _mutex
    uint16_t _selected = 0;                   // guarded by _mutex
    int _failSet = 0;                         // guarded by _mutex
    int _failGet = 0;                         // guarded by _mutex
};

class FakeCaptureFilter : public KXCaptureFilter {
public:
    // unit null: the camera offers no extension unit. cameraControlStatus < 0: the first
    // interface query reports an error. location: the USB location identity its device path
    // ends in (a second camera needs a location of its own).
    explicit FakeCaptureFilter(std::shared_ptr<RecordingExtensionUnit> unit, int cameraControlStatus = 0,
                               const std::string& location = kDefaultLocation);

    static constexpr const char* kDefaultLocation = "1&2.4&1&0000";
    // The capture device name a receiver for that location is built with.
    static std::string videoDeviceName(const std::string& location);

    const KXCaptureDevice& device() const override { return _device; }
    KXInterfaceResult queryInterface(KXControlInterfaceKind kind) override;

private:
    KXCaptureDevice _device;
    std::shared_ptr<RecordingExtensionUnit> _unit;
    int _cameraControlStatus;
};
