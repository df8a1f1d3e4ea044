#pragma once

// The kernel's raw USB gadget interface (/dev/raw-gadget), one thin call per ioctl: every
// call answers a negative errno on failure. The logic above them (descriptors, requests,
// payloads) never sees a file descriptor.
//
// Each endpoint call blocks until the host has taken (or given) its data; a signal cuts it
// short with -EINTR, the pending transfer withdrawn (UsbIoThread delivers that signal).
//
// Threading: any thread; the kernel allows one transfer at a time per endpoint.

#include <cstddef>
#include <cstdint>
#include <string>

namespace rawgadget {

constexpr const char* kDevice = "/dev/raw-gadget";

enum class Event { Connect, Control, Other };

int open();
void close(int fd);
// Binds the instance to UDC `device` of driver `driver` at high speed.
int init(int fd, const std::string& driver, const std::string& device);
int run(int fd);
// Waits for the next event; for Control, `setup` receives the 8 bytes of the SETUP packet.
int fetchEvent(int fd, Event& event, uint8_t setup[8]);
// The data stage of the pending control request: bytes moved, or a negative errno.
int ep0Write(int fd, const uint8_t* data, size_t length);
int ep0Read(int fd, uint8_t* data, size_t length);
int ep0Stall(int fd);
// Enables the endpoint the descriptor describes: its handle, or a negative errno.
int epEnable(int fd, uint8_t address, uint8_t attributes, uint16_t maxPacket);
int epDisable(int fd, int handle);
int configure(int fd);
int vbusDraw(int fd, uint32_t twoMilliampUnits);
// One IN transfer; `zeroLengthPacket` ends it with a zero-length packet when it is a whole
// number of packets. Bytes moved, or a negative errno.
int epWrite(int fd, int handle, const uint8_t* data, size_t length, bool zeroLengthPacket);

}  // namespace rawgadget
