// The program picture's cost and timing, in process (no cameras, no device):
//
// 1. Converting one 1080p frame (full-range 4:2:0, what the MJPEG decoder hands out) into the
//    720p YUYV program picture: wall-clock and processor time per frame, median and p99.
// 2. The output's pacing on its own thread at 30 frames per second, written to a sink that
//    only takes the time: the frame interval's deviation from 1/30 s, median, p99 and worst
//    (target p99 <= 4 ms), while two cameras deliver 30 frames per second on the interface
//    thread and the program cuts between them.
// 3. Decision to the first program frame of the new camera: a shot on the off-air camera
//    every 1.5 s, the switcher's cut after CutDelay, the first frame written with that
//    camera's picture (target p99 <= CutDelay + one frame interval), and decision to cut
//    (never below CutDelay: the camera has had its time to arrive).
//
// Usage: ProgramOutputBench [seconds of parts 2 and 3, default 15] [CutDelay ms, default 700]

#include <time.h>

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "FrameScaler.h"
#include "ProgramFrameConverter.h"
#include "ProgramOutput.h"
#include "ProgramSink.h"
#include "ProgramSwitcher.h"
#include "vexsdk.h"

namespace {

std::int64_t steadyUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double threadCpuUs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t i =
        std::min(values.size() - 1, static_cast<std::size_t>(p * (values.size() - 1) + 0.5));
    return values[i];
}

// A full-range 4:2:0 frame of one luma value with a gradient, owning its planes.
struct Frame {
    Frame(int width, int height, std::uint8_t luma)
        : y(static_cast<std::size_t>(width * height)), c(static_cast<std::size_t>(width * height / 4), 128) {
        for (int row = 0; row < height; ++row)
            for (int x = 0; x < width; ++x)
                y[static_cast<std::size_t>(row * width + x)] =
                    static_cast<std::uint8_t>(std::clamp(luma + (x % 16) - 8, 0, 255));
        std::memset(&frame, 0, sizeof frame);
        frame.width = width;
        frame.height = height;
        frame.format = FrameScaler::kFormatYUVJ420P;
        frame.data[0] = y.data();
        frame.data[1] = c.data();
        frame.data[2] = c.data();
        frame.linesize[0] = width;
        frame.linesize[1] = width / 2;
        frame.linesize[2] = width / 2;
    }
    std::vector<std::uint8_t> y, c;
    DC_Video_Frame frame;
};

// Takes the time of every write and the luma at the picture's centre.
class TimingSink : public ProgramSink {
public:
    struct Write {
        std::int64_t atUs;
        int luma;
    };
    bool open(int, int, int, QString*) override { return true; }
    bool write(const std::uint8_t* data, std::size_t size, QString*) override {
        const Write w{steadyUs(), data[size / 2]};
        std::lock_guard<std::mutex> lock(mutex);
        writes.push_back(w);
        return true;
    }
    void close() override {}
    std::vector<Write> taken() {
        std::lock_guard<std::mutex> lock(mutex);
        return writes;
    }

    std::mutex mutex;
    std::vector<Write> writes;  // guarded by mutex
};

void runConversion() {
    Frame source(1920, 1080, 120);
    ProgramFrameConverter converter;
    std::vector<std::uint8_t> out(1280 * 720 * 2);
    std::vector<double> wall, cpu;
    for (int i = 0; i < 300; ++i) {
        const std::int64_t w0 = steadyUs();
        const double c0 = threadCpuUs();
        converter.convert(source.frame, out.data(), 1280, 720);
        cpu.push_back(threadCpuUs() - c0);
        wall.push_back(static_cast<double>(steadyUs() - w0));
    }
    std::printf(
        "1080p -> 720p YUYV conversion: wall median %.2f ms, p99 %.2f ms; processor median %.2f ms, "
        "p99 %.2f ms (%d context builds)\n",
        percentile(wall, 0.5) / 1000, percentile(wall, 0.99) / 1000, percentile(cpu, 0.5) / 1000,
        percentile(cpu, 0.99) / 1000, converter.contextBuilds());
}

