#include "RawGadget.h"

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/raw_gadget.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace rawgadget {

namespace {

int result(int r) {
    return r < 0 ? -errno : r;
}

// struct usb_raw_ep_io ends in its data: header and data in one buffer.
std::vector<uint8_t> ioBuffer(uint16_t ep, uint16_t flags, const uint8_t* data, size_t length) {
    std::vector<uint8_t> buffer(sizeof(usb_raw_ep_io) + length);
    auto* io = reinterpret_cast<usb_raw_ep_io*>(buffer.data());
    io->ep = ep;
    io->flags = flags;
    io->length = static_cast<uint32_t>(length);
    if (data != nullptr && length > 0) {
        std::memcpy(buffer.data() + sizeof(usb_raw_ep_io), data, length);
    }
    return buffer;
}

}  // namespace

int open() {
    return result(::open(kDevice, O_RDWR | O_CLOEXEC));
}

void close(int fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

int init(int fd, const std::string& driver, const std::string& device) {
    usb_raw_init arg{};
    std::strncpy(reinterpret_cast<char*>(arg.driver_name), driver.c_str(), UDC_NAME_LENGTH_MAX - 1);
    std::strncpy(reinterpret_cast<char*>(arg.device_name), device.c_str(), UDC_NAME_LENGTH_MAX - 1);
    arg.speed = USB_SPEED_HIGH;
    return result(::ioctl(fd, USB_RAW_IOCTL_INIT, &arg));
}

int run(int fd) {
    return result(::ioctl(fd, USB_RAW_IOCTL_RUN, 0));
}

int fetchEvent(int fd, Event& event, uint8_t setup[8]) {
    std::vector<uint8_t> buffer(sizeof(usb_raw_event) + sizeof(usb_ctrlrequest));
    auto* e = reinterpret_cast<usb_raw_event*>(buffer.data());
    e->type = 0;
    e->length = sizeof(usb_ctrlrequest);
    const int r = result(::ioctl(fd, USB_RAW_IOCTL_EVENT_FETCH, e));
    if (r < 0) {
        return r;
    }
    event = e->type == USB_RAW_EVENT_CONNECT   ? Event::Connect
            : e->type == USB_RAW_EVENT_CONTROL ? Event::Control
                                               : Event::Other;
    if (event == Event::Control) {
        if (e->length < sizeof(usb_ctrlrequest)) {
            return -EPROTO;
        }
        std::memcpy(setup, buffer.data() + sizeof(usb_raw_event), 8);
    }
    return 0;
}

int ep0Write(int fd, const uint8_t* data, size_t length) {
    std::vector<uint8_t> buffer = ioBuffer(0, 0, data, length);
    return result(::ioctl(fd, USB_RAW_IOCTL_EP0_WRITE, buffer.data()));
}

int ep0Read(int fd, uint8_t* data, size_t length) {
    std::vector<uint8_t> buffer = ioBuffer(0, 0, nullptr, length);
    const int r = result(::ioctl(fd, USB_RAW_IOCTL_EP0_READ, buffer.data()));
    if (r > 0 && data != nullptr) {
        std::memcpy(data, buffer.data() + sizeof(usb_raw_ep_io),
                    std::min<size_t>(length, static_cast<size_t>(r)));
    }
    return r;
}

int ep0Stall(int fd) {
    return result(::ioctl(fd, USB_RAW_IOCTL_EP0_STALL, 0));
}

int epEnable(int fd, uint8_t address, uint8_t attributes, uint16_t maxPacket) {
    usb_endpoint_descriptor d{};
    d.bLength = USB_DT_ENDPOINT_SIZE;
    d.bDescriptorType = USB_DT_ENDPOINT;
    d.bEndpointAddress = address;
    d.bmAttributes = attributes;
    d.wMaxPacketSize = maxPacket;  // little-endian hosts only, as the rest of the program
    d.bInterval = 0;
    return result(::ioctl(fd, USB_RAW_IOCTL_EP_ENABLE, &d));
}

int epDisable(int fd, int handle) {
    return result(::ioctl(fd, USB_RAW_IOCTL_EP_DISABLE, handle));
}

int configure(int fd) {
    return result(::ioctl(fd, USB_RAW_IOCTL_CONFIGURE, 0));
}

int vbusDraw(int fd, uint32_t twoMilliampUnits) {
    return result(::ioctl(fd, USB_RAW_IOCTL_VBUS_DRAW, twoMilliampUnits));
}

int epWrite(int fd, int handle, const uint8_t* data, size_t length, bool zeroLengthPacket) {
    std::vector<uint8_t> buffer =
        ioBuffer(static_cast<uint16_t>(handle), zeroLengthPacket ? USB_RAW_IO_FLAGS_ZERO : 0, data, length);
    return result(::ioctl(fd, USB_RAW_IOCTL_EP_WRITE, buffer.data()));
}

}  // namespace rawgadget
