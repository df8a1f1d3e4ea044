#pragma once

#include <atomic>
#include <string>

// A recorder writes what a running receiver receives into one file, on the record thread.
//
// Threading: init() runs on the receiver's start/stop thread before the record thread starts;
// run() is the record thread; requestStop() comes from the start/stop thread while run() runs;
// close() and the destructor run on the start/stop thread after the record thread was joined.
// The recording queues are the only data shared with other threads.
class KXRecorder {
public:
    virtual ~KXRecorder() = default;

    // Opens folder + "/" + fileName (the container named by the file's extension) and writes
    // its header: 0, or -1 with the reason logged.
    virtual int init(const char* folder, const char* fileName) = 0;

    // Records until requestStop(); then writes what is already queued and the trailer.
    // 0, or a negative libav error when the file could not be written (the recording ends
    // there; what was written so far is finalised).
    virtual int run() = 0;

    // Finalises the file (trailer, when run() did not write it) and releases it: 0, or the
    // first error met while finalising. Safe to call twice; the destructor calls it.
    virtual int close() = 0;

    // Asks run() to finish: what the queues hold at that moment is still written, so that
    // stopping a recording does not cut off its last packets.
    void requestStop() { _stopRequested.store(true, std::memory_order_release); }

    // folder + "/" + fileName; empty when either is missing.
    static std::string recordingPath(const char* folder, const char* fileName);

protected:
    bool stopRequested() const { return _stopRequested.load(std::memory_order_acquire); }

private:
    std::atomic<bool> _stopRequested{false};
};

// Runs the recorder's loop on the record thread; a negative result is logged as
// "There is an error(code:%d) in recordInThread.\n" and handed back.
int recordInThread(KXRecorder* recorder);
