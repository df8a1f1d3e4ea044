#pragma once

// The stream reader: reads compressed packets from the opened input(s) on the read thread and
// distributes them to the packet queues.
class KXIReceiver {
public:
    virtual ~KXIReceiver() = default;

    // Asks the read loop to end after the current packet; always true.
    virtual bool stop() = 0;
    // The read loop: 0 when stopped, AVERROR_EOF at end of stream, -1 on an I/O error.
    virtual int run() = 0;
    // True while no stop was asked (and the loop has not ended by itself).
    virtual bool isRunning() const = 0;
    // While paused every packet read is dropped, recording copies included.
    virtual void setPause(bool paused) = 0;
};
