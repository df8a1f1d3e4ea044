// The preview's drawing and its pull: generated frames of known colours in every format the
// preview draws, read back from the painted window; odd sizes, an oversized frame and broken
// records; and the 10 ms pull against a scripted frame source that checks the capture/free
// contract (zero timeout, every captured frame freed before the next capture).
#include <QApplication>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <vector>

#include "FrameScaler.h"
#include "PreviewFrameSource.h"
#include "PreviewRenderer.h"
#include "PreviewWindow.h"

namespace {

struct Yuv {
    int y, u, v;
};

// Y'CbCr of a colour, full or limited range, BT.601 or BT.709 (what the preview assumes for
// each format and size).
Yuv toYuv(const QColor& c, bool fullRange, bool bt709) {
    const double kr = bt709 ? 0.2126 : 0.299;
    const double kb = bt709 ? 0.0722 : 0.114;
    const double r = c.red(), g = c.green(), b = c.blue();
    const double y = kr * r + (1 - kr - kb) * g + kb * b;
    const double u = (b - y) / (2 * (1 - kb));
    const double v = (r - y) / (2 * (1 - kr));
    auto byte = [](double value) { return int(std::clamp(std::lround(value), 0L, 255L)); };
    if (fullRange)
        return {byte(y), byte(128 + u), byte(128 + v)};
    return {byte(16 + y * 219 / 255), byte(128 + u * 224 / 255), byte(128 + v * 224 / 255)};
}

// A frame of one of the drawn formats with its planes in vectors sized exactly to their
// rows (so that AddressSanitizer sees a read past a plane), each row padded by a few bytes.
class TestFrame {
public:
    TestFrame(int format, int width, int height, const std::function<QColor(int, int)>& colourAt) {
        record.format = format;
        record.width = width;
        record.height = height;
        const bool full = format == FrameScaler::kFormatYUVJ420P || format == FrameScaler::kFormatYUVJ422P;
        const bool bt709 = !full && height >= 720;
        const int chromaWidth = (width + 1) / 2;
        const int chromaHeight = format == FrameScaler::kFormatYUVJ422P ? height : (height + 1) / 2;
        const int chromaRowStep = format == FrameScaler::kFormatYUVJ422P ? 1 : 2;
        const int lumaStride = width + 7;
        const int chromaStride = (format == FrameScaler::kFormatNV12 ? 2 * chromaWidth : chromaWidth) + 5;
        _planes.resize(format == FrameScaler::kFormatNV12 ? 2 : 3);
        _planes[0].resize(size_t(lumaStride) * height);
        for (size_t p = 1; p < _planes.size(); ++p) _planes[p].resize(size_t(chromaStride) * chromaHeight);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                _planes[0][size_t(y) * lumaStride + x] = uint8_t(toYuv(colourAt(x, y), full, bt709).y);
        for (int cy = 0; cy < chromaHeight; ++cy) {
            for (int cx = 0; cx < chromaWidth; ++cx) {
                const Yuv s = toYuv(colourAt(2 * cx, cy * chromaRowStep), full, bt709);
                if (format == FrameScaler::kFormatNV12) {
                    _planes[1][size_t(cy) * chromaStride + 2 * cx] = uint8_t(s.u);
                    _planes[1][size_t(cy) * chromaStride + 2 * cx + 1] = uint8_t(s.v);
                } else {
                    _planes[1][size_t(cy) * chromaStride + cx] = uint8_t(s.u);
                    _planes[2][size_t(cy) * chromaStride + cx] = uint8_t(s.v);
                }
            }
        }
        for (size_t p = 0; p < _planes.size(); ++p) {
            record.data[p] = _planes[p].data();
            record.linesize[p] = p == 0 ? lumaStride : chromaStride;
        }
    }

