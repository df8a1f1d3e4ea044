#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

#include "FrameScaler.h"

struct DC_Video_Frame;

// The surface the live picture is drawn on: the panel puts one into the preview area while a
// preview runs. Each captured frame is converted and scaled into the picture, an image of the
// surface's own pixel size, and painted 1:1 with QPainter. The picture is reallocated only
// when the surface changes size.
//
// Before the first frame (and when the camera stops delivering) the surface shows a line of
// text on a dark ground instead.
//
// Threading: interface thread only.
class PreviewWindow : public QWidget {
    Q_OBJECT

public:
    enum class State {
        Blank,         // nothing yet
        Connecting,    // the stream is being opened
        Picture,       // the last frame drawn
        NoPicture,     // the receiver delivers no frames (it stopped, or the stream did not open)
        Busy,          // another program streams the camera; the open is tried again
        NoPermission,  // this user may not open the camera's capture device
    };

    explicit PreviewWindow(QWidget* parent = nullptr);

    State state() const { return _state; }
    void setState(State state);
    // The text shown in a state without a picture (empty for Blank and Picture).
    static QString stateText(State state);

    // Draws one captured frame (its planes are read here and not after the call): converts it
    // into the picture and schedules a paint. False when the frame is not drawn (its format
    // is not one the preview draws, or the record does not hold together).
    bool drawFrame(const DC_Video_Frame& frame);

    // The converted picture, in device pixels (tests, benchmark).
    const QImage& picture() const { return _picture; }
    const FrameScaler& scaler() const { return _scaler; }

signals:
    // A paint that showed the picture has finished (benchmark: when a frame reached the
    // screen's buffer).
    void signal_picturePainted();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void ensurePicture();

    FrameScaler _scaler;
    QImage _picture;  // Format_RGB32, the surface's size in device pixels
    State _state = State::Blank;
};
