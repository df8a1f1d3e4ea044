// The live preview's cost on the interface thread:
//
// 1. 1080p30 MJPEG from a generated stream, drawn into a 640x360 preview window by the
//    panel's renderer (10 ms pull, timeout 0): the interface thread's cost per drawn frame
//    (convert + scale into the picture between captureVideo and freeVideo, plus the paint),
//    median and p99; and the delay from a frame's arrival (the moment it becomes available to
//    captureVideo) to the end of the paint that shows it, median and p99. A decode thread
//    paced at 30 frames per second stands in for the receiver's decoder, so that the arrival
//    time is known exactly. Targets: draw cost <= 3 ms p99; arrival to paint <= 12 ms p99.
// 2. The longest stall of the interface thread while "PTZ Control" opens the panel on a
//    simulated H.264 1080p camera (the whole application, the simulated backend, a stream
//    served in real time over loopback TCP): the worst lateness of a 5 ms timer from the
//    click until the first picture is painted and 300 ms beyond. Target <= 50 ms.
//
// The draw cost is given in wall-clock time (what the target is about) and in the interface
// thread's processor time (what the code costs, whatever else the machine runs); on a loaded
// machine the two part at the top percentiles.
//
// Without a display the offscreen platform is used (the paint then ends in an image, not on a
// screen). Usage: PreviewBench [seconds of part 1, default 10] [openings of part 2, default 5]

#include <time.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "CameraListView.h"
#include "MainWindow.h"
#include "MediaGenerator.h"
#include "MediaStreamServer.h"
#include "PTZControlForm.h"
#include "PreviewFrameSource.h"
#include "PreviewOpenThread.h"
#include "PreviewRenderer.h"
#include "PreviewWindow.h"
#include "SimCameraRig.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

struct Summary {
    double median = 0, p99 = 0, max = 0;
    size_t count = 0;
};

// Processor time of the calling thread, ms: unlike the wall clock it does not count the time
// the thread waited for a processor that another program held.
double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

Summary summarise(std::vector<double> values) {
    Summary s;
    s.count = values.size();
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    s.median = values[values.size() / 2];
    s.p99 = values[std::min(values.size() - 1, static_cast<size_t>(values.size() * 0.99))];
    s.max = values.back();
    return s;
}

void waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!condition() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
}

// ---- part 1 -------------------------------------------------------------------------------------

// Decodes the clip's JPEG packets at 30 frames per second on its own thread, as the receiver's
// decoder would, and lends the frames to the renderer through the capture contract.
class PacedDecoder : public PreviewFrameSource {
public:
    explicit PacedDecoder(const MediaClip& clip) : _clip(clip) {}
    ~PacedDecoder() override { stop(); }

    bool start() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
        _decoder = avcodec_alloc_context3(codec);
        _decoder->thread_count = 1;
        if (avcodec_open2(_decoder, codec, nullptr) < 0)
            return false;
        _thread = std::thread([this] { run(); });
        return true;
    }
    void stop() {
        _stop.store(true);
        if (_thread.joinable())
            _thread.join();
        std::lock_guard<std::mutex> lock(_mutex);
        for (Entry& e : _ready) av_frame_free(&e.frame);
        _ready.clear();
        av_frame_free(&_lent.frame);
        avcodec_free_context(&_decoder);
    }

    DC_Error_Type captureVideo(DC_Video_Frame* frame, uint32_t) override {
        const Clock::time_point called = Clock::now();
        const double calledCpu = threadCpuMs();
        std::lock_guard<std::mutex> lock(_mutex);
        if (_ready.empty())
            return DC_ERROR_TIMEOUT;
        _lent = _ready.front();
        _ready.pop_front();
        _captureCalled = called;
        _captureCalledCpu = calledCpu;
        const AVFrame* f = _lent.frame;
        frame->width = f->width;
        frame->height = f->height;
        frame->frameRate = 30.0;
        frame->format = f->format;
        for (int i = 0; i < 8; ++i) {
            frame->data[i] = f->data[i];
            frame->linesize[i] = f->linesize[i];
        }
        return DC_ERROR_NONE;
    }
    void freeVideo(DC_Video_Frame*) override {
        const Clock::time_point freed = Clock::now();
        std::lock_guard<std::mutex> lock(_mutex);
        convertMs.push_back(msBetween(_captureCalled, freed));
        convertCpuMs.push_back(threadCpuMs() - _captureCalledCpu);
        pendingArrival = _lent.arrival;
        pendingConvertMs = convertMs.back();
        pendingConvertCpuMs = convertCpuMs.back();
        hasPending = true;
        av_frame_free(&_lent.frame);
    }

    // Interface thread only (written in freeVideo, read by the paint observer).
    std::vector<double> convertMs;
    std::vector<double> convertCpuMs;
    Clock::time_point pendingArrival;
    double pendingConvertMs = 0;
    double pendingConvertCpuMs = 0;
    bool hasPending = false;
    std::atomic<int> produced{0};
    std::atomic<int> dropped{0};

