#pragma once

#include <QByteArray>
#include <QList>
#include <QPointer>

#include <deque>
#include <functional>
#include <map>
#include <memory>

#include "FramePump.h"
#include "PictureEncoder.h"

// One camera's pictures for the control interface's clients: a consumer of the camera's
// frame pump that, at most kMaxPicturesPerSecond times in any second, turns the frame at hand into
// a JPEG for each width the clients asked for. Each width's JPEG is made once and handed to
// every client of that width. A frame no wider than the width asked goes as the camera's own
// JPEG when the receiver has one at hand (no encoding at all), else it is encoded here.
//
// The feed is attached to its pump only while some width is wanted, so a camera nobody
// watches in a browser is not streamed for it.
//
// Threading: interface thread only (the pump calls it there).
class PictureFeed : public QObject, public FrameConsumer {
public:
    // (width, JPEG): one picture for the clients of that width.
    using Deliver = std::function<void(int width, const QByteArray& jpeg)>;
    // The camera's own newest JPEG not yet handed out; empty when there is none.
    using CameraJpeg = std::function<QByteArray()>;
    // Microseconds of a steady clock (the tests set their own).
    using Clock = std::function<qint64()>;

    explicit PictureFeed(Deliver deliver, QObject* parent = nullptr);
    ~PictureFeed() override;

    void setCameraJpeg(CameraJpeg source) { _cameraJpeg = std::move(source); }
    void setClock(Clock clock) { _clock = std::move(clock); }

    // The pump to take frames from (null: none); attached while any width is wanted.
    void setPump(FramePump* pump);
    FramePump* pump() const { return _pump; }
    // The widths wanted now; empty: none (the feed leaves its pump).
    void setWidths(const QList<int>& widths);
    QList<int> widths() const { return _widths; }

    void consumeFrame(const DC_Video_Frame& frame) override;

    // How many JPEGs were encoded here, and how many were the camera's own (tests, diagnostics).
    int encodedCount() const { return _encoded; }
    int cameraJpegCount() const { return _cameraJpegs; }

private:
    void attach();

    Deliver _deliver;
    CameraJpeg _cameraJpeg;
    Clock _clock;
    QPointer<FramePump> _pump;  // not owned; null once it is gone
    bool _attached = false;
    QList<int> _widths;
    std::map<int, std::unique_ptr<PictureEncoder>> _encoders;  // one per width wanted
    // When the last kMaxPicturesPerSecond pictures were made (the clock's), oldest first.
    std::deque<qint64> _madeUs;
    int _encoded = 0;
    int _cameraJpegs = 0;
};
