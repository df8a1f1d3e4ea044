#include "ControlApiPage.h"

#include <QFile>
#include <QHash>

#include "HttpRequestReader.h"

static void initWebResources() {
    Q_INIT_RESOURCE(web);
}

namespace {

struct ServedFile {
    const char* path;  // as requested
    const char* resource;
    const char* type;
};

const ServedFile kFiles[] = {
    {"/", ":/web/index.html", "text/html; charset=utf-8"},
    {"/app.css", ":/web/app.css", "text/css; charset=utf-8"},
    {"/app.js", ":/web/app.js", "text/javascript; charset=utf-8"},
};

const ServedFile* findFile(const std::string& path) {
    for (const ServedFile& file : kFiles) {
        if (path == file.path)
            return &file;
    }
    return nullptr;
}

// The resource's bytes, read once.
const QByteArray& contentOf(const ServedFile& file) {
    static QHash<QString, QByteArray> cache;
    static const bool initialised = [] {
        initWebResources();
        return true;
    }();
    (void)initialised;
    const QString name = QString::fromLatin1(file.resource);
    auto it = cache.find(name);
    if (it == cache.end()) {
        QFile resource(name);
        QByteArray bytes;
        if (resource.open(QIODevice::ReadOnly))
            bytes = resource.readAll();
        it = cache.insert(name, bytes);
    }
    return *it;
}

QByteArray head(int status, const QByteArray& type, qsizetype length, const QByteArray& policy,
                const QByteArray& extra = QByteArray()) {
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(status) + ' ' + ControlApiPage::statusText(status) + "\r\n";
    bytes += "Content-Type: " + type + "\r\n";
    bytes += "Content-Length: " + QByteArray::number(length) + "\r\n";
    bytes += "Connection: close\r\n";
    bytes += "Content-Security-Policy: " + policy + "\r\n";
    bytes += "X-Content-Type-Options: nosniff\r\n"
             "X-Frame-Options: DENY\r\n"
             "Referrer-Policy: no-referrer\r\n"
             "Cache-Control: no-store\r\n"
             "Cross-Origin-Resource-Policy: same-origin\r\n";
    bytes += extra;
    bytes += "\r\n";
    return bytes;
}

}  // namespace

QByteArray ControlApiPage::statusText(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 414: return "URI Too Long";
        case 421: return "Misdirected Request";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 505: return "HTTP Version Not Supported";
        default: return "Error";
    }
}

QByteArray ControlApiPage::contentSecurityPolicy(const QString& host) {
    // `host` has passed the server's Host rule (an address or localhost, and a port): it
    // cannot end the header or add a directive.
    return "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; "
           "connect-src 'self' ws://" +
           host.toLatin1() + "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
}

QByteArray ControlApiPage::error(int status, const QString& reason) {
    QByteArray body = QByteArray::number(status) + ' ' + statusText(status);
    QByteArray why = reason.toLatin1();
    // The reason is the server's own text; still, nothing in it may break the answer.
    for (char& c : why) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            c = ' ';
    }
    if (!why.isEmpty())
        body += ": " + why.left(200);
    body += '\n';
    const QByteArray extra = status == 405 ? QByteArray("Allow: GET, HEAD\r\n") : QByteArray();
    return head(status, "text/plain; charset=utf-8", body.size(),
                "default-src 'none'; frame-ancestors 'none'", extra) +
           body;
}

QByteArray ControlApiPage::answer(const HttpRequest& request, const QString& host) {
    const bool headOnly = request.method == "HEAD";
    // HEAD gets the head an error would have, without its text.
    const auto failed = [headOnly](int status, const QString& reason) {
        QByteArray bytes = error(status, reason);
        return headOnly ? bytes.left(bytes.indexOf("\r\n\r\n") + 4) : bytes;
    };
    const ServedFile* file = findFile(request.path);
    if (!file)
        return failed(404, QStringLiteral("no such page"));
    if (request.method != "GET" && !headOnly)
        return error(405, QStringLiteral("only GET and HEAD"));
    const QByteArray& content = contentOf(*file);
    if (content.isEmpty())
        return failed(500, QStringLiteral("page missing from the program"));
    const QByteArray bytes = head(200, file->type, content.size(), contentSecurityPolicy(host));
    return headOnly ? bytes : bytes + content;
}
