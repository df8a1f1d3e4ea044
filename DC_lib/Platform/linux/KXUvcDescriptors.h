#pragma once

// Finds a UVC extension unit in a device's raw descriptors (the sysfs "descriptors" file:
// the device descriptor followed by every configuration with its interface and class
// descriptors). The input is untrusted: every length is checked against what is left.

#include <cstddef>
#include <cstdint>

namespace kxuvc {

// The vendor command unit {B02D7059-B906-4111-9310-4D2CB886763E} in descriptor byte order.
extern const uint8_t kCommandUnitGuid[16];

// bUnitID of the extension unit with `guid` inside the VideoControl interface numbered
// `vcInterface` (-1: any VideoControl interface); -1 when there is none.
int findExtensionUnit(const uint8_t* data, size_t size, const uint8_t guid[16], int vcInterface);

}  // namespace kxuvc
