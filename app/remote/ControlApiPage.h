#pragma once

#include <QByteArray>
#include <QString>

struct HttpRequest;

// The control interface's own page: its files, built into the program as resources (no
// fetch at run time), and the whole answer to a plain HTTP request for them. The server has
// read the head and judged its Host before it asks; this decides what is served.
//
// Every answer closes its connection (one request per connection: nothing is read after a
// head, so no body can be taken for a second request) and carries the headers that keep the
// page from being framed, sniffed or fed scripts from anywhere but itself.
//
// Threading: none of its own; the files are read on first use and kept (interface thread).
class ControlApiPage {
public:
    // GET (and HEAD) of a served file: 200; a path that is none: 404; another method on a
    // served file: 405. `host` is the request's Host value, judged already: the page's own
    // WebSocket is reached under it.
    static QByteArray answer(const HttpRequest& request, const QString& host);
    // An error's whole answer: status line, the security headers, a line of plain text.
    static QByteArray error(int status, const QString& reason);

    // The policy the page is served with: scripts and styles from the page's own files only
    // (no inline script), its WebSocket to the address it came from, and no framing.
    static QByteArray contentSecurityPolicy(const QString& host);
    static QByteArray statusText(int status);
};
