#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

#include <cstdint>

// One camera found by the USB search. The texts are those of the USB walk; the location
// identity is lower case and identifies the camera everywhere in the application.
struct USB_DeviceInfo {
    QString locationIdentity;
    QString portInfo;
    QString portPath;
    QString modelName;
    int32_t deviceModeInt = 0;
    QString vid;
    QString pid;
    QString friendlyName;
    QString deviceDesc;
    // The device's USB serial number; empty when it has none. It follows the camera from one
    // port to another, where the location identity does not.
    QString serial;
    // Present, but this user may not open its capture device: its model is unknown and it
    // cannot be connected (the list says why instead of leaving it out).
    bool noPermission = false;
};

Q_DECLARE_METATYPE(USB_DeviceInfo)
