#pragma once

// What the library's cases on the kernel rig share: the simulator's control socket (the
// emulated cameras' journal, faults and plug/unplug), the cameras as the real sysfs shows
// them, the capture-format record a host program builds, FFmpeg's own log lines, and the
// picture hashes that compare a captured frame with what the camera sent.
//
// These cases run inside the rig's virtual machine only (VEXRIG_SIM_SOCKET set); anywhere
// else they skip.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "KXJsonLine.h"
#include "MediaTestSupport.h"
#include "vexsdk.h"

namespace rig {

// The simulator's control socket; empty outside the rig.
std::string simSocket();
// One control request; the answer, or {"ok": false} when the socket did not answer in 10 s.
kxjson::Json sim(const kxjson::Json& request);
// The requests of the journal from `since` on (xu requests only), and where to read on.
std::vector<kxjson::Json> xuJournal(uint64_t since, uint64_t* next = nullptr);
uint64_t journalEnd();

// One emulated camera as the kernel shows it.
struct UsbCamera {
    std::string sysName;  // "1-1"
    int bus = 0;
    std::string location;  // "1&1&1&0000"
    std::string node;      // "/dev/video0": the capture node of its streaming interface
};
// The cameras of vendor 1d4d in bus order.
std::vector<UsbCamera> usbCameras();

// A DC_CaptureFormats filled by DC_Find for one location, with the holders it points to.
class CameraFormats {
public:
    explicit CameraFormats(const std::string& location);
    ~CameraFormats();
    CameraFormats(const CameraFormats&) = delete;
    CameraFormats& operator=(const CameraFormats&) = delete;
    DC_CaptureFormats& get() { return _formats; }
    std::string videoDeviceName() const;
    // The index of the first format of that code (4 MJPEG, 1 H.264) and size; -1 when none.
    int indexOf(int format, int width, int height) const;

private:
    MediaSourceText _url;
    DC_SourceText _videoName{};  // filled (malloc) by the library, freed here
    DC_SourceText _audioName{};
    DC_CaptureFormats _formats;
};

// A receiver of that format, software-decoded, started; null when initialize failed.
std::unique_ptr<DC_Recv> startReceiver(CameraFormats& formats, int index);

// FFmpeg's log lines while it lives (one at a time).
class FfmpegLog {
public:
    FfmpegLog();
    ~FfmpegLog();
    int count(const std::string& text) const;
    std::string all() const;
};

// A hash of a frame's picture (its planes, row by row, without padding).
std::string pictureHash(int width, int height, int format, uint8_t* const data[8], const int linesize[8]);
// The pictures a decoder makes of the frames the camera sent (the "sent" operation with a
// file): one hash per decoded picture. Empty when they cannot be decoded. `camera`: the
// scenario's camera id (none for a scenario of one camera).
std::set<std::string> sentPictures(const std::string& codec, const std::string& file,
                                   const std::string& camera = "");

// Waits for `condition` with a bound, looking every 20 ms.
bool waitFor(const std::function<bool()>& condition, int timeoutMs);

// Runs a program and collects what it writes (both streams); its exit status, or -1.
int run(const std::vector<std::string>& argv, std::string& output, int timeoutMs = 60000);

}  // namespace rig

// Skips a case outside the rig.
#define RIG_REQUIRED()                                                        \
    do {                                                                      \
        if (rig::simSocket().empty())                                         \
            GTEST_SKIP() << "runs in the kernel rig (scripts/kernel-rig.sh)"; \
    } while (0)