void runPacingAndCuts(int seconds, int cutDelayMs) {
    auto* sink = new TimingSink;  // owned by the output
    ProgramOutput output{std::unique_ptr<ProgramSink>(sink)};
    ProgramSettings settings;
    settings.cutDelayMs = cutDelayMs;
    ProgramSwitcher switcher;
    switcher.setSettings(settings);
    QObject::connect(&switcher, &ProgramSwitcher::signal_Cut,
                     [&](const ProgramCut& cut) { output.setSource(cut.program); });
    switcher.setCameras({"a", "b"});
    Frame a(1920, 1080, 60), b(1920, 1080, 200);
    QString error;
    if (!output.start(settings, &error)) {
        std::printf("the output did not start: %s\n", qPrintable(error));
        return;
    }

    struct Decision {
        std::int64_t atUs;
        std::int64_t cutUs = 0;
        int luma;
    };
    std::vector<Decision> decisions;
    QObject::connect(&switcher, &ProgramSwitcher::signal_Cut, [&](const ProgramCut&) {
        if (!decisions.empty() && decisions.back().cutUs == 0)
            decisions.back().cutUs = steadyUs();
    });

    QTimer cameras;
    cameras.setTimerType(Qt::PreciseTimer);
    cameras.setInterval(33);
    QObject::connect(&cameras, &QTimer::timeout, [&] {
        output.consumeFrame("a", a.frame);
        output.consumeFrame("b", b.frame);
    });
    QTimer shots;
    shots.setInterval(1500);
    QObject::connect(&shots, &QTimer::timeout, [&] {
        const QString offAir = switcher.programCamera() == "a" ? "b" : "a";
        decisions.push_back({steadyUs(), 0, offAir == "a" ? 60 : 200});
        switcher.shotDecided({offAir}, "bench");
    });
    cameras.start();
    shots.start();
    QTimer::singleShot(seconds * 1000, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    output.stop();

    const std::vector<TimingSink::Write> writes = sink->taken();
    std::vector<double> deviation;
    const double intervalUs = 1e6 / settings.frameRate;
    for (std::size_t i = 1; i < writes.size(); ++i)
        deviation.push_back(std::abs(static_cast<double>(writes[i].atUs - writes[i - 1].atUs) - intervalUs));
    std::printf(
        "pacing at %d fps over %zu frames: interval deviation median %.2f ms, p99 %.2f ms (target <= 4), "
        "worst %.2f ms; skipped slots %lld\n",
        settings.frameRate, writes.size(), percentile(deviation, 0.5) / 1000,
        percentile(deviation, 0.99) / 1000, percentile(deviation, 1.0) / 1000,
        static_cast<long long>(output.stats().skipped));

    std::vector<double> toFrame, toCut;
    for (const Decision& d : decisions) {
        if (d.cutUs == 0)
            continue;
        toCut.push_back(static_cast<double>(d.cutUs - d.atUs));
        for (const TimingSink::Write& w : writes)
            if (w.atUs >= d.cutUs && (w.luma > 128) == (d.luma > 128)) {
                toFrame.push_back(static_cast<double>(w.atUs - d.atUs));
                break;
            }
    }
    std::printf(
        "%zu cuts with CutDelay %d ms: decision to cut median %.1f ms, min %.1f ms (never below the "
        "delay); decision to the new camera's first frame (%zu seen) median %.1f ms, p99 %.1f ms (target <= %.1f)\n",
        toCut.size(), cutDelayMs, percentile(toCut, 0.5) / 1000, percentile(toCut, 0.0) / 1000,
        toFrame.size(), percentile(toFrame, 0.5) / 1000, percentile(toFrame, 0.99) / 1000, cutDelayMs + intervalUs / 1000);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
    const int cutDelayMs = argc > 2 ? std::clamp(std::atoi(argv[2]), 0, 1400) : 700;
    runConversion();
    runPacingAndCuts(seconds, cutDelayMs);
    return 0;
}
