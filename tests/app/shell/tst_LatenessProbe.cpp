// The interface thread's lateness probe: a loop kept busy shows in the file as a late tick, and
// the worst of a period is reported once, not carried into the next period.
#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include "AppEntry.h"

namespace {

// The probe's lines as (time, worst lateness) pairs.
QList<QPair<qint64, qint64>> readLines(const QString& path) {
    QList<QPair<qint64, qint64>> out;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        if (words.size() == 2)
            out.append({words[0].toLongLong(), words[1].toLongLong()});
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
                    if (line.second >= 250)
                        return true;
                return false;
            }(),
            5000);
        // The period after the block starts again from nothing: the block is one line's, not
        // every later line's.
        const qsizetype blockedAt = [&] {
            const auto lines = readLines(path);
            for (qsizetype i = 0; i < lines.size(); ++i)
                if (lines[i].second >= 250)
                    return i;
            return qsizetype(-1);
        }();
        QTRY_VERIFY_WITH_TIMEOUT(readLines(path).size() >= blockedAt + 3, 5000);
        const auto lines = readLines(path);
        QVERIFY2(lines[blockedAt + 2].second < 250, "the blocked period's lateness carried on");
        for (qsizetype i = 1; i < lines.size(); ++i) QVERIFY(lines[i].first >= lines[i - 1].first);
    }

    void anUnwritablePathIsSaidAndHarmless() {
        LatenessProbe probe(QStringLiteral("/nonexistent-folder/lateness.log"));
        QVERIFY(!probe.isOpen());
    }
};

QTEST_MAIN(TstLatenessProbe)
#include "tst_LatenessProbe.moc"
