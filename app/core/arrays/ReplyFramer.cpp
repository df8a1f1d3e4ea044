#include "ReplyFramer.h"

ReplyFramer::ReplyFramer(std::string_view terminators) : _terminators(terminators) {}

std::string ReplyFramer::take(std::string_view chunk) {
    if (_skipToTerminator) {
        const std::size_t first = chunk.find_first_of(_terminators);
        if (first == std::string_view::npos)
            return {};
        chunk.remove_prefix(first + 1);
        _skipToTerminator = false;
    }

    const std::size_t last = chunk.find_last_of(_terminators);
    std::string complete;
    if (last != std::string_view::npos) {
        complete.reserve(_pending.size() + last + 1);
        complete.append(_pending);
        complete.append(chunk.substr(0, last + 1));
        _pending.assign(chunk.substr(last + 1));
    } else {
        _pending.append(chunk);
    }

    if (_pending.size() > kMaxPending) {
        _pending.clear();
        _pending.shrink_to_fit();
        _skipToTerminator = true;
        ++_droppedCount;
    }
    return complete;
}

void ReplyFramer::clear() {
    _pending.clear();
    _skipToTerminator = false;
}