private:
    struct Entry {
        AVFrame* frame = nullptr;
        Clock::time_point arrival;
    };

    void run() {
        AVPacket* packet = av_packet_alloc();
        const std::vector<MediaPacket>& packets = _clip.packets();
        const auto start = Clock::now();
        for (size_t i = 0; !_stop.load(); ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(33333 * i));
            const MediaPacket& source = packets[i % packets.size()];
            av_new_packet(packet, static_cast<int>(source.data.size()));
            std::copy(source.data.begin(), source.data.end(), packet->data);
            AVFrame* frame = av_frame_alloc();
            if (avcodec_send_packet(_decoder, packet) >= 0 && avcodec_receive_frame(_decoder, frame) >= 0) {
                std::lock_guard<std::mutex> lock(_mutex);
                // A queue of three, like a renderer that falls behind would meet.
                if (_ready.size() >= 3) {
                    av_frame_free(&_ready.front().frame);
                    _ready.pop_front();
                    dropped.fetch_add(1);
                }
                _ready.push_back({frame, Clock::now()});
                produced.fetch_add(1);
            } else {
                av_frame_free(&frame);
            }
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
    }

    const MediaClip& _clip;
    AVCodecContext* _decoder = nullptr;  // decode thread only once started
    std::thread _thread;
    std::atomic<bool> _stop{false};
    std::mutex _mutex;
    std::deque<Entry> _ready;          // guarded by _mutex
    Entry _lent;                       // guarded by _mutex; interface thread between capture and free
    Clock::time_point _captureCalled;  // guarded by _mutex
    double _captureCalledCpu = 0;      // guarded by _mutex
};

// Stamps the start of each paint of the preview window.
class PaintStart : public QObject {
public:
    Clock::time_point at;
    double cpuAt = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            at = Clock::now();
            cpuAt = threadCpuMs();
        }
        return false;
    }
};

