#include "PreviewWindow.h"

#include <QFont>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>

#include <cmath>

#include "vexsdk.h"

namespace {
const QColor kGround(0x2D, 0x33, 0x36);
const QColor kText(0xf0, 0xf0, 0xf0);
}  // namespace

PreviewWindow::PreviewWindow(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("preview_window"));
    // Every pixel is painted each time: Qt need not clear the ground first.
    setAttribute(Qt::WA_OpaquePaintEvent, true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

QString PreviewWindow::stateText(State state) {
    switch (state) {
        case State::Connecting:
            return tr("Connecting…");
        case State::NoPicture:
            return tr("No picture from the camera");
        case State::Busy:
            return tr("Another program is using this camera's picture.");
        case State::NoPermission:
            return tr("This user may not open the camera's picture.");
        case State::Blank:
        case State::Picture:
            break;
    }
    return QString();
}

void PreviewWindow::setState(State state) {
    if (_state == state)
        return;
    _state = state;
    // What the picture area says is painted, not a label: a screen reader hears it as the
    // area's name.
    setAccessibleName(stateText(state));
    update();
}

void PreviewWindow::ensurePicture() {
    const qreal ratio = devicePixelRatioF();
    const QSize pixels(static_cast<int>(std::lround(width() * ratio)),
                       static_cast<int>(std::lround(height() * ratio)));
    if (_picture.size() == pixels)
        return;
    if (pixels.isEmpty()) {
        _picture = QImage();
        return;
    }
    _picture = QImage(pixels, QImage::Format_RGB32);
    _picture.setDevicePixelRatio(ratio);
}

bool PreviewWindow::drawFrame(const DC_Video_Frame& frame) {
    ensurePicture();
    if (_picture.isNull() || !_scaler.scale(frame, _picture))
        return false;
    if (_state != State::Picture) {
        _state = State::Picture;
        setAccessibleName(QString());
    }
    update();
    return true;
}

void PreviewWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    ensurePicture();
    // The old picture does not fit any more; the next frame fills the new one.
    if (_state == State::Picture)
        _picture.fill(kGround);
}

void PreviewWindow::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    if (_state == State::Picture && !_picture.isNull()) {
        painter.drawImage(QPointF(0, 0), _picture);
        painter.end();
        emit signal_picturePainted();
        return;
    }
    painter.fillRect(event->rect(), kGround);
    const QString text = stateText(_state);
    if (!text.isEmpty()) {
        QFont font(QStringLiteral("Arial"));
        font.setPixelSize(16);
        painter.setFont(font);
        painter.setPen(kText);
        painter.drawText(rect(), Qt::AlignCenter, text);
    }
}
