#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Cuts a byte stream into whole JSON documents. An array may answer each request on one line
// or spread it over several (indented, the way the requests themselves are written), so a
// line end does not end a reply: a document is whole when its braces balance. Braces inside
// strings (escapes respected) do not count.
//
// Between documents, white space (line ends included) is skipped; any other text outside a
// document is skipped up to the next line end, so a stray word or a lone "}" cannot start a
// false document. A document that grows past kMaxDocument is dropped with the rest of its
// line, so garbage that never balances cannot hold memory or swallow the replies after it
// for longer than that.
class JsonDocumentFramer {
public:
    static constexpr std::size_t kMaxDocument = 64 * 1024;

    // Returns the documents this chunk completes, in order.
    std::vector<std::string> take(std::string_view chunk);

    void clear();
    // Bytes of the document being collected.
    std::size_t pendingSize() const { return _document.size(); }
    // How many documents were dropped for growing past kMaxDocument.
    std::size_t droppedCount() const { return _droppedCount; }

private:
    enum class State { BetweenDocuments, InDocument, SkippingLine };

    void startDocument();
    void dropDocument(char last);

    State _state = State::BetweenDocuments;
    std::string _document;
    std::size_t _depth = 0;  // open braces of the document being collected
    bool _inString = false;
    bool _escaped = false;  // the previous character in a string was a backslash
    std::size_t _droppedCount = 0;
};
