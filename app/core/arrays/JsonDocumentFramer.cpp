#include "JsonDocumentFramer.h"

namespace {

bool isLineEnd(char c) {
    return c == '\n' || c == '\r';
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\f' || c == '\v' || isLineEnd(c);
}

}  // namespace

std::vector<std::string> JsonDocumentFramer::take(std::string_view chunk) {
    std::vector<std::string> documents;
    for (const char c : chunk) {
        switch (_state) {
            case State::BetweenDocuments:
                if (c == '{') {
                    startDocument();
                } else if (!isSpace(c)) {
                    _state = State::SkippingLine;
                }
                break;
            case State::SkippingLine:
                if (isLineEnd(c))
                    _state = State::BetweenDocuments;
                break;
            case State::InDocument:
                _document.push_back(c);
                if (_inString) {
                    if (_escaped) {
                        _escaped = false;
                    } else if (c == '\\') {
                        _escaped = true;
                    } else if (c == '"') {
                        _inString = false;
                    }
                } else if (c == '"') {
                    _inString = true;
                } else if (c == '{') {
                    ++_depth;
                } else if (c == '}' && --_depth == 0) {
                    documents.push_back(std::move(_document));
                    _document.clear();
                    _state = State::BetweenDocuments;
                    break;
                }
                if (_document.size() > kMaxDocument)
                    dropDocument(c);
                break;
        }
    }
    return documents;
}

void JsonDocumentFramer::startDocument() {
    _state = State::InDocument;
    _document.assign(1, '{');
    _depth = 1;
    _inString = false;
    _escaped = false;
}

void JsonDocumentFramer::dropDocument(char last) {
    _document.clear();
    _document.shrink_to_fit();
    _depth = 0;
    _inString = false;
    _escaped = false;
    ++_droppedCount;
    _state = isLineEnd(last) ? State::BetweenDocuments : State::SkippingLine;
}

void JsonDocumentFramer::clear() {
    _document.clear();
    _depth = 0;
    _inString = false;
    _escaped = false;
    _state = State::BetweenDocuments;
}
