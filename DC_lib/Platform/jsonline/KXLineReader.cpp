#include "KXLineReader.h"

void KXLineReader::feed(std::string_view bytes) {
    if (!_broken) {
        _buffer.append(bytes);
    }
}

KXLineReader::Result KXLineReader::next(std::string& line) {
    if (_broken) {
        return Result::TooLong;
    }
    // Only the bytes not searched before are searched: a long line arriving in many small
    // pieces costs its length once, not once per piece.
    const std::size_t end = _buffer.find('\n', _start + _scanned);
    if (end == std::string::npos) {
        _scanned = _buffer.size() - _start;
        if (_scanned > _maxLineBytes) {
            _broken = true;
            _buffer.clear();
            _buffer.shrink_to_fit();
            _start = _scanned = 0;
            return Result::TooLong;
        }
        // Moving the partial line to the front once per receive keeps taking lines linear.
        _buffer.erase(0, _start);
        _start = 0;
        return Result::NeedMore;
    }
    if (end - _start > _maxLineBytes) {
        _broken = true;
        _buffer.clear();
        _buffer.shrink_to_fit();
        _start = _scanned = 0;
        return Result::TooLong;
    }
    std::size_t length = end - _start;
    if (length > 0 && _buffer[end - 1] == '\r') {
        --length;
    }
    line.assign(_buffer, _start, length);
    _start = end + 1;
    _scanned = 0;
    return Result::Line;
}
