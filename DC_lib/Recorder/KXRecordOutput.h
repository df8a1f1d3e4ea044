#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

// The file of one recording, written through libavformat in the container that the file's
// extension names.
//
// MP4 and MOV are written fragmented (a fragment at every video key frame and at least one a
// second): a plain MP4 keeps its index in a trailer written at the very end, so a recording
// cut off by a crash or a power loss would be unplayable as a whole; fragmented, it stays
// playable up to its last second. Packets are flushed to the file as they are written, so
// what the muxer has finished is on disk and not in a buffer of this process. Other
// containers (Matroska, MPEG-TS, ...) are written as they are. The trailer is still written
// at the end.
//
// Threading: one thread at a time (created and opened on the receiver's start/stop thread,
// written on the record thread, finished by whichever of them ends the recording).
class KXRecordOutput {
public:
    KXRecordOutput() = default;
    ~KXRecordOutput();
    KXRecordOutput(const KXRecordOutput&) = delete;
    KXRecordOutput& operator=(const KXRecordOutput&) = delete;

    // Allocates the output for `path`, its container guessed from the extension. false, with
    // the reason logged, when that fails.
    bool create(const std::string& path);
    AVFormatContext* context() const { return _context; }
    const std::string& path() const { return _path; }

    // True when the container keeps codec headers out of the packets (MP4, MOV, Matroska,
    // FLV, ...): encoders must then put them into the stream parameters.
    bool wantsGlobalHeader() const;

    // Opens the file and writes the header. false, with the reason logged, on failure.
    bool begin();

    // Writes one packet whose stream index and timestamps are the output stream's.
    //  0: written;
    //  1: the muxer refused this packet (its timestamps); it is left out and the file is fine;
    //  negative: the file cannot be written (an I/O error); nothing more is written after it.
    int write(AVPacket* packet);

    // The first error that ended writing (0 while none).
    int writeError() const { return _writeError; }

    // Writes the trailer (once, when the header was written), closes the file and frees the
    // output: 0, or the first error met doing so. Safe to call twice.
    int finish();

private:
    AVFormatContext* _context = nullptr;  // owned
    std::string _path;
    bool _headerWritten = false;
    int _writeError = 0;
};

// Keeps one stream's timestamps moving forward. A camera that restarted its clock, a stream
// that jumped back, or a recording that goes on across a stop and start of the preview
// (whose new stream starts again at 0) gives timestamps that are not after the previous ones;
// a muxer refuses those, and the recording would lose everything from there on. Such a jump
// shifts this and every later timestamp so that the timeline goes on `step` after the last
// one; timestamps that move forward are left as they are (plus the shift so far).
class KXForwardTimeline {
public:
    // The shifted value of `value` (AV_NOPTS_VALUE stays so).
    int64_t next(int64_t value, int64_t step);
    int64_t shift() const { return _shift; }

private:
    int64_t _shift = 0;
    int64_t _last = AV_NOPTS_VALUE;
};

// Text of a libav error code.
std::string KXErrorText(int code);