    DC_Video_Frame record{};

private:
    std::vector<std::vector<uint8_t>> _planes;
};

// Red, green, blue and white quarters.
QColor quarters(int x, int y, int width, int height) {
    const bool right = x >= width / 2;
    const bool bottom = y >= height / 2;
    if (!bottom)
        return right ? QColor(0, 255, 0) : QColor(255, 0, 0);
    return right ? QColor(255, 255, 255) : QColor(0, 0, 255);
}

bool near(QRgb pixel, const QColor& expected, int tolerance = 40) {
    return std::abs(qRed(pixel) - expected.red()) <= tolerance &&
           std::abs(qGreen(pixel) - expected.green()) <= tolerance &&
           std::abs(qBlue(pixel) - expected.blue()) <= tolerance;
}

QString describe(QRgb pixel) {
    return QStringLiteral("(%1,%2,%3)").arg(qRed(pixel)).arg(qGreen(pixel)).arg(qBlue(pixel));
}

// Checks the four quarters at their centres in an image of the window.
void verifyQuarters(const QImage& image) {
    const int w = image.width();
    const int h = image.height();
    const struct {
        QPoint at;
        QColor colour;
    } checks[] = {{{w / 4, h / 4}, QColor(255, 0, 0)},
                  {{3 * w / 4, h / 4}, QColor(0, 255, 0)},
                  {{w / 4, 3 * h / 4}, QColor(0, 0, 255)},
                  {{3 * w / 4, 3 * h / 4}, QColor(255, 255, 255)}};
    for (const auto& c : checks) {
        const QRgb pixel = image.pixel(c.at);
        QVERIFY2(near(pixel, c.colour),
                 qPrintable(QStringLiteral("at %1,%2: %3").arg(c.at.x()).arg(c.at.y()).arg(describe(pixel))));
    }
}

// A frame source that plays a script of capture results and checks the receiver's contract.
class ScriptedSource : public PreviewFrameSource {
public:
    DC_Error_Type captureVideo(DC_Video_Frame* frame, uint32_t timeoutMs) override {
        ++captures;
        if (timeoutMs != 0 || lent)
            ++violations;
        DC_Error_Type result = DC_ERROR_TIMEOUT;
        if (!script.empty()) {
            result = script.front();
            if (!repeatLast || script.size() > 1)
                script.pop_front();
        }
        if (result == DC_ERROR_NONE) {
            *frame = next->record;
            lent = true;
        }
        return result;
    }
    void freeVideo(DC_Video_Frame*) override {
        if (!lent)
            ++violations;
        lent = false;
        ++frees;
    }

    std::deque<DC_Error_Type> script;
    bool repeatLast = false;
    TestFrame* next = nullptr;
    int captures = 0;
    int frees = 0;
    int violations = 0;
    bool lent = false;
};

}  // namespace

class TstPreviewRenderer : public QObject {
    Q_OBJECT

private slots:
    void drawsEachFormatFillingTheWindow_data();
    void drawsEachFormatFillingTheWindow();
    void oddSizesAreDrawnFromTheLargestEvenRectangle();
    void frameLargerThanTheScreenIsScaledDown();
    void recordsThatDoNotHoldTogetherAreNotDrawn();
    void conversionIsSetUpOncePerSizeAndFormat();
    void pullFreesEveryCapturedFrameAndNeverWaits();
    void packedFormatIsCapturedAndFreedButNotDrawn();
    void receiverNotRunningEmitsBothSignals();
    void hiddenWindowDrawsNothing();
    void releaseEndsThePullForGood();
};

void TstPreviewRenderer::drawsEachFormatFillingTheWindow_data() {
    QTest::addColumn<int>("format");
    QTest::addColumn<QSize>("size");
    QTest::newRow("yuv420p") << FrameScaler::kFormatYUV420P << QSize(320, 180);
    QTest::newRow("yuvj420p") << FrameScaler::kFormatYUVJ420P << QSize(320, 240);
    QTest::newRow("yuvj422p") << FrameScaler::kFormatYUVJ422P << QSize(1280, 720);
    QTest::newRow("nv12 HD") << FrameScaler::kFormatNV12 << QSize(1920, 1080);
    QTest::newRow("nv12 odd") << FrameScaler::kFormatNV12 << QSize(321, 181);
}

void TstPreviewRenderer::drawsEachFormatFillingTheWindow() {
    QFETCH(int, format);
    QFETCH(QSize, size);
    PreviewWindow window;
    window.resize(640, 360);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    TestFrame frame(format, size.width(), size.height(),
                    [&](int x, int y) { return quarters(x, y, size.width() & ~1, size.height() & ~1); });
    QVERIFY(window.drawFrame(frame.record));
    QCOMPARE(window.state(), PreviewWindow::State::Picture);
    // The whole window is the picture (the frame's aspect is not kept), read back as painted.
    const QImage painted = window.grab().toImage();
    QCOMPARE(painted.size(), QSize(640, 360) * window.devicePixelRatioF());
    verifyQuarters(painted);
    QVERIFY(near(painted.pixel(2, 2), Qt::red));
    QVERIFY(near(painted.pixel(painted.width() - 3, painted.height() - 3), Qt::white));
}

