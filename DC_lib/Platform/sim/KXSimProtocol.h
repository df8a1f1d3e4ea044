#pragma once

// The client side of the simulator's line protocol as plain functions on text and JSON
// values, apart from the socket that carries them: what the simulated backend sends, and
// how it reads the answers and the watch's event lines. Every reader takes the other side's
// text as hostile: a wrong type, a missing member or garbage gives "no value" or a record
// with the member unset, never an exception.
//
// Threading: stateless; any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KXJsonLine.h"
#include "KXPlatform.h"

namespace KXSimProtocol {

// The longest answer line read (a capture-device list with many capabilities).
constexpr std::size_t kMaxAnswerBytes = 4u << 20;
// The longest event line the watch reads; a longer one ends the watch.
constexpr std::size_t kMaxEventBytes = 64u * 1024;
// Sizes and rates above this are not a camera's: they read as 0 (unknown).
constexpr int64_t kMaxCapabilityValue = 1000000000;

// Request lines (without their line end).
std::string usbDevicesRequest();
std::string captureDevicesRequest(KXDeviceClass deviceClass);
std::string xuRequest(const std::string& devicePath, bool setCur, uint8_t selector, const uint8_t data[4]);
std::string watchRequest();

// The answer line of `op`: the object when it says "ok": true; nullopt for garbage or a
// refusal (logged with the simulator's "error" text).
std::optional<kxjson::Json> okAnswer(std::string_view line, std::string_view op);

// The records of a "devices" answer; false when the answer has no "devices" array. Entries
// that are not records are skipped.
bool usbDevices(const kxjson::Json& answer, std::vector<KXUsbDevice>& out);
bool captureDevices(const kxjson::Json& answer, KXDeviceClass deviceClass, std::vector<KXCaptureDevice>& out);
std::optional<KXUsbDevice> usbDevice(const kxjson::Json& entry);
std::optional<KXCaptureDevice> captureDevice(const kxjson::Json& entry, KXDeviceClass deviceClass);

// The four bytes of an extension-unit answer's "data" (8 hex digits); false otherwise.
bool xuData(const kxjson::Json& answer, uint8_t data[4]);

// One watch line as a hot-plug record; nullopt for garbage and for events of other kinds
// (the watch skips those lines and goes on).
std::optional<KXHotplugEvent> event(std::string_view line);

}  // namespace KXSimProtocol
