#pragma once

// The simulated backend: the client side of the simulator's line protocol on the Unix
// socket named by VEXSDK_SIM. One connection per request (the watch keeps its own).
// A simulator that cannot be reached is absent: no devices, every extension-unit request
// fails. A request that is answered with "ok": false, or not answered within the timeout,
// or answered with garbage, is a failed platform call. The texts themselves are made and
// read by KXSimProtocol.
//
// Threading: stateless between calls; any thread.

#include <string>

#include "KXJsonLine.h"
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
    // One request/answer exchange (`requestLine` without its line end); `answer` is set only
    // for Ok (an answer with "ok": true). `op` names the request in the log.
    Status request(const std::string& requestLine, const char* op, kxjson::Json& answer) const;
    static Status requestAt(const std::string& socketPath, int timeoutMs, const std::string& requestLine,
                            const char* op, kxjson::Json& answer);

private:
    const std::string _socketPath;  // immutable
    const int _timeoutMs;           // immutable
};