void TstPreviewRenderer::oddSizesAreDrawnFromTheLargestEvenRectangle() {
    // Black, with a green last column and last row: none of it lies in the 8x6 rectangle.
    for (int format :
         {FrameScaler::kFormatYUVJ420P, FrameScaler::kFormatYUVJ422P, FrameScaler::kFormatNV12}) {
        PreviewWindow window;
        window.resize(160, 120);
        window.show();
        TestFrame frame(format, 9, 7,
                        [](int x, int y) { return x == 8 || y == 6 ? QColor(0, 255, 0) : QColor(0, 0, 0); });
        QVERIFY(window.drawFrame(frame.record));
        const QImage& picture = window.picture();
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                QVERIFY2(qGreen(picture.pixel(x, y)) < 60,
                         qPrintable(QStringLiteral("format %1 at %2,%3").arg(format).arg(x).arg(y)));
    }
}

void TstPreviewRenderer::frameLargerThanTheScreenIsScaledDown() {
    // Larger than 3840x2160 in both directions; drawn whole, scaled to the window.
    PreviewWindow window;
    window.resize(640, 360);
    window.show();
    TestFrame frame(FrameScaler::kFormatYUV420P, 4096, 2304,
                    [](int x, int y) { return quarters(x, y, 4096, 2304); });
    QVERIFY(window.drawFrame(frame.record));
    verifyQuarters(window.picture());
}

void TstPreviewRenderer::recordsThatDoNotHoldTogetherAreNotDrawn() {
    PreviewWindow window;
    window.resize(64, 36);
    window.show();
    TestFrame good(FrameScaler::kFormatYUV420P, 32, 18, [](int, int) { return QColor(255, 0, 0); });
    QVERIFY(window.drawFrame(good.record));
    const QImage before = window.picture().copy();

    const std::vector<std::pair<const char*, std::function<void(DC_Video_Frame&)>>> breakages = {
        {"no chroma plane", [](DC_Video_Frame& f) { f.data[2] = nullptr; }},
        {"luma rows shorter than the width", [](DC_Video_Frame& f) { f.linesize[0] = f.width - 2; }},
        {"chroma rows too short", [](DC_Video_Frame& f) { f.linesize[1] = 3; }},
        {"negative stride", [](DC_Video_Frame& f) { f.linesize[0] = -f.linesize[0]; }},
        {"zero width", [](DC_Video_Frame& f) { f.width = 0; }},
        {"one row", [](DC_Video_Frame& f) { f.height = 1; }},
        {"negative height", [](DC_Video_Frame& f) { f.height = -18; }},
        {"absurd size", [](DC_Video_Frame& f) { f.width = 1 << 20; }},
        {"packed 4:2:2", [](DC_Video_Frame& f) { f.format = 1; }},
        {"RGB", [](DC_Video_Frame& f) { f.format = 2; }},
        {"hardware surface", [](DC_Video_Frame& f) { f.format = 53; }},
        {"negative format", [](DC_Video_Frame& f) { f.format = -1; }},
    };
    for (const auto& [what, breakIt] : breakages) {
        DC_Video_Frame broken = good.record;
        breakIt(broken);
        QVERIFY2(!window.drawFrame(broken), what);
        QVERIFY2(FrameScaler::drawnSize(broken).isEmpty(), what);
    }
    QCOMPARE(window.picture(), before);
}

void TstPreviewRenderer::conversionIsSetUpOncePerSizeAndFormat() {
    PreviewWindow window;
    window.resize(640, 360);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    TestFrame frame(FrameScaler::kFormatYUVJ422P, 320, 180,
                    [](int x, int y) { return quarters(x, y, 320, 180); });
    QVERIFY(window.drawFrame(frame.record));
    const uchar* pixels = window.picture().constBits();
    for (int i = 0; i < 5; ++i) {
        QVERIFY(window.drawFrame(frame.record));
        QApplication::processEvents();  // painted in between: the picture is not copied
    }
    QCOMPARE(window.scaler().contextBuilds(), 1);
    QCOMPARE(window.picture().constBits(), pixels);

    TestFrame other(FrameScaler::kFormatNV12, 320, 180,
                    [](int x, int y) { return quarters(x, y, 320, 180); });
    QVERIFY(window.drawFrame(other.record));
    QCOMPARE(window.scaler().contextBuilds(), 2);
    window.resize(400, 300);
    QVERIFY(window.drawFrame(other.record));
    QCOMPARE(window.scaler().contextBuilds(), 3);
    QCOMPARE(window.picture().size(), QSize(400, 300) * window.devicePixelRatioF());
    verifyQuarters(window.picture());
}

