// The pictures of one camera for the control interface: how often, how wide, and which JPEG
// (the camera's own, or one encoded here once per width), on frames made in the test.

#include <QImage>
#include <QTest>

#include <vector>

#include "ControlApiProtocol.h"
#include "FrameScaler.h"
#include "PictureEncoder.h"
#include "PictureFeed.h"
#include "vexsdk.h"

namespace {

// A planar 4:2:0 frame of that size: a gradient, so that the JPEG has something to encode.
struct TestFrame {
    std::vector<uint8_t> y, u, v;
    DC_Video_Frame frame{};
    TestFrame(int width, int height, int format = FrameScaler::kFormatYUV420P) {
        y.resize(size_t(width) * height);
        u.assign(size_t(width / 2) * (height / 2), 128);
        v.assign(size_t(width / 2) * (height / 2), 128);
        for (int row = 0; row < height; ++row)
            for (int col = 0; col < width; ++col) y[size_t(row) * width + col] = uint8_t((row + col) & 0xff);
        frame.width = width;
        frame.height = height;
        frame.format = format;
        frame.data[0] = y.data();
        frame.data[1] = u.data();
        frame.data[2] = v.data();
        frame.linesize[0] = width;
        frame.linesize[1] = width / 2;
        frame.linesize[2] = width / 2;
    }
};

QSize jpegSize(const QByteArray& jpeg) {
    QImage image;
    if (!jpeg.startsWith("\xff\xd8") || !image.loadFromData(jpeg, "JPEG"))
        return {};
    return image.size();
}

}  // namespace

class tst_PictureFeed : public QObject {
    Q_OBJECT

private slots:
    // Sizes kept in proportion, even, never wider than asked, never scaled up.
    void targetSizes() {
        QCOMPARE(PictureEncoder::targetSize({1920, 1080}, 640), QSize(640, 360));
        QCOMPARE(PictureEncoder::targetSize({1280, 720}, 321), QSize(320, 180));
        QCOMPARE(PictureEncoder::targetSize({320, 240}, 640), QSize(320, 240));
        QCOMPARE(PictureEncoder::targetSize({641, 481}, 640), QSize(640, 480));
        QCOMPARE(PictureEncoder::targetSize({4000, 10}, 16), QSize(16, 2));
        QVERIFY(PictureEncoder::targetSize({}, 640).isEmpty());
    }

    // Encoded JPEGs decode at the target size; a record that does not hold together, or a
    // format that is not drawn, gives none (and reads nothing past its planes).
    void encodesOrRefuses() {
        PictureEncoder encoder;
        TestFrame big(1280, 720);
        QCOMPARE(jpegSize(encoder.encode(big.frame, 640)), QSize(640, 360));
        QCOMPARE(jpegSize(encoder.encode(big.frame, 320)), QSize(320, 180));
        TestFrame full(1280, 720, FrameScaler::kFormatYUVJ420P);
        QCOMPARE(jpegSize(encoder.encode(full.frame, 640)), QSize(640, 360));

        TestFrame broken(1280, 720);
        broken.frame.linesize[1] = 10;  // shorter than a chroma row
        QVERIFY(encoder.encode(broken.frame, 640).isEmpty());
        broken.frame.linesize[1] = 640;
        broken.frame.data[2] = nullptr;
        QVERIFY(encoder.encode(broken.frame, 640).isEmpty());
        TestFrame other(320, 240, 99);
        QVERIFY(encoder.encode(other.frame, 640).isEmpty());
        // And it still works after the refusals.
        QCOMPARE(jpegSize(encoder.encode(big.frame, 640)), QSize(640, 360));
    }

    // Frames as fast as the pump pulls (every 10 ms), and a 30 fps camera's (every 33.3 ms,
    // moved by the pull's 10 ms): never more than 15 pictures in any second, and 15 a second
    // from the camera, not the 10 that "one per 1/15 s" would leave of it.
    void atMostFifteenASecond() {
        qint64 nowUs = 0;
        std::vector<qint64> times;
        PictureFeed feed([&](int, const QByteArray&) { times.push_back(nowUs); });
        feed.setClock([&] { return nowUs; });
        feed.setWidths({320});
        TestFrame frame(640, 360);
        const auto atMostFifteen = [&] {
            for (size_t i = 0; i + ControlApi::kMaxPicturesPerSecond < times.size(); ++i) {
                if (times[i + ControlApi::kMaxPicturesPerSecond] - times[i] < 1000000)
                    return false;
            }
            return true;
        };
        for (; nowUs < 2000000; nowUs += 10000) feed.consumeFrame(frame.frame);
        QVERIFY(atMostFifteen());
        QVERIFY2(times.size() >= 29, QByteArray::number(qsizetype(times.size())).constData());

        times.clear();
        const qint64 start = nowUs + 1000000;
        for (int n = 0; n < 90; ++n) {
            // The pull sees a frame up to 10 ms after it came.
            nowUs = start + n * 1000000LL / 30 + (n * 7919 % 10) * 1000;
            feed.consumeFrame(frame.frame);
        }
        QVERIFY(atMostFifteen());
        QVERIFY2(times.size() >= 43, QByteArray::number(qsizetype(times.size())).constData());
        // Nobody wants pictures: none are made.
        feed.setWidths({});
        const size_t before = times.size();
        for (int i = 0; i < 20; ++i, nowUs += 100000) feed.consumeFrame(frame.frame);
        QCOMPARE(times.size(), before);
    }

    // Each width's JPEG is made once per picture; the camera's own JPEG goes where the frame
    // is no wider than asked, taken from the receiver once per picture.
    void oneJpegPerWidthAndTheCamerasOwn() {
        qint64 nowUs = 0;
        QList<QPair<int, QByteArray>> delivered;
        PictureFeed feed([&](int width, const QByteArray& jpeg) { delivered.append({width, jpeg}); });
        feed.setClock([&] { return nowUs; });
        int ownTaken = 0;
        QByteArray own = QByteArray("\xff\xd8own", 5);
        feed.setCameraJpeg([&] {
            ++ownTaken;
            return own;
        });
        feed.setWidths({320, 640});

        TestFrame big(1280, 720);
        feed.consumeFrame(big.frame);
        QCOMPARE(delivered.size(), 2);
        QCOMPARE(feed.encodedCount(), 2);
        QCOMPARE(ownTaken, 0);  // wider than both: the camera's JPEG would be too wide
        QCOMPARE(jpegSize(delivered.at(0).second).width(), delivered.at(0).first);
        QCOMPARE(jpegSize(delivered.at(1).second).width(), delivered.at(1).first);

        delivered.clear();
        nowUs += 100000;
        TestFrame small(480, 270);
        feed.consumeFrame(small.frame);
        QCOMPARE(delivered.size(), 2);
        // 640: the camera's own; 320: encoded here.
        QCOMPARE(ownTaken, 1);
        QCOMPARE(feed.cameraJpegCount(), 1);
        QCOMPARE(feed.encodedCount(), 3);
        for (const auto& [width, jpeg] : std::as_const(delivered)) {
            if (width == 640)
                QCOMPARE(jpeg, own);
            else
                QCOMPARE(jpegSize(jpeg), QSize(320, 180));
        }

        // The receiver has no JPEG at hand: encoded here at the frame's own size.
        delivered.clear();
        own.clear();
        nowUs += 100000;
        feed.setWidths({640});
        feed.consumeFrame(small.frame);
        QCOMPARE(delivered.size(), 1);
        QCOMPARE(jpegSize(delivered.at(0).second), QSize(480, 270));
    }
};

QTEST_MAIN(tst_PictureFeed)
#include "tst_PictureFeed.moc"
