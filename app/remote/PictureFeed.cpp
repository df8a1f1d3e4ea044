#include "PictureFeed.h"

#include <QElapsedTimer>

#include "ControlApiProtocol.h"
#include "vexsdk.h"

namespace {

// At most kMaxPicturesPerSecond pictures in any second, and no two closer than three
// quarters of their even spacing: a 30 fps camera gives every other frame, 15 a second, though
// the pump's pull moves each frame by up to 10 ms.
constexpr qint64 kSecondUs = 1000000;
constexpr qint64 kLeastGapUs = kSecondUs * 3 / (4 * ControlApi::kMaxPicturesPerSecond);

qint64 steadyUs() {
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.nsecsElapsed() / 1000;
}

}  // namespace

PictureFeed::PictureFeed(Deliver deliver, QObject* parent)
    : QObject(parent), _deliver(std::move(deliver)), _clock(steadyUs) {}

PictureFeed::~PictureFeed() {
    if (_pump && _attached)
        _pump->removeConsumer(this);
}

void PictureFeed::setPump(FramePump* pump) {
    if (pump == _pump && (_attached || _widths.isEmpty()))
        return;
    if (_pump && _attached)
        _pump->removeConsumer(this);
    _attached = false;
    _pump = pump;
    attach();
}

void PictureFeed::setWidths(const QList<int>& widths) {
    _widths = widths;
    for (auto it = _encoders.begin(); it != _encoders.end();)
        it = widths.contains(it->first) ? std::next(it) : _encoders.erase(it);
    if (_widths.isEmpty() && _pump && _attached) {
        _pump->removeConsumer(this);
        _attached = false;
    }
    attach();
}

void PictureFeed::attach() {
    if (_attached || !_pump || _widths.isEmpty())
        return;
    _attached = true;
    _pump->addConsumer(this);
}

void PictureFeed::consumeFrame(const DC_Video_Frame& frame) {
    const qint64 nowUs = _clock();
    if (_widths.isEmpty())
        return;
    if (!_madeUs.empty() && nowUs - _madeUs.back() < kLeastGapUs)
        return;
    if (_madeUs.size() >= static_cast<size_t>(ControlApi::kMaxPicturesPerSecond) &&
        nowUs - _madeUs.front() < kSecondUs)
        return;
    _madeUs.push_back(nowUs);
    if (_madeUs.size() > static_cast<size_t>(ControlApi::kMaxPicturesPerSecond))
        _madeUs.pop_front();
    QByteArray own;
    bool ownTaken = false;
    const QList<int> widths = _widths;
    for (int width : widths) {
        QByteArray jpeg;
        if (frame.width <= width && _cameraJpeg) {
            // Taken once per frame: each of the receiver's JPEGs is handed out once.
            if (!ownTaken) {
                own = _cameraJpeg();
                ownTaken = true;
            }
            jpeg = own;
            if (!jpeg.isEmpty())
                ++_cameraJpegs;
        }
        if (jpeg.isEmpty()) {
            std::unique_ptr<PictureEncoder>& encoder = _encoders[width];
            if (!encoder)
                encoder = std::make_unique<PictureEncoder>();
            jpeg = encoder->encode(frame, width);
            if (!jpeg.isEmpty())
                ++_encoded;
        }
        if (!jpeg.isEmpty())
            _deliver(width, jpeg);
    }
}