void TstPreviewRenderer::pullFreesEveryCapturedFrameAndNeverWaits() {
    PreviewWindow window;
    window.resize(320, 180);
    window.show();
    window.setState(PreviewWindow::State::Connecting);
    TestFrame frame(FrameScaler::kFormatYUVJ420P, 64, 36,
                    [](int x, int y) { return quarters(x, y, 64, 36); });
    ScriptedSource source;
    source.next = &frame;
    for (int i = 0; i < 20; ++i) {
        source.script.push_back(i % 3 == 0 ? DC_ERROR_NONE : DC_ERROR_TIMEOUT);
    }
    PreviewRenderer renderer(nullptr, &window);
    renderer.setFrameSource(&source);
    QVERIFY(!renderer.isPulling());
    renderer.start();
    QVERIFY(renderer.isPulling());
    QTRY_VERIFY(source.captures >= 25);
    renderer.stop();
    QVERIFY(!renderer.isPulling());
    QCOMPARE(source.violations, 0);
    QVERIFY(!source.lent);
    QCOMPARE(source.frees, 7);
    QCOMPARE(window.state(), PreviewWindow::State::Picture);
    verifyQuarters(window.picture());
}

void TstPreviewRenderer::packedFormatIsCapturedAndFreedButNotDrawn() {
    PreviewWindow window;
    window.resize(320, 180);
    window.show();
    window.setState(PreviewWindow::State::Connecting);
    TestFrame frame(FrameScaler::kFormatYUV420P, 64, 36, [](int, int) { return QColor(255, 0, 0); });
    frame.record.format = 1;  // YUYV, as a raw capture format would deliver it
    ScriptedSource source;
    source.next = &frame;
    source.script = {DC_ERROR_NONE, DC_ERROR_NONE};
    PreviewRenderer renderer(nullptr, &window);
    renderer.setFrameSource(&source);
    renderer.refleshVideo_QuillonThreadRender();
    renderer.refleshVideo_QuillonThreadRender();
    QCOMPARE(source.captures, 2);
    QCOMPARE(source.frees, 2);
    QCOMPARE(source.violations, 0);
    QCOMPARE(window.state(), PreviewWindow::State::Connecting);
    QCOMPARE(window.scaler().contextBuilds(), 0);
}

void TstPreviewRenderer::receiverNotRunningEmitsBothSignals() {
    PreviewWindow window;
    window.resize(320, 180);
    window.show();
    window.setState(PreviewWindow::State::Connecting);
    ScriptedSource source;
    source.script = {DC_ERROR_TIMEOUT, DC_ERROR_NOT_RUNNING, DC_ERROR_NOT_RUNNING};
    PreviewRenderer renderer(nullptr, &window);
    renderer.setFrameSource(&source);
    QSignalSpy stopPreview(&renderer, &PreviewRenderer::signal_stopPreview_4K);
    QSignalSpy stopRecord(&renderer, &PreviewRenderer::signal_StopRecordAndTimeLapse);

    renderer.refleshVideo_QuillonThreadRender();
    QCOMPARE(renderer.lastResult(), DC_ERROR_TIMEOUT);
    QCOMPARE(stopPreview.count(), 0);
    QCOMPARE(window.state(), PreviewWindow::State::Connecting);
    renderer.refleshVideo_QuillonThreadRender();
    renderer.refleshVideo_QuillonThreadRender();
    QCOMPARE(renderer.lastResult(), DC_ERROR_NOT_RUNNING);
    QCOMPARE(stopPreview.count(), 2);
    QCOMPARE(stopRecord.count(), 2);
    QCOMPARE(source.frees, 0);
    // The user is told instead of being left with "Connecting…".
    QCOMPARE(window.state(), PreviewWindow::State::NoPicture);
    QVERIFY(!PreviewWindow::stateText(window.state()).isEmpty());
}

void TstPreviewRenderer::hiddenWindowDrawsNothing() {
    PreviewWindow window;
    window.resize(320, 180);  // never shown: a minimised panel
    TestFrame frame(FrameScaler::kFormatYUV420P, 64, 36, [](int, int) { return QColor(255, 0, 0); });
    ScriptedSource source;
    source.next = &frame;
    source.script = {DC_ERROR_NONE};
    PreviewRenderer renderer(nullptr, &window);
    renderer.setFrameSource(&source);
    renderer.refleshVideo_QuillonThreadRender();
    QCOMPARE(source.frees, 1);
    QCOMPARE(window.scaler().contextBuilds(), 0);
}

void TstPreviewRenderer::releaseEndsThePullForGood() {
    ScriptedSource source;
    PreviewRenderer renderer(nullptr, nullptr);
    renderer.setFrameSource(&source);
    renderer.start();
    QTRY_VERIFY(source.captures >= 1);
    renderer.release(nullptr);
    QVERIFY(!renderer.isPulling());
    renderer.start();
    QVERIFY(!renderer.isPulling());
    const int captured = source.captures;
    renderer.refleshVideo_QuillonThreadRender();
    QCOMPARE(source.captures, captured);
}

QTEST_MAIN(TstPreviewRenderer)
#include "tst_PreviewRenderer.moc"
