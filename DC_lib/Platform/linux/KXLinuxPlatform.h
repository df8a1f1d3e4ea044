#pragma once

// The Linux backend: sysfs walk, V4L2 capture nodes, ALSA capture cards, the UVC
// extension-unit ioctl and a udev hot-plug monitor. Roots are parameters for tests.
//
// Threading: stateless between calls; any thread.

#include <string>

#include "KXPlatform.h"
#include "KXV4L2Enum.h"

class KXLinuxPlatform : public KXPlatform {
public:
    explicit KXLinuxPlatform(std::string sysfsRoot = "/sys", std::string devRoot = "/dev",
                             kxv4l2::DeviceCalls calls = kxv4l2::systemCalls());

    bool usbDevices(std::vector<KXUsbDevice>& out) override;
    bool captureDevices(KXDeviceClass deviceClass, std::vector<KXCaptureDevice>& out) override;
    std::unique_ptr<KXCaptureFilter> bindFilter(const KXCaptureDevice& device) override;
    bool resolveVideoInput(const KXVideoInputRequest& request, KXCaptureInput& out) override;
    bool resolveAudioInput(const std::string& friendlyName, KXCaptureInput& out) override;
    std::unique_ptr<KXHotplugSource> openHotplugSource() override;
    KXOpenFailure cameraAccess(const std::string& locationIdentity) override;

    // The libavdevice input for a capture node and the chosen format.
    static KXCaptureInput videoInputFor(const std::string& node, const KXVideoInputRequest& request);

    // The libavdevice input for an ALSA capture device as the enumeration found it (node
    // "hw:N,D"): the same PCM through the "plughw" plugin, at the probed rate and channel
    // count. The plugin converts whatever the hardware needs, so a mono microphone or one that
    // only offers 16 kHz opens as well; opening "hw:N" with the demuxer's defaults (48 kHz
    // stereo, PCM 0) fails on those. Empty url when the node is not of that form.
    static KXCaptureInput audioInputFor(const KXCaptureDevice& device);

    // The capture node of a (possibly multi-node) camera that offers the requested format:
    // the node of the capability of that kind and size whose rate range holds the rate, else
    // of that kind and size, else of that kind, else the camera's first node.
    static std::string nodeFor(const KXCaptureDevice& device, const KXVideoInputRequest& request);

private:
    bool videoDevices(std::vector<KXCaptureDevice>& out);
    static void warnUnopenable(const std::string& node, int error);
    bool audioDevices(std::vector<KXCaptureDevice>& out);

    const std::string _sysfsRoot;      // immutable
    const std::string _devRoot;        // immutable
    const kxv4l2::DeviceCalls _calls;  // immutable: how capture nodes are opened and asked
};
