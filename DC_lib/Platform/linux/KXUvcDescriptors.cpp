#include "linux/KXUvcDescriptors.h"

#include <cstring>

namespace kxuvc {

const uint8_t kCommandUnitGuid[16] = {0x59, 0x70, 0x2D, 0xB0, 0x06, 0xB9, 0x11, 0x41,
                                      0x93, 0x10, 0x4D, 0x2C, 0xB8, 0x86, 0x76, 0x3E};

namespace {
constexpr uint8_t kInterfaceDescriptor = 0x04;
constexpr uint8_t kClassSpecificInterface = 0x24;
constexpr uint8_t kVideoClass = 0x0E;
constexpr uint8_t kVideoControlSubclass = 0x01;
constexpr uint8_t kExtensionUnitSubtype = 0x06;
constexpr size_t kExtensionUnitMinLength = 20;  // header 3 + bUnitID + 16-byte GUID
}  // namespace

int findExtensionUnit(const uint8_t* data, size_t size, const uint8_t guid[16], int vcInterface) {
    if (data == nullptr) {
        return -1;
    }
    bool inWantedVc = false;
    size_t pos = 0;
    while (size - pos >= 2) {
        const uint8_t length = data[pos];
        const uint8_t type = data[pos + 1];
        if (length < 2 || length > size - pos) {
            break;  // malformed or truncated: nothing after it can be trusted
        }
        const uint8_t* d = data + pos;
        if (type == kInterfaceDescriptor) {
            inWantedVc = length >= 9 && d[5] == kVideoClass && d[6] == kVideoControlSubclass &&
                         (vcInterface < 0 || d[2] == vcInterface);
        } else if (inWantedVc && type == kClassSpecificInterface && length >= kExtensionUnitMinLength &&
                   d[2] == kExtensionUnitSubtype && std::memcmp(d + 4, guid, 16) == 0) {
            return d[3];
        }
        pos += length;
    }
    return -1;
}

}  // namespace kxuvc
