#pragma once

// The device seam of the library and the application. Everything that touches a camera, a
// microphone or the USB bus goes through one KXPlatform object; two backends implement it:
// the Linux one (sysfs, V4L2, UVC extension-unit ioctl, ALSA, udev) and the simulated one
// (a simulator process behind the Unix socket named by VEXSDK_SIM). Nothing above this
// header includes a Linux or V4L2 header.
//
// The layer is linked into libvexsdk.so only; programs above the library reach the calls
// they need through KXPlatformExports.h.
//
// The backend is chosen once per process on first use: VEXSDK_SIM set and non-empty gives
// the simulated backend, anything else the Linux one. Tests may install their own object.
//
// Threading: every KXPlatform method may be called from any thread; backends keep no
// mutable state between calls (each call enumerates afresh). KXPlatformInstance and
// KXSetPlatform are safe to race.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "KXExport.h"
#include "KXHotplug.h"

// ---------------------------------------------------------------------------------------
// Device records (the text forms are the Windows-style identity texts every component
// agrees on; see KXUsbIdentity.h for how they are built from Linux facts).
// ---------------------------------------------------------------------------------------

// One USB device or interface of the bus walk. An absent optional = property not readable.
struct KXUsbDevice {
    std::string instanceId;                // USB\VID_1D4D&PID_6009&MI_00\1&2.4&1&0000
    std::vector<std::string> hardwareIds;  // first: USB\VID_..&PID_..&REV_..&MI_..
    std::optional<std::string> friendlyName;
    std::optional<std::string> description;
    std::optional<std::string> locationInformation;  // Port_#0004.Hub_#0002
    std::optional<std::vector<std::string>> locationPaths;
};

// How libavformat must open one capture source: input format name, URL and the option
// dictionary entries (in order).
struct KXCaptureInput {
    std::string format;
    std::string url;
    std::vector<std::pair<std::string, std::string>> options;
    // Simulated backend: the errno an open of this input would meet now (EBUSY while another
    // program streams the camera), so the receiver fails the open as the driver would; 0 to
    // open it. A Linux open learns this from the driver itself.
    int refusedErrno = 0;
};

// Why a capture device did not open.
enum class KXOpenFailure {
    None,          // it opened, or no open has failed since the last start
    Busy,          // another program streams the device (EBUSY)
    NoPermission,  // this user may not open it (EACCES, EPERM)
    Other,         // anything else: no such device, no picture, a broken stream
};

// One video capability: a four-character subtype ("MJPG", "H264", "YUY2", "NV12", ...),
// a frame size and the frame-interval range in 100 ns units.
struct KXVideoCapability {
    std::string subtype;
    int32_t width = 0;
    int32_t height = 0;
    int64_t minIntervalHns = 0;
    int64_t maxIntervalHns = 0;
    KXCaptureInput input;  // simulated backend only: how the receiver opens this capability
    std::string node;      // Linux: the capture node that offers it (a camera with several
                           // streaming interfaces has one node per interface)
};

struct KXAudioCapability {
    int32_t sampleRate = 0;
    int32_t channels = 0;
    int32_t bitsPerSample = 0;
};

enum class KXDeviceClass { Video, Audio };

// One capture device of the video or audio class, in enumeration order.
struct KXCaptureDevice {
    std::optional<std::string> friendlyName;
    std::optional<std::string> devicePath;  // video: \\?\usb#vid_..#..#{65e8773d-...}\global
    std::vector<std::string> interfaces;    // simulated: "camera_control", "extension_unit", ...
    std::vector<KXVideoCapability> videoCapabilities;
    std::vector<KXAudioCapability> audioCapabilities;
    std::string node;           // Linux: /dev/videoN (the first capture node) or hw:N,D; empty
                                // when simulated
    KXCaptureInput audioInput;  // simulated audio devices: how to open them
    bool busy = false;          // simulated video devices: another program streams it now
};

// ---------------------------------------------------------------------------------------
// Camera control interfaces, obtained from a bound capture device ("filter").
// ---------------------------------------------------------------------------------------

enum class KXControlInterfaceKind { CameraControl, ExtensionUnit, VideoProcessing };

// Something held while a camera is controllable. Destroying the last reference releases it.
class KX_PLATFORM_EXPORT KXControlInterface {
public:
    virtual ~KXControlInterface() = default;
};

