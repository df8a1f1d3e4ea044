#pragma once

// The identity tables of the supported cameras: which USB paths belong to them, which
// vendor/product pairs are supported, model names and firmware-version prefixes.

#include <cstdint>
#include <map>
#include <string>

struct KXDeviceMatchRow {
    int32_t model;
    const char* vendorId;
    const char* productId;
};

inline constexpr int kKXDeviceMatchRows = 2;
// Row 0 is a placeholder that no search visits; searches walk rows 1 .. count-1.
extern const KXDeviceMatchRow kKXDeviceMatchTable[kKXDeviceMatchRows];

// "usb#vid_XXXX&pid_XXXX" with the row's ids put in at offsets 8 and 17 (21 characters).
std::string KXMatchTemplate(const KXDeviceMatchRow& row);
inline constexpr const char* kKXVendorPrefix = "usb#vid_1d4d";  // 12 characters

// Whether a capture device path holds `text` as whole "#"-separated components: the text
// begins at the start of the path or right after a "#", and ends at the end or right before
// a "#". A location identity is one component ("1&2.4&1&0000"), so it never matches the
// path of the camera on bus 11 at the same port ("11&2.4&1&0000"), which a plain search
// for the text would. An empty text matches every path. Case-sensitive.
bool KXPathHasComponent(const std::string& path, const std::string& text);

struct KXVendorProductRow {
    const char* vendorId;
    const char* productId;
};
inline constexpr int kKXVendorProductRows = 6;
// The supported-camera check consults rows 1 .. 5; row 0 is stored but not consulted.
extern const KXVendorProductRow kKXVendorProductTable[kKXVendorProductRows];

struct KXFirmwarePrefixRow {
    int32_t model;
    char prefix[32];  // compared on its first 3 characters
};
inline constexpr int kKXFirmwarePrefixRows = 10;
extern const KXFirmwarePrefixRow kKXFirmwarePrefixTable[kKXFirmwarePrefixRows];

// Model code -> name for codes 1 .. 10.
std::map<int, std::string> KXModelNames();

inline constexpr int kKXModelReportedByCamera = 11;
