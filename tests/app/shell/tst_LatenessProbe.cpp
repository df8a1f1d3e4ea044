// The interface thread's lateness probe: a loop kept busy shows in the file as a late tick, the
// worst of a period is reported once, not carried into the next period, and a thread that
// blocked itself is not mistaken for one that waited for a processor.
#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include "AppEntry.h"

namespace {

struct Line {
    qint64 time = 0;
    qint64 worst = 0;
    qint64 wait = 0;
};

// The probe's lines.
QList<Line> readLines(const QString& path) {
    QList<Line> out;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        if (words.size() == 3)
            out.append({words[0].toLongLong(), words[1].toLongLong(), words[2].toLongLong()});
    }
    return out;
}

}  // namespace

class TstLatenessProbe : public QObject {
    Q_OBJECT

private slots:
    void aBlockedLoopIsReportedOnce() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("lateness.log"));
        LatenessProbe probe(path, 5, 200);
        QVERIFY(probe.isOpen());
        // Let a few quiet periods pass, then block the loop for 300 ms.
        QTRY_VERIFY_WITH_TIMEOUT(readLines(path).size() >= 2, 5000);
        QTimer::singleShot(0, [] { QThread::msleep(300); });
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const auto& line : readLines(path))
                    if (line.worst >= 250)
                        return true;
                return false;
            }(),
            5000);
        // The period after the block starts again from nothing: the block is one line's, not
        // every later line's.
        const qsizetype blockedAt = [&] {
            const auto lines = readLines(path);
            for (qsizetype i = 0; i < lines.size(); ++i)
                if (lines[i].worst >= 250)
                    return i;
            return qsizetype(-1);
        }();
        QTRY_VERIFY_WITH_TIMEOUT(readLines(path).size() >= blockedAt + 3, 5000);
        const auto lines = readLines(path);
        QVERIFY2(lines[blockedAt + 2].worst < 250, "the blocked period's lateness carried on");
        // The thread slept: it did not wait for a processor for most of that gap (where the
        // kernel tells the wait at all).
        QVERIFY(lines[blockedAt].wait >= -1);
        QVERIFY2(
            lines[blockedAt].wait < lines[blockedAt].worst / 2,
            qPrintable(QStringLiteral("a 300 ms sleep counted as %1 ms waiting").arg(lines[blockedAt].wait)));
        for (qsizetype i = 1; i < lines.size(); ++i) QVERIFY(lines[i].time >= lines[i - 1].time);
    }

    void anUnwritablePathIsSaidAndHarmless() {
        LatenessProbe probe(QStringLiteral("/nonexistent-folder/lateness.log"));
        QVERIFY(!probe.isOpen());
    }
};

QTEST_MAIN(TstLatenessProbe)
#include "tst_LatenessProbe.moc"