enum class KXXuQuery { SetCur, GetCur };

// The vendor extension unit {B02D7059-B906-4111-9310-4D2CB886763E} of one camera.
// Threading: callers serialise requests (the command channel holds its lock around them).
class KX_PLATFORM_EXPORT KXExtensionUnit : public KXControlInterface {
public:
    // One control request with a 4-byte payload: for SetCur the bytes sent, for GetCur the
    // buffer's initial content, replaced by the answer. Result 0 on success, negative when
    // the platform call failed.
    virtual int query(KXXuQuery query, uint8_t selector, uint8_t data[4]) = 0;
};

// Result of asking a filter for one interface: status < 0 is an error; status 0 with a null
// interface means "the device does not offer it".
struct KXInterfaceResult {
    int status = 0;
    std::shared_ptr<KXControlInterface> interface;
};

// A handle naming one capture device, obtained by binding an enumerated device.
// Threading: one thread at a time.
class KX_PLATFORM_EXPORT KXCaptureFilter {
public:
    virtual ~KXCaptureFilter() = default;
    virtual const KXCaptureDevice& device() const = 0;
    virtual KXInterfaceResult queryInterface(KXControlInterfaceKind kind) = 0;
};

// What the receiver asks to open: the chosen video device ("@device_pnp_" + device path,
// the bare device path, or on Linux the /dev/videoN node) and the chosen format.
struct KXVideoInputRequest {
    std::string device;
    int32_t width = 0;
    int32_t height = 0;
    int32_t format = 0;    // DC_VideoFormat.format: 1 H.264, 4 MJPEG, other 0
    double frameRate = 0;  // DC_VideoFormat.frameRate
};

// ---------------------------------------------------------------------------------------
// The platform interface
// ---------------------------------------------------------------------------------------

class KX_PLATFORM_EXPORT KXPlatform {
public:
    virtual ~KXPlatform() = default;

    // Every USB device and interface present. false: the walk could not be done at all.
    virtual bool usbDevices(std::vector<KXUsbDevice>& out) = 0;

    // The capture devices of one class in enumeration order. false: the listing failed
    // (an absent simulator lists nothing and answers true).
    virtual bool captureDevices(KXDeviceClass deviceClass, std::vector<KXCaptureDevice>& out) = 0;

    // Binds an enumerated device; null when it cannot be bound.
    virtual std::unique_ptr<KXCaptureFilter> bindFilter(const KXCaptureDevice& device) = 0;

    // How libavformat opens the chosen video device and format:
    //  Linux: "video4linux2", /dev/videoN, options video_size "WxH", framerate "%f" and
    //         input_format "mjpeg" | "h264" (omitted for other formats);
    //  simulated: the matching capability's own "input" format and URL, no options.
    // false when no such device (or, simulated, no such capability) exists.
    virtual bool resolveVideoInput(const KXVideoInputRequest& request, KXCaptureInput& out) = 0;

    // The audio device of that friendly name: Linux "alsa", "plughw:N,D" at the probed rate
    // and channel count; simulated: its "input".
    virtual bool resolveAudioInput(const std::string& friendlyName, KXCaptureInput& out) = 0;

    // A source of capture-device arrival/removal records; null when none can be opened.
    virtual std::unique_ptr<KXHotplugSource> openHotplugSource() = 0;

    // Whether this user may open the capture device of the camera at this location identity
    // ("1&2.4&1&0000", any case): NoPermission when it has capture nodes and none of them may
    // be opened for that reason; None otherwise (no such camera included). Backends without
    // access rights answer None.
    virtual KXOpenFailure cameraAccess(const std::string& locationIdentity) {
        (void)locationIdentity;
        return KXOpenFailure::None;
    }
};

// The process's backend (created on first use; never null).
std::shared_ptr<KXPlatform> KXPlatformInstance();

// Replaces the process's backend (tests); null goes back to the environment's choice.
void KXSetPlatform(std::shared_ptr<KXPlatform> platform);

// Convenience wrappers over KXPlatformInstance() for the receiver.
bool KXResolveVideoInput(const KXVideoInputRequest& request, KXCaptureInput& out);
bool KXResolveAudioInput(const std::string& friendlyName, KXCaptureInput& out);

// The prefix a chosen video device name carries ("@device_pnp_"), stripped by the resolvers.
inline constexpr const char* kKXDevicePnpPrefix = "@device_pnp_";
