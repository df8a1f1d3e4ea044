// The room page's files as the program holds them: every control has the accessible name the
// browser tests (and a screen reader) find it by, the controls ask for what the protocol
// knows, and nothing from the server can become markup or script.

#include <QRegularExpression>
#include <QTest>

#include "ControlApiPage.h"
#include "ControlApiProtocol.h"
#include "HttpRequestReader.h"

namespace {

// The body of the file as the page serves it ("index.html" is "/"); empty unless 200.
QString resource(const QString& name) {
    HttpRequest request;
    request.method = "GET";
    request.path = name == QLatin1String("index.html") ? "/" : "/" + name.toStdString();
    request.target = request.path;
    const QByteArray answer = ControlApiPage::answer(request, QStringLiteral("127.0.0.1:8940"));
    const qsizetype body = answer.indexOf("\r\n\r\n");
    if (!answer.startsWith("HTTP/1.1 200") || body < 0)
        return {};
    return QString::fromUtf8(answer.mid(body + 4));
}

QStringList captures(const QString& text, const QString& pattern) {
    QStringList found;
    QRegularExpressionMatchIterator it = QRegularExpression(pattern).globalMatch(text);
    while (it.hasNext()) found.append(it.next().captured(1));
    return found;
}

}  // namespace

class tst_RoomPage : public QObject {
    Q_OBJECT

private slots:
    void everyControlHasItsName() {
        const QString html = resource(QStringLiteral("index.html"));
        QVERIFY(!html.isEmpty());
        QStringList names = {QStringLiteral("Home"),           QStringLiteral("Left"),
                             QStringLiteral("Right"),          QStringLiteral("Up"),
                             QStringLiteral("Down"),           QStringLiteral("Up left"),
                             QStringLiteral("Up right"),       QStringLiteral("Down left"),
                             QStringLiteral("Down right"),     QStringLiteral("Zoom in"),
                             QStringLiteral("Zoom out"),       QStringLiteral("Focus far"),
                             QStringLiteral("Focus near"),     QStringLiteral("Tracking"),
                             QStringLiteral("Pause tracking"), QStringLiteral("Resume tracking")};
        for (int n = 0; n <= 9; ++n) {
            names.append(QStringLiteral("Preset %1").arg(n));
            names.append(QStringLiteral("Save preset %1").arg(n));
        }
        const QStringList labels = captures(html, QStringLiteral("aria-label=\"([^\"]*)\""));
        for (const QString& name : std::as_const(names))
            QVERIFY2(labels.count(name) == 1, qPrintable(name));  // found, and found once
        // Every button of the room carries its name (a symbol alone says nothing to a reader).
        const QStringList held = captures(
            html, QStringLiteral("<button([^>]*data-(?:direction|zoom|focus|home|preset|save)[^>]*)>"));
        QCOMPARE(held.size(), 9 + 4 + 20);
        for (const QString& attributes : held)
            QVERIFY2(attributes.contains(QStringLiteral("aria-label=\"")), qPrintable(attributes));
    }

    // What the controls send is what the protocol takes: a direction it does not know would
    // be refused on every press.
    void theControlsAskForWhatTheProtocolKnows() {
        const QString html = resource(QStringLiteral("index.html"));
        const QStringList directions = captures(html, QStringLiteral("data-direction=\"([^\"]*)\""));
        QCOMPARE(directions.size(), 8);
        for (const QString& direction : directions)
            QVERIFY2(ControlApi::directionValue(direction) > 0 && direction != QLatin1String("home"),
                     qPrintable(direction));
        QCOMPARE(captures(html, QStringLiteral("data-zoom=\"([^\"]*)\"")),
                 (QStringList{QStringLiteral("in"), QStringLiteral("out")}));
        QCOMPARE(captures(html, QStringLiteral("data-focus=\"([^\"]*)\"")),
                 (QStringList{QStringLiteral("far"), QStringLiteral("near")}));
        QStringList presets;
        for (int n = 0; n <= 9; ++n) presets.append(QString::number(n));
        QCOMPARE(captures(html, QStringLiteral("data-preset=\"([^\"]*)\"")), presets);
        QCOMPARE(captures(html, QStringLiteral("data-save=\"([^\"]*)\"")), presets);
        // The pause lengths are within what tracking.pause takes.
        for (const QString& seconds : captures(html, QStringLiteral("<option value=\"([^\"]*)\""))) {
            const int s = seconds.toInt();
            QVERIFY2(s > 0 && s <= ControlApi::kMaxPauseSeconds, qPrintable(seconds));
        }
        // The picture asked for is no wider than the server sends.
        const QString js = resource(QStringLiteral("app.js"));
        const QStringList width = captures(js, QStringLiteral("PICTURE_WIDTH = (\\d+)"));
        QCOMPARE(width.size(), 1);
        QVERIFY(width.at(0).toInt() <= ControlApi::kMaxPictureWidth);
    }

    // The content security policy forbids inline script and style, and server text must never
    // be parsed as markup: the files hold no way to do either.
    void nothingBecomesMarkupOrScript() {
        const QString html = resource(QStringLiteral("index.html"));
        const QString js = resource(QStringLiteral("app.js"));
        const QString css = resource(QStringLiteral("app.css"));
        QVERIFY(!js.isEmpty() && !css.isEmpty());
        for (const char* forbidden : {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write",
                                      "eval(", "new Function", "setTimeout(\"", "setInterval(\"",
                                      "createContextualFragment", "DOMParser", ".cookie", "localStorage"}) {
            QVERIFY2(!js.contains(QLatin1String(forbidden)), forbidden);
        }
        QVERIFY(!html.contains(QRegularExpression(QStringLiteral("\\sstyle\\s*="))));
        QVERIFY(!html.contains(QLatin1String("<style")));
        QVERIFY(!html.contains(QRegularExpression(QStringLiteral("\\son[a-z]+\\s*="))));
        QCOMPARE(html.count(QLatin1String("<script")), html.count(QLatin1String("<script src=\"/app.js\"")));
        for (const QString& file : {html, js, css}) {
            QVERIFY(!file.contains(QLatin1String("http://")) && !file.contains(QLatin1String("https://")));
            QVERIFY(!file.contains(QLatin1String("@import")) && !file.contains(QLatin1String("@font-face")));
        }
        // The token stays in the tab: sessionStorage only, never the address.
        QVERIFY(js.contains(QLatin1String("sessionStorage")));
        QVERIFY(!js.contains(QLatin1String("location.search")) &&
                !js.contains(QLatin1String("location.hash")));
    }
};

QTEST_MAIN(tst_RoomPage)
#include "tst_RoomPage.moc"
