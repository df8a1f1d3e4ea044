#pragma once

#include <QString>

// The keys of the camera-info object: the JSON description of one camera that travels with
// its row of the camera list, goes to the control panel and is saved in the settings
// document ("UsbCamerasArray"). One table, so that the list, the panel and the saved file
// can never spell a key differently.
namespace CameraInfoKey {

enum Key : int {
    ModelName = 0,     // string: model name
    DeviceModeInt,     // int: the library's model code
    FriendlyName,      // string
    VID,               // string: four lower-case hex digits
    PID,               // string: four lower-case hex digits
    Type,              // string: always "USB"
    PortPath,          // string: location paths
    PortInfo,          // string: location information
    LocationIdentity,  // string: lower case; the camera's identity
    LRInvertTilt,      // bool: left/right inverted tilt chosen for this camera
    IsConnect,         // string: "1" connected, "0" not (set only in saved copies)
    ShortName,         // string: the user's name for the camera ("Front"); may be empty
    Serial,            // string: the USB serial number; empty when the camera has none
    Count
};

inline constexpr const char* kNames[Count] = {
    "ModelName", "DeviceModeInt",    "FriendlyName", "VID",       "PID",       "Type",  "PortPath",
    "PortInfo",  "LocationIdentity", "LRInvertTilt", "IsConnect", "ShortName", "Serial"};

inline QString name(Key key) {
    return key >= 0 && key < Count ? QString::fromLatin1(kNames[key]) : QString();
}

}  // namespace CameraInfoKey
