#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

// Where the program picture goes: one whole frame per write, packed YUYV (4:2:2, two bytes a
// pixel, width * height * 2 bytes), at the size given to open(). The loopback device for the
// meeting program, a file or a pipe for tests and for recording what the far end saw.
//
// Threading: open() and close() on the thread that owns the output (the interface thread),
// never while the pacer runs; write() on the pacer's thread only.
class ProgramSink {
public:
    virtual ~ProgramSink() = default;
    // Makes the sink take frames of this size and rate; false with a sentence for a person.
    virtual bool open(int width, int height, int frameRate, QString* error) = 0;
    // Writes one frame; false with the reason when it could not (the frame is lost, the next
    // one is tried again).
    virtual bool write(const std::uint8_t* data, std::size_t size, QString* error) = 0;
    // Safe to call twice and without open().
    virtual void close() = 0;
};