void runDrawCost(int seconds) {
    std::printf("== 1080p30 MJPEG into a 640x360 preview, %d s (platform %s)\n", seconds,
                qPrintable(QGuiApplication::platformName()));
    MediaRecipe recipe;
    recipe.video = MediaVideo::MJPEG;
    recipe.width = 1920;
    recipe.height = 1080;
    recipe.frames = 60;
    recipe.container = "mjpeg";
    MediaClip clip(recipe);
    if (!clip.ok()) {
        std::printf("cannot generate the clip\n");
        return;
    }

    PreviewWindow window;
    window.resize(640, 360);
    window.show();
    waitUntil([&] { return window.isVisible(); }, 2000);
    PaintStart paintStart;
    window.installEventFilter(&paintStart);

    PacedDecoder source(clip);
    std::vector<double> drawMs;
    std::vector<double> drawCpuMs;
    std::vector<double> paintMs;
    std::vector<double> arrivalToPaintMs;
    int coalesced = 0;
    QObject::connect(&window, &PreviewWindow::signal_picturePainted, [&] {
        const Clock::time_point end = Clock::now();
        const double endCpu = threadCpuMs();
        if (!source.hasPending)
            return;  // a repaint of a frame already counted
        source.hasPending = false;
        const double paint = msBetween(paintStart.at, end);
        paintMs.push_back(paint);
        drawMs.push_back(source.pendingConvertMs + paint);
        drawCpuMs.push_back(source.pendingConvertCpuMs + endCpu - paintStart.cpuAt);
        arrivalToPaintMs.push_back(msBetween(source.pendingArrival, end));
    });

    PreviewRenderer renderer(nullptr, &window);
    renderer.setFrameSource(&source);
    if (!source.start()) {
        std::printf("cannot open the MJPEG decoder\n");
        return;
    }
    renderer.start();
    // The first second warms up (the conversion context, the picture, caches).
    waitUntil([] { return false; }, 1000);
    const size_t warm = source.convertMs.size();
    const uchar* pixels = window.picture().constBits();
    drawMs.clear();
    drawCpuMs.clear();
    paintMs.clear();
    arrivalToPaintMs.clear();
    waitUntil([] { return false; }, seconds * 1000);
    renderer.stop();
    source.stop();
    const size_t converted = source.convertMs.size() - warm;
    coalesced = static_cast<int>(converted) - static_cast<int>(drawMs.size());

    const Summary convert =
        summarise(std::vector<double>(source.convertMs.begin() + warm, source.convertMs.end()));
    const Summary paint = summarise(paintMs);
    const Summary draw = summarise(drawMs);
    const Summary drawCpu = summarise(drawCpuMs);
    const Summary delay = summarise(arrivalToPaintMs);
    std::printf(
        "frames decoded %d (dropped before capture %d), drawn %zu, painted %zu, drawn but not painted %d\n",
        source.produced.load(), source.dropped.load(), converted, drawMs.size(), coalesced);
    std::printf("convert + scale (capture to free): median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                convert.median, convert.p99, convert.max);
    std::printf("paint:                             median %.2f ms, p99 %.2f ms, max %.2f ms\n", paint.median,
                paint.p99, paint.max);
    std::printf(
        "draw cost per frame:               median %.2f ms, p99 %.2f ms, max %.2f ms  (target p99 <= 3 ms: "
        "%s)\n",
        draw.median, draw.p99, draw.max, draw.p99 <= 3.0 ? "met" : "MISSED");
    std::printf("draw cost, processor time:         median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                drawCpu.median, drawCpu.p99, drawCpu.max);
    std::printf(
        "arrival to paint:                  median %.2f ms, p99 %.2f ms, max %.2f ms  (target p99 <= 12 ms: "
        "%s)\n",
        delay.median, delay.p99, delay.max, delay.p99 <= 12.0 ? "met" : "MISSED");
    std::printf("conversion contexts built: %d; picture reallocated while running: %s\n",
                window.scaler().contextBuilds(), window.picture().constBits() == pixels ? "no" : "yes");
}

// ---- part 2 -------------------------------------------------------------------------------------

void runOpenStall(int openings) {
    std::printf("== Interface stall while the panel opens on a simulated H.264 1080p camera, %d openings\n",
                openings);
    MediaRecipe recipe;
    recipe.video = MediaVideo::H264;
    recipe.width = 1920;
    recipe.height = 1080;
    recipe.frames = 60;
    recipe.gop = 30;
    recipe.container = "h264";
    auto clip = std::make_shared<MediaClip>(recipe);
    if (!clip->ok()) {
        std::printf("cannot generate the clip\n");
        return;
    }
    MediaStreamServer::Options options;
    options.loop = true;
    MediaStreamServer server(clip, options);
    QTemporaryDir settings;
    qputenv("ALLUSERSPROFILE", settings.path().toLocal8Bit());
    SimCameraRig rig;
    SimCameraRig::CameraSpec camera;
    FakeSimulator::Capability h264 = SimCameraRig::capability("H264", 1920, 1080, 30.0);
    h264.inputUrl = server.url();
    camera.capabilities = {h264};
    rig.plug(camera);

    MainWindow window(nullptr,
                      QStringLiteral("vantor-preview-bench-%1").arg(QCoreApplication::applicationPid()));
    window.show();
    CameraListView* list = window.cameraListPage();
    waitUntil([&] { return window.isEnabled() && list->rowCount() == 1; }, 10000);
    if (list->rowCount() != 1) {
        std::printf("the simulated camera was not listed\n");
        return;
    }
    list->rowButton(0)->click();
    if (!list->currentReceiver()) {
        std::printf("the simulated camera did not connect\n");
        return;
    }
    auto* ptz = list->findChild<QPushButton*>(QStringLiteral("ptz_pushButton"));

    std::vector<double> worst;
    for (int run = 0; run < openings; ++run) {
        double worstLateMs = 0;
        // The interface thread's processor time in that same longest gap: near the gap's
        // length when the thread itself was busy, near zero when it waited for a processor
        // (or for the simulated camera's socket).
        double worstGapCpuMs = 0;
        Clock::time_point last = Clock::now();
        double lastCpu = threadCpuMs();
        QTimer beat;
        beat.setTimerType(Qt::PreciseTimer);
        QObject::connect(&beat, &QTimer::timeout, [&] {
            const Clock::time_point now = Clock::now();
            const double nowCpu = threadCpuMs();
            const double late = msBetween(last, now) - 5.0;
            if (late > worstLateMs) {
                worstLateMs = late;
                worstGapCpuMs = nowCpu - lastCpu;
            }
            last = now;
            lastCpu = nowCpu;
        });
        beat.start(5);
        waitUntil([] { return false; }, 200);
        worstLateMs = 0;
        worstGapCpuMs = 0;

        const Clock::time_point clicked = Clock::now();
        const double clickCpu = threadCpuMs();
        ptz->click();
        // The click's own work on the interface thread: creating the panel (first time), its
        // two reads of the camera, the preview window; startPreview is not part of it.
        const double clickMs = msBetween(clicked, Clock::now());
        const double clickCpuMs = threadCpuMs() - clickCpu;
        PTZControlForm* panel = window.ptzControlForm();
        waitUntil(
            [&] {
                return panel->previewWindow() &&
                       panel->previewWindow()->state() == PreviewWindow::State::Picture;
            },
            20000);
        const double toPicture = msBetween(clicked, Clock::now());
        const bool shown =
            panel->previewWindow() && panel->previewWindow()->state() == PreviewWindow::State::Picture;
        waitUntil([] { return false; }, 300);
        beat.stop();
        worst.push_back(worstLateMs);
        std::printf(
            "opening %d: click handled in %.1f ms (processor %.1f ms), first picture after %.0f ms%s; worst "
            "lateness of the 5 ms timer %.1f ms (processor time in that gap %.1f ms)\n",
            run + 1, clickMs, clickCpuMs, toPicture, shown ? "" : " (NO PICTURE)", worstLateMs,
            worstGapCpuMs);
        panel->slot_CloseButtonClicked();
        waitUntil([&] { return !panel->previewThread()->isBusy(); }, 10000);
    }
    const Summary s = summarise(worst);
    std::printf("worst stall while opening: median %.1f ms, max %.1f ms  (target <= 50 ms: %s)\n", s.median,
                s.max, s.max <= 50.0 ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The application's debug lines would swamp the figures.
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const int openings = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    runDrawCost(seconds);
    runOpenStall(openings);
    return 0;
}
