#pragma once

// The platform calls that programs above the library (the application, tools, their tests)
// may use. They are exported from libvexsdk.so, which holds the process's only platform
// layer: a program that linked the layer a second time would hold a second backend choice,
// so it could list cameras on one backend while the library opens and steers them on
// another. Host programs of the library never need this header; it is not part of the
// public surface (DC_lib/include).
//
// Threading: any thread (see KXPlatform.h).

#include <memory>
#include <vector>

#include "KXExport.h"
#include "KXPlatform.h"

class DC_Recv;

// Every USB device and interface present, from the process's backend. false: the walk
// could not be done at all.
KX_PLATFORM_EXPORT bool KXPlatformUsbDevices(std::vector<KXUsbDevice>& out);

// A source of capture-device arrival/removal records from the process's backend; null when
// none can be opened (no udev, no simulator).
KX_PLATFORM_EXPORT std::unique_ptr<KXHotplugSource> KXPlatformOpenHotplugSource();

// Installs a backend for the whole process, the library included (tests, benchmarks); null
// goes back to the environment's choice (VEXSDK_SIM), made afresh on the next use.
KX_PLATFORM_EXPORT void KXPlatformInstall(std::shared_ptr<KXPlatform> platform);

// The backend the library uses now (created on first use; never null).
KX_PLATFORM_EXPORT std::shared_ptr<KXPlatform> KXPlatformCurrent();

// Why the receiver's last startPreview did not start it: Busy while another program streams
// the camera (a later start may succeed once it lets go), NoPermission when this user may not
// open the device, Other for any other failure; None after a start that ran, before the
// first start, and for a receiver that does not exist (any longer).
KX_PLATFORM_EXPORT KXOpenFailure KXReceiverOpenFailure(const DC_Recv* recv);

// Whether this user may open the camera at this location identity (KXPlatform::cameraAccess,
// on the process's backend): NoPermission is why such a camera is missing from the capture
// devices and answers no model query. Null gives None.
KX_PLATFORM_EXPORT KXOpenFailure KXCameraAccess(const char* locationIdentity);
