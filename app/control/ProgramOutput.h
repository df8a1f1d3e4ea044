#pragma once

#include <QHash>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "FramePump.h"
#include "ProgramFrameConverter.h"
#include "ProgramSettings.h"

class ProgramSink;

// The program picture: the live camera's frames, converted and scaled into the output's size
// and format, written to a sink by a pacer that keeps the output's own clock.
//
//  - Every connected camera gets a FrameConsumer (input()) to attach to its frame pump. Only
//    the live camera's frames are converted, into one reused buffer, and handed to the pacer
//    by swapping buffers: nothing is allocated per frame and the lock is held for a swap.
//  - The pacer writes one frame every 1/FrameRate s, on slots counted from its start (no
//    drift). A camera that is late gets its last picture repeated; a pacer woken late by
//    more than a slot skips the slots it missed rather than writing them in a burst. Before
//    the first picture the program is black. The writer never waits for a camera.
//  - A cut (setSource) takes effect on a frame boundary: the frames written after it are
//    the old picture, repeated, until the new camera's first frame converted after the cut,
//    then only the new camera's. Never a frame of the new camera from before the cut.
//  - A freeze holds the last picture written; frames that arrive during it are not
//    converted, and the first picture after it is one taken after it ended (never one from
//    the move).
//
// Threading: configure(), start(), stop(), setSource(), setFrozen(), input() and the inputs'
// consumeFrame() are called on the interface thread (where the frame pumps run). The pacer
// runs on its own thread after start(); tests without start() call tick() on their thread
// instead. The hand-over is the buffer swap under _mutex; the sink is written only by the
// pacer, opened and closed only while no pacer runs.
class ProgramOutput {
public:
    // Microseconds of a monotonic clock.
    using Clock = std::function<std::int64_t()>;

    // `sink`: owned.
    explicit ProgramOutput(std::unique_ptr<ProgramSink> sink);
    ~ProgramOutput();
    ProgramOutput(const ProgramOutput&) = delete;
    ProgramOutput& operator=(const ProgramOutput&) = delete;

    // Takes the size and rate and opens the sink (closing a pacer and sink that ran before);
    // false with the sink's sentence.
    bool configure(const ProgramSettings& settings, QString* error);
    // configure(), then the pacer thread on `clock` (a steady clock when empty).
    bool start(const ProgramSettings& settings, QString* error, Clock clock = Clock());
    // abort → wake → join → close the sink. Safe to call twice.
    void stop();
    bool isRunning() const { return _thread.joinable(); }

    // The live camera (a location identity; empty: black).
    void setSource(const QString& camera);
    void setFrozen(bool frozen);

    // The consumer to attach to `camera`'s frame pump; owned by the output, alive until
    // removeInput() (detach it from the pump first).
    FrameConsumer* input(const QString& camera);
    void removeInput(const QString& camera);
    // What an input hands in: converted when `camera` is live and the program not frozen.
    void consumeFrame(const QString& camera, const DC_Video_Frame& frame);

    // Writes the frame due at `nowUs`, if one is; returns when the next one is due.
    std::int64_t tick(std::int64_t nowUs);

    struct Stats {
        std::int64_t written = 0;    // frames written to the sink
        std::int64_t repeated = 0;   // of them, the picture written before once more
        std::int64_t skipped = 0;    // slots the pacer woke too late for
        std::int64_t failed = 0;     // writes the sink refused
        std::int64_t converted = 0;  // camera frames converted
        QString lastError;           // the sink's last refusal
    };
    Stats stats() const;
    std::size_t frameBytes() const { return _frameBytes; }

private:
    class Input;

    void run(Clock clock);

    std::unique_ptr<ProgramSink> _sink;              // written by the pacer only while it runs
    ProgramFrameConverter _converter;                // interface thread
    QHash<QString, std::shared_ptr<Input>> _inputs;  // interface thread
    int _width = 0;                                  // immutable while the pacer runs
    int _height = 0;                                 // immutable while the pacer runs
    int _frameRate = 30;                             // immutable while the pacer runs
    std::size_t _frameBytes = 0;                     // immutable while the pacer runs
    std::vector<std::uint8_t> _staging;              // interface thread: the frame being converted
    std::vector<std::uint8_t> _shown;                // pacer: the picture written last

    mutable std::mutex _mutex;
    std::condition_variable _wake;
    std::vector<std::uint8_t> _latest;  // guarded by _mutex: the newest converted picture
    bool _latestFresh = false;          // guarded by _mutex: _latest not written yet
    QString _source;                    // guarded by _mutex
    bool _frozen = false;               // guarded by _mutex
    // guarded by _mutex: counts cuts and freezes, so a conversion that began before one is
    // not handed over after it.
    std::uint64_t _generation = 0;
    bool _abort = false;  // guarded by _mutex
    Stats _stats;         // guarded by _mutex

    // Pacer only (or the thread calling tick()).
    std::int64_t _startUs = -1;
    std::int64_t _slot = 0;
    std::int64_t _nextDueUs = 0;

    std::thread _thread;  // interface thread starts and joins it
};
