#pragma once

// Splits a byte stream into "\n"-ended lines (a "\r" just before the "\n" is dropped) without
// trusting the peer: a line may arrive in any number of pieces, and a line longer than the
// bound breaks the reader for good instead of growing memory, so an endless line ends the
// stream that carries it.
//
// Usage: feed() what one receive delivered, then next() until it says NeedMore. Used that
// way the reader never holds more than the bound plus one receive.
//
// Threading: one thread at a time.

#include <cstddef>
#include <string>
#include <string_view>

class KXLineReader {
public:
    enum class Result {
        Line,      // `line` holds the next line, without its line end
        NeedMore,  // no complete line yet
        TooLong,   // a line exceeds the bound; the reader is broken and takes nothing more
    };

    explicit KXLineReader(std::size_t maxLineBytes) : _maxLineBytes(maxLineBytes) {}

    // Appends received bytes (dropped once the reader is broken).
    void feed(std::string_view bytes);
    Result next(std::string& line);

    bool broken() const { return _broken; }
    // Bytes received and not yet handed out as lines.
    std::size_t pendingBytes() const { return _buffer.size() - _start; }
    std::size_t maxLineBytes() const { return _maxLineBytes; }

private:
    const std::size_t _maxLineBytes;
    std::string _buffer;
    std::size_t _start = 0;    // first byte of _buffer not handed out yet
    std::size_t _scanned = 0;  // bytes from _start known to hold no "\n"
    bool _broken = false;
};
