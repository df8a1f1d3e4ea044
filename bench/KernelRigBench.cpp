// Figures of the library on the real Linux drivers, measured in the kernel rig against the
// emulated camera (scripts/run-benchmarks.sh runs this program through scripts/kernel-rig.sh):
//  - a DC_Recv control call (setPanStop) beside the bare UVCIOC_CTRL_QUERY it makes, on the
//    same capture node: p50, p99 and their ratio (what the library adds to the driver);
//  - the time from a camera's plug to DC_Find listing it (enumeration, uvcvideo's probe, the
//    capture node, the library's sysfs and V4L2 walk);
//  - how long stopPreview takes once a streaming camera has left the bus (target: 1 s).
// Under software emulation the absolute times stand for the emulator, not for hardware; the
// ratio is the figure that carries over.

#include <fcntl.h>
#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "Platform/linux/KXSysfsUsb.h"
#include "RigSupport.h"

using kxjson::Json;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const size_t i = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
    return values[i];
}

bool listed(const std::string& location) {
    rig::CameraFormats formats(location);
    return !formats.videoDeviceName().empty();
}

}  // namespace

int main() {
    if (rig::simSocket().empty()) {
        std::printf("KernelRigBench: runs in the kernel rig (scripts/kernel-rig.sh -- %s)\n",
                    "build/bench/KernelRigBench");
        return 0;
    }
    std::vector<rig::UsbCamera> cameras = rig::usbCameras();
    if (cameras.size() != 1 || cameras[0].node.empty()) {
        std::printf("KernelRigBench: one emulated camera expected, %zu found\n", cameras.size());
        return 1;
    }
    const rig::UsbCamera camera = cameras[0];

    // --- a control call, through the library and bare
    {
        rig::CameraFormats formats(camera.location);
        DC_Recv recv(formats.get());
        const int fd = ::open(camera.node.c_str(), O_RDWR | O_CLOEXEC);
        const int unit =
            kxusb::SysfsUsb("/sys").commandUnitOfNode(camera.node.substr(camera.node.rfind('/') + 1));
        if (fd < 0 || unit < 0) {
            std::printf("KernelRigBench: cannot open %s or find its command unit\n", camera.node.c_str());
            return 1;
        }
        auto bare = [&] {
            uint8_t data[4] = {0x27, 0x00, 0x33, 0x00};  // pan/tilt stop, as setPanStop(20) sends it
            uvc_xu_control_query q{};
            q.unit = static_cast<uint8_t>(unit);
            q.selector = 5;
            q.query = UVC_SET_CUR;
            q.size = 4;
            q.data = data;
            return ::ioctl(fd, UVCIOC_CTRL_QUERY, &q);
        };
        constexpr int kWarmUp = 10, kCalls = 200;
        for (int i = 0; i < kWarmUp; ++i) {
            recv.setPanStop(20);
            bare();
        }
        std::vector<double> library, direct;
        int failures = 0;
        for (int i = 0; i < kCalls; ++i) {  // alternating: both see the same machine
            auto t = Clock::now();
            failures += recv.setPanStop(20) != 0;
            library.push_back(msSince(t));
            t = Clock::now();
            failures += bare() != 0;
            direct.push_back(msSince(t));
        }
        ::close(fd);
        const double lp50 = percentile(library, 0.5), lp99 = percentile(library, 0.99);
        const double bp50 = percentile(direct, 0.5), bp99 = percentile(direct, 0.99);
        std::printf("control call, %d of each (%d failed):\n", kCalls, failures);
        std::printf("  DC_Recv::setPanStop      p50 %7.3f ms  p99 %7.3f ms\n", lp50, lp99);
        std::printf("  bare UVCIOC_CTRL_QUERY   p50 %7.3f ms  p99 %7.3f ms\n", bp50, bp99);
        std::printf("  ratio library/bare       p50 %7.3f     p99 %7.3f\n", bp50 > 0 ? lp50 / bp50 : 0.0,
                    bp99 > 0 ? lp99 / bp99 : 0.0);
    }

    // --- plug to listed, and the stop after a streaming camera left
    std::vector<double> plugToListed, stopAfterLoss;
    constexpr int kRounds = 3;
    for (int round = 0; round < kRounds; ++round) {
        {
            rig::CameraFormats formats(camera.location);
            formats.get().videoFormatIndex = formats.indexOf(4, 320, 180);
            auto recv = rig::startReceiver(formats, formats.get().videoFormatIndex);
            bool streaming = recv && rig::waitFor(
                                         [&] {
                                             DC_Video_Frame f{};
                                             if (recv->captureVideo(&f, 50) != DC_ERROR_NONE)
                                                 return false;
                                             recv->freeVideo(&f);
                                             return true;
                                         },
                                         20000);
            rig::sim(Json{{"op", "unplug"}});  // answers once the device has left the bus
            if (streaming) {
                const auto t = Clock::now();
                recv->stopPreview();
                stopAfterLoss.push_back(msSince(t));
            }
        }
        if (!rig::waitFor([] { return rig::usbCameras().empty(); }, 20000)) {
            std::printf("KernelRigBench: the camera did not leave the bus\n");
            return 1;
        }
        const auto t = Clock::now();
        rig::sim(Json{{"op", "plug"}});
        if (!rig::waitFor([&] { return listed(camera.location); }, 30000)) {
            std::printf("KernelRigBench: the camera was not listed again within 30 s\n");
            return 1;
        }
        plugToListed.push_back(msSince(t));
    }
    std::printf("plug to listed by DC_Find, %d rounds:    median %7.1f ms  max %7.1f ms\n", kRounds,
                percentile(plugToListed, 0.5), percentile(plugToListed, 1.0));
    std::printf(
        "stopPreview after the camera left, %zu rounds: median %7.1f ms  max %7.1f ms (target 1000 ms)\n",
        stopAfterLoss.size(), percentile(stopAfterLoss, 0.5), percentile(stopAfterLoss, 1.0));
    return 0;
}
