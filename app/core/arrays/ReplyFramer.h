#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// TCP delivers bytes, not replies: a reply may arrive split over two reads. The framer keeps
// what follows the last reply terminator of a read and puts it in front of the next read, so
// only whole replies reach a parser.
//
// The kept fragment is bounded: when it grows past kMaxPending it is dropped, and the bytes
// up to the next terminator (the rest of the dropped reply) are skipped as well, so the
// tail of a reply is never parsed as if it were a whole one.
class ReplyFramer {
public:
    static constexpr std::size_t kMaxPending = 64 * 1024;

    // Every character of `terminators` ends a reply (">" or "\r\n" for any line end).
    explicit ReplyFramer(std::string_view terminators);

    // Returns the complete replies of the kept fragment followed by `chunk` (everything up to
    // and including the last terminator), or an empty string when none is complete yet.
    std::string take(std::string_view chunk);

    void clear();
    std::size_t pendingSize() const { return _pending.size(); }
    // How many times a fragment was dropped for growing past kMaxPending.
    std::size_t droppedCount() const { return _droppedCount; }

private:
    std::string _terminators;
    std::string _pending;
    bool _skipToTerminator = false;
    std::size_t _droppedCount = 0;
};
