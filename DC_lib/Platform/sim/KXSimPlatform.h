#pragma once

// The simulated backend: the client side of the simulator's line protocol on the Unix
// socket named by VEXSDK_SIM. One connection per request (the watch keeps its own).
// A simulator that cannot be reached is absent: no devices, every extension-unit request
// fails. A request that is answered with "ok": false, or not answered within the timeout,
// or answered with garbage, is a failed platform call.
//
// Threading: stateless between calls; any thread.

#include <string>

#include "KXJson.h"
#include "KXPlatform.h"

class KXSimPlatform : public KXPlatform {
public:
    explicit KXSimPlatform(std::string socketPath, int timeoutMs = 3000);

    bool usbDevices(std::vector<KXUsbDevice>& out) override;
    bool captureDevices(KXDeviceClass deviceClass, std::vector<KXCaptureDevice>& out) override;
    std::unique_ptr<KXCaptureFilter> bindFilter(const KXCaptureDevice& device) override;
    bool resolveVideoInput(const KXVideoInputRequest& request, KXCaptureInput& out) override;
    bool resolveAudioInput(const std::string& friendlyName, KXCaptureInput& out) override;
    std::unique_ptr<KXHotplugSource> openHotplugSource() override;

    enum class Status { Ok, Absent, Failed };
    // One request/answer exchange; `answer` is set only for Ok (an answer with "ok": true).
    Status request(const KXJson& request, KXJson& answer) const;
    static Status requestAt(const std::string& socketPath, int timeoutMs, const KXJson& request,
                            KXJson& answer);

    // Parsers of the protocol's records (exposed for tests).
    static std::optional<KXUsbDevice> parseUsbDevice(const KXJson& j);
    static std::optional<KXCaptureDevice> parseCaptureDevice(const KXJson& j, KXDeviceClass deviceClass);

    static constexpr size_t kMaxLineBytes = 4u << 20;

private:
    const std::string _socketPath;  // immutable
    const int _timeoutMs;           // immutable
};
