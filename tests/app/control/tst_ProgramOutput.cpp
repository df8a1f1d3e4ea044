// The program picture: its pacing on a simulated clock, repeated frames when a camera is
// late, cuts on a frame boundary, freezes, all read back from a file sink; the real pacer
// thread; and the loopback sink's device logic on a fake device table.
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "FileProgramSink.h"
#include "FrameScaler.h"
#include "ProgramFrameConverter.h"
#include "ProgramOutput.h"
#include "V4L2ProgramSink.h"
#include "vexsdk.h"

namespace {

// A planar 4:2:0 frame of one flat luma value (the camera's "marker"), owning its planes.
struct FlatFrame {
    FlatFrame(int width, int height, std::uint8_t luma)
        : y(static_cast<std::size_t>(width * height), luma),
          c(static_cast<std::size_t>(width * height / 4), 128) {
        std::memset(&frame, 0, sizeof frame);
        frame.width = width;
        frame.height = height;
        frame.format = FrameScaler::kFormatYUV420P;
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

ProgramSettings smallProgram(int frameRate = 30) {
    ProgramSettings s;
    s.width = 160;
    s.height = 120;
    s.frameRate = frameRate;
    return s;
}

// The luma of each frame written (its centre pixel); checks that each frame is flat, i.e.
// wholly one picture.
std::vector<int> lumaOfFrames(const QString& path, std::size_t frameBytes, bool* flat) {
    QFile file(path);
    std::vector<int> out;
    *flat = true;
    if (!file.open(QIODevice::ReadOnly))
        return out;
    const QByteArray all = file.readAll();
    for (qsizetype at = 0; at + qsizetype(frameBytes) <= all.size(); at += qsizetype(frameBytes)) {
        const auto* f = reinterpret_cast<const std::uint8_t*>(all.constData() + at);
        const int first = f[0];
        const int last = f[frameBytes - 2];
        if (std::abs(first - last) > 2)
            *flat = false;
        out.push_back(f[frameBytes / 2]);
    }
    if (all.size() % qsizetype(frameBytes) != 0)
        *flat = false;
    return out;
}

bool near(int value, int expected) {
    return std::abs(value - expected) <= 2;
}

// A device table with scripted nodes: each has a card, capabilities and an answer to S_FMT.
struct FakeDevices {
    struct Node {
        std::string card;
        __u32 caps = 0;
        bool refuseFormat = false;
        __u32 answerWidth = 0;  // 0: takes what is asked
    };
    std::map<std::string, Node> nodes;
    std::map<int, std::string> open;
    int nextFd = 10;
    v4l2_format lastFormat{};
    std::vector<std::size_t> writes;

    LoopbackCalls calls() {
        LoopbackCalls c;
        c.listNodes = [this] {
            std::vector<std::string> names;
            for (auto& n : nodes) names.push_back(n.first);
            return names;
        };
        c.open = [this](const char* path, int) {
            if (!nodes.count(path)) {
                errno = ENOENT;
                return -1;
            }
            open[nextFd] = path;
            return nextFd++;
        };
        c.ioctl = [this](int fd, unsigned long request, void* arg) {
            const Node& node = nodes.at(open.at(fd));
            if (request == VIDIOC_QUERYCAP) {
                auto* caps = static_cast<v4l2_capability*>(arg);
                // The card field filled to its end, without a terminating NUL.
                std::memset(caps->card, 'x', sizeof caps->card);
                std::memcpy(caps->card, node.card.data(), std::min(node.card.size(), sizeof caps->card));
                if (node.card.size() < sizeof caps->card)
                    caps->card[node.card.size()] = 0;
                caps->capabilities = node.caps | V4L2_CAP_DEVICE_CAPS;
                caps->device_caps = node.caps;
                return 0;
            }
            if (request == VIDIOC_S_FMT) {
                if (node.refuseFormat) {
                    errno = EBUSY;
                    return -1;
                }
                auto* format = static_cast<v4l2_format*>(arg);
                if (node.answerWidth)
                    format->fmt.pix.width = node.answerWidth;
                lastFormat = *format;
                return 0;
            }
            errno = ENOTTY;
            return -1;
        };
        c.write = [this](int, const void*, size_t size) {
            writes.push_back(size);
            return static_cast<ssize_t>(size);
        };
        c.close = [this](int fd) {
            open.erase(fd);
            return 0;
        };
        return c;
    }
};

}  // namespace

class ProgramOutputTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir _dir;
    QString path(const char* name) const { return _dir.filePath(QLatin1String(name)); }

private slots:
    void pacingKeepsTheOutputsOwnRateAndNeverBursts() {
        const QString file = path("pacing.yuv");
        ProgramOutput output(std::make_unique<FileProgramSink>(file));
        QString error;
        QVERIFY2(output.configure(smallProgram(30), &error), qPrintable(error));
        output.setSource("a");
        FlatFrame a(320, 240, 80);
        // Ten seconds at an uneven wake-up (every 7 ms), a camera frame every 33 ms.
        std::int64_t nextCamera = 0;
        for (std::int64_t t = 0; t < 10'000'000; t += 7'000) {
            if (t >= nextCamera) {
                output.consumeFrame("a", a.frame);
                nextCamera += 33'333;
            }
            output.tick(t);
        }
        ProgramOutput::Stats s = output.stats();
        QCOMPARE(s.written, 300);
        QCOMPARE(s.skipped, 0);
        QCOMPARE(s.failed, 0);

        // The pacer woken a second late: one frame, the missed slots skipped, not a burst.
        output.tick(11'000'000);
        output.tick(11'000'001);
        s = output.stats();
        QCOMPARE(s.written, 301);
        QVERIFY2(s.skipped >= 29 && s.skipped <= 31, qPrintable(QString::number(s.skipped)));
        // And the rate resumes on the same slot grid (11 s is a slot): 30 more frames up to
        // and including the slot at 12 s.
        for (std::int64_t t = 11'000'002; t <= 12'000'002; t += 1'000) output.tick(t);
        QCOMPARE(output.stats().written - s.written, 30);
        output.stop();

        bool flat = false;
        const std::vector<int> luma = lumaOfFrames(file, output.frameBytes(), &flat);
        QVERIFY(flat);
        QCOMPARE(static_cast<std::int64_t>(luma.size()), output.stats().written);
        // Black until the first picture (written at once), then the camera's.
        QVERIFY(near(luma.back(), 80));
    }

    void aLateCameraGetsItsPictureRepeatedAndNeverStallsTheOutput() {
        const QString file = path("late.yuv");
        ProgramOutput output(std::make_unique<FileProgramSink>(file));
        QString error;
        QVERIFY(output.configure(smallProgram(30), &error));
        output.setSource("a");
        FlatFrame a(320, 240, 90);
        // 10 frames a second for two seconds, then none for two seconds.
        std::int64_t nextCamera = 0;
        for (std::int64_t t = 0; t < 4'000'000; t += 1'000) {
            if (t < 2'000'000 && t >= nextCamera) {
                output.consumeFrame("a", a.frame);
                nextCamera += 100'000;
            }
            output.tick(t);
        }
        const ProgramOutput::Stats s = output.stats();
        QCOMPARE(s.written, 120);
        QCOMPARE(s.converted, 20);
        QCOMPARE(s.repeated, 100);
        output.stop();
        bool flat = false;
        const std::vector<int> luma = lumaOfFrames(file, output.frameBytes(), &flat);
        QCOMPARE(luma.size(), std::size_t(120));
        QVERIFY(near(luma.back(), 90));  // the last picture held through the silence
    }

    void aCutTakesEffectOnAFrameBoundaryWithTheNewCamerasPicture() {
        const QString file = path("cut.yuv");
        ProgramOutput output(std::make_unique<FileProgramSink>(file));
        QString error;
        QVERIFY(output.configure(smallProgram(25), &error));
        output.setSource("a");
        FlatFrame a(640, 360, 60), b(1280, 720, 200), bEarly(1280, 720, 140);
        std::int64_t t = 0;
        auto run = [&](std::int64_t until, FlatFrame* fa, FlatFrame* fb) {
            for (; t < until; t += 5'000) {
                if (t % 40'000 == 10'000) {
                    if (fa)
                        output.consumeFrame("a", fa->frame);
                    if (fb)
                        output.consumeFrame("b", fb->frame);
                }
                output.tick(t);
            }
        };
        // B streams before the cut (its move): none of those pictures may be shown.
        run(1'000'000, &a, &bEarly);
        output.setSource("b");
        // B late after the cut: A's picture is repeated, never black, never B's old one.
        run(1'200'000, &a, nullptr);
        run(2'000'000, &a, &b);
        output.stop();

        bool flat = false;
        const std::vector<int> luma = lumaOfFrames(file, output.frameBytes(), &flat);
        QVERIFY(flat);
        QCOMPARE(luma.size(), std::size_t(50));
        std::size_t firstB = luma.size();
        for (std::size_t i = 0; i < luma.size(); ++i) {
            QVERIFY2(!near(luma[i], 140),
                     qPrintable(QStringLiteral("frame %1 shows B from before the cut").arg(i)));
            if (near(luma[i], 200) && firstB == luma.size())
                firstB = i;
            if (i > 0 && i < firstB)
                QVERIFY2(near(luma[i], 60), qPrintable(QStringLiteral("frame %1: %2").arg(i).arg(luma[i])));
            if (i >= firstB)
                QVERIFY2(near(luma[i], 200),
                         qPrintable(QStringLiteral("frame %1 after the cut: %2").arg(i).arg(luma[i])));
        }
        // The cut is at 1 s, B's first frame after it at 1.21 s: the frame at 1.24 s shows it.
        QCOMPARE(firstB, std::size_t(31));
    }

    void aFreezeHoldsThePictureAndNothingFromTheMoveIsShownAfterIt() {
        const QString file = path("freeze.yuv");
        ProgramOutput output(std::make_unique<FileProgramSink>(file));
        QString error;
        QVERIFY(output.configure(smallProgram(20), &error));
        output.setSource("a");
        FlatFrame before(320, 240, 70), moving(320, 240, 120), arrived(320, 240, 170);
        std::int64_t t = 0;
        auto run = [&](std::int64_t until, FlatFrame& f) {
            for (; t < until; t += 10'000) {
                if (t % 30'000 == 0)
                    output.consumeFrame("a", f.frame);
                output.tick(t);
            }
        };
        run(500'000, before);
        output.setFrozen(true);
        run(1'200'000, moving);
        // A frame converted in the move's last instant, then the freeze ends.
        output.consumeFrame("a", moving.frame);
        output.setFrozen(false);
        run(1'240'000, before);  // (no camera frame in this stretch: 1.20 and 1.23 s are off grid)
        run(2'000'000, arrived);
        output.stop();

        bool flat = false;
        const std::vector<int> luma = lumaOfFrames(file, output.frameBytes(), &flat);
        QVERIFY(flat);
        bool sawArrived = false;
        for (std::size_t i = 1; i < luma.size(); ++i) {
            QVERIFY2(!near(luma[i], 120), qPrintable(QStringLiteral("frame %1 shows the move").arg(i)));
            if (near(luma[i], 170))
                sawArrived = true;
            else
                QVERIFY2(!sawArrived && near(luma[i], 70),
                         qPrintable(QStringLiteral("frame %1: %2").arg(i).arg(luma[i])));
        }
        QVERIFY(sawArrived);
    }

    void thePacerThreadWritesUntilStoppedAndStopsTwice() {
        const QString file = path("thread.yuv");
        ProgramOutput output(std::make_unique<FileProgramSink>(file));
        QString error;
        QVERIFY(output.start(smallProgram(60), &error));
        QVERIFY(output.isRunning());
        QTRY_VERIFY_WITH_TIMEOUT(output.stats().written >= 6, 5000);
        output.stop();
        QVERIFY(!output.isRunning());
        const std::int64_t written = output.stats().written;
        output.stop();
        QCOMPARE(QFileInfo(file).size(), qint64(written) * qint64(output.frameBytes()));

        // A sink that cannot open: no thread, the sink's sentence.
        ProgramOutput nowhere(std::make_unique<FileProgramSink>(path("no/such/folder/x.yuv")));
        QVERIFY(!nowhere.start(smallProgram(), &error));
        QVERIFY(error.contains("no/such/folder"));
        QVERIFY(!nowhere.isRunning());
    }

    void framesHandedOverWhileThePacerWritesAreNeverTorn() {
        // The interface thread converts and cuts as fast as it can while the pacer writes:
        // every frame written must be wholly one picture.
        const QString file = path("race.yuv");
        ProgramOutput output(std::make_unique<FileProgramSink>(file));
        QString error;
        QVERIFY(output.start(smallProgram(60), &error));
        FlatFrame a(320, 240, 50), b(320, 240, 210);
        QElapsedTimer running;
        running.start();
        int round = 0;
        while (output.stats().written < 20 && running.elapsed() < 10000) {
            output.setSource(round % 7 < 3 ? "a" : "b");
            output.setFrozen(round % 11 == 0);
            output.consumeFrame("a", a.frame);
            output.consumeFrame("b", b.frame);
            ++round;
        }
        output.stop();
        QVERIFY(output.stats().written >= 20);
        bool flat = false;
        const std::vector<int> luma = lumaOfFrames(file, output.frameBytes(), &flat);
        QVERIFY(flat);
        for (int value : luma)
            QVERIFY2(near(value, 16) || near(value, 50) || near(value, 210),
                     qPrintable(QString::number(value)));
    }

    void theConverterRejectsBrokenRecordsAndKeepsItsContext() {
        ProgramFrameConverter converter;
        std::vector<std::uint8_t> out(160 * 120 * 2, 7);
        FlatFrame f(320, 240, 100);
        QVERIFY(converter.convert(f.frame, out.data(), 160, 120));
        QVERIFY(converter.convert(f.frame, out.data(), 160, 120));
        QCOMPARE(converter.contextBuilds(), 1);
        QVERIFY(near(out[0], 100) && near(out[1], 128));

        std::vector<std::uint8_t> untouched(out.size(), 7);
        FlatFrame broken(320, 240, 50);
        broken.frame.data[2] = nullptr;
        QVERIFY(!converter.convert(broken.frame, untouched.data(), 160, 120));
        FlatFrame shortRows(320, 240, 50);
        shortRows.frame.linesize[0] = 100;
        QVERIFY(!converter.convert(shortRows.frame, untouched.data(), 160, 120));
        FlatFrame odd(320, 240, 50);
        QVERIFY(!converter.convert(odd.frame, untouched.data(), 161, 120));
        QVERIFY(std::all_of(untouched.begin(), untouched.end(), [](std::uint8_t v) { return v == 7; }));
    }

    void theLoopbackSinkFindsItsDeviceByLabel() {
        FakeDevices fake;
        fake.nodes["/dev/video0"] = {"USB Camera", V4L2_CAP_VIDEO_CAPTURE};
        // Our label held by another writer (capture only, as exclusive_caps shows it then).
        fake.nodes["/dev/video1"] = {V4L2ProgramSink::kCardLabel, V4L2_CAP_VIDEO_CAPTURE};
        fake.nodes["/dev/video2"] = {V4L2ProgramSink::kCardLabel, V4L2_CAP_VIDEO_OUTPUT};
        V4L2ProgramSink sink(fake.calls());
        QString error;
        QVERIFY2(sink.open(640, 360, 30, &error), qPrintable(error));
        QCOMPARE(sink.node(), std::string("/dev/video2"));
        QCOMPARE(fake.open.size(), std::size_t(1));  // the nodes looked at and not taken are closed
        QCOMPARE(fake.lastFormat.type, __u32(V4L2_BUF_TYPE_VIDEO_OUTPUT));
        QCOMPARE(fake.lastFormat.fmt.pix.pixelformat, __u32(V4L2_PIX_FMT_YUYV));
        QCOMPARE(fake.lastFormat.fmt.pix.width, 640u);
        QCOMPARE(fake.lastFormat.fmt.pix.sizeimage, 640u * 360u * 2u);
        std::vector<std::uint8_t> frame(640 * 360 * 2);
        QVERIFY(sink.write(frame.data(), frame.size(), &error));
        QCOMPARE(fake.writes, std::vector<std::size_t>{frame.size()});
        sink.close();
        sink.close();
        QVERIFY(fake.open.empty());
    }

    void theLoopbackSinkSaysWhatIsMissingOrWrong() {
        FakeDevices fake;
        // A label that only starts like ours, filling the whole card field.
        fake.nodes["/dev/video0"] = {std::string(V4L2ProgramSink::kCardLabel) + " two and more text",
                                     V4L2_CAP_VIDEO_OUTPUT};
        V4L2ProgramSink sink(fake.calls());
        QString error;
        QVERIFY(!sink.open(640, 360, 30, &error));
        QCOMPARE(error, V4L2ProgramSink::missingModuleText());
        for (const char* needed :
             {"v4l2loopback-dkms", "v4l2loopback-utils",
              "modprobe v4l2loopback exclusive_caps=1 card_label=\"VantorReda Program\""})
            QVERIFY2(error.contains(QLatin1String(needed)), needed);
        QVERIFY(fake.open.empty());

        fake.nodes["/dev/video1"] = {V4L2ProgramSink::kCardLabel, V4L2_CAP_VIDEO_CAPTURE};
        QVERIFY(!sink.open(640, 360, 30, &error));
        QVERIFY2(error.contains("/dev/video1") && error.contains("another program"), qPrintable(error));

        fake.nodes["/dev/video2"] = {V4L2ProgramSink::kCardLabel, V4L2_CAP_VIDEO_OUTPUT, false, 1280};
        QVERIFY(!sink.open(640, 360, 30, &error));
        QVERIFY2(error.contains("1280"), qPrintable(error));
        fake.nodes["/dev/video2"].refuseFormat = true;
        QVERIFY(!sink.open(640, 360, 30, &error));
        QVERIFY(fake.open.empty());
        QVERIFY(!sink.write(nullptr, 0, &error));
    }
};

QTEST_GUILESS_MAIN(ProgramOutputTest)
#include "tst_ProgramOutput.moc"
