// The tray's "Control interface" dialog in the real main window: what it makes of the
// user's choices, that the choice runs and is saved at once, and that it survives a restart.

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "ControlApiDialog.h"
#include "ControlApiServer.h"
#include "MainWindow.h"

namespace {

QString uniqueInstanceName() {
    static int counter = 0;
    return QStringLiteral("vantor-controlapi-test-%1-%2")
        .arg(QCoreApplication::applicationPid())
        .arg(++counter);
}

int freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QJsonObject savedControlApi(const MainWindow& window) {
    QFile file(window.configFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("ControlApi")).toObject();
}

}  // namespace

class tst_ControlApiDialog : public QObject {
    Q_OBJECT

private slots:
    void init() {
        _dir = std::make_unique<QTemporaryDir>();
        QVERIFY(_dir->isValid());
        qputenv("ALLUSERSPROFILE", _dir->path().toLocal8Bit());
    }
    void cleanup() { _dir.reset(); }

    void enablingMakesATokenRunsAndSavesAtOnce() {
        const int port = freePort();
        {
            MainWindow window(nullptr, uniqueInstanceName());
            QVERIFY(!window.controlApiServer()->isListening());
            window.slot_ControlApiClicked();
            ControlApiDialog* dialog = window.controlApiDialog();
            QVERIFY(dialog && dialog->isVisible());
            QVERIFY(!dialog->enabledBox()->isChecked());
            QVERIFY(dialog->tokenField()->text().isEmpty());

            dialog->enabledBox()->setChecked(true);
            dialog->portBox()->setValue(port);
            dialog->applyButton()->click();
            const QString token = dialog->tokenField()->text();
            QCOMPARE(token.size(), 32);
            QVERIFY(window.controlApiServer()->isListening());
            QCOMPARE(window.controlApiServer()->serverPort(), quint16(port));
            QVERIFY(dialog->statusLabel()->text().contains(QString::number(port)));
            // On disk before any close or exit.
            const QJsonObject saved = savedControlApi(window);
            QCOMPARE(saved.value(QStringLiteral("Enabled")).toBool(), true);
            QCOMPARE(saved.value(QStringLiteral("Token")).toString(), token);
            QCOMPARE(saved.value(QStringLiteral("Port")).toInt(), port);
            QCOMPARE(saved.value(QStringLiteral("Address")).toString(), QStringLiteral("127.0.0.1"));

            // "No token" is for loopback only; the network gets a token again.
            QVERIFY(dialog->noTokenButton()->isEnabled());
            dialog->noTokenButton()->click();
            QVERIFY(dialog->tokenField()->text().isEmpty());
            dialog->addressBox()->setCurrentIndex(dialog->addressBox()->findData(QStringLiteral("0.0.0.0")));
            QVERIFY(!dialog->noTokenButton()->isEnabled());
            dialog->applyButton()->click();
            QVERIFY(dialog->tokenField()->text().size() >= ControlApi::kMinTokenLength);
            QCOMPARE(window.controlApiServer()->settings().address, QStringLiteral("0.0.0.0"));
            QVERIFY(window.controlApiServer()->isListening());

            // Back on loopback, without a token on purpose: it stays without one.
            dialog->addressBox()->setCurrentIndex(0);
            dialog->noTokenButton()->click();
            dialog->applyButton()->click();
            QVERIFY(window.controlApiServer()->settings().token.isEmpty());
            QVERIFY(window.controlApiServer()->isListening());
            QVERIFY(savedControlApi(window).value(QStringLiteral("Token")).toString().isEmpty());

            // Switched off: nothing listens.
            dialog->enabledBox()->setChecked(false);
            dialog->applyButton()->click();
            QVERIFY(!window.controlApiServer()->isListening());
            dialog->enabledBox()->setChecked(true);
            dialog->applyButton()->click();
        }
        // The next start runs the saved interface without the dialog.
        MainWindow again(nullptr, uniqueInstanceName());
        QVERIFY(again.controlApiServer()->isListening());
        QCOMPARE(again.controlApiServer()->serverPort(), quint16(port));
        QVERIFY(again.controlApiServer()->settings().token.isEmpty());
    }

    void aHandWrittenNetworkSettingWithoutTokenIsNotServed() {
        QDir().mkpath(_dir->path() + QStringLiteral("/Quillon/Vantor/Config"));
        QFile file(_dir->path() + QStringLiteral("/Quillon/Vantor/Config/SoundDeviceConfig.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(
            QJsonDocument(QJsonObject{{QStringLiteral("ControlApi"),
                                       QJsonObject{{QStringLiteral("Enabled"), true},
                                                   {QStringLiteral("Address"), QStringLiteral("0.0.0.0")},
                                                   {QStringLiteral("Port"), freePort()},
                                                   {QStringLiteral("Token"), QStringLiteral("short")}}}})
                .toJson());
        file.close();
        MainWindow window(nullptr, uniqueInstanceName());
        QVERIFY(!window.controlApiServer()->isListening());
        window.slot_ControlApiClicked();
        QVERIFY(window.controlApiDialog()->statusLabel()->text().contains(QStringLiteral("token")));
        // The dialog shows the address as it stands and mends the token on Apply.
        QCOMPARE(window.controlApiDialog()->addressBox()->currentData().toString(),
                 QStringLiteral("0.0.0.0"));
        window.controlApiDialog()->applyButton()->click();
        QVERIFY(window.controlApiServer()->isListening());
        QVERIFY(window.controlApiServer()->settings().token.size() >= ControlApi::kMinTokenLength);
    }

    void aShortStoredTokenIsRefusedAndTheDialogSaysWhy() {
        // A loopback setting from before tokens had a minimum: it still loads, but is not
        // served with a token a page could guess; the dialog says why and Apply mends it.
        const int port = freePort();
        QDir().mkpath(_dir->path() + QStringLiteral("/Quillon/Vantor/Config"));
        QFile file(_dir->path() + QStringLiteral("/Quillon/Vantor/Config/SoundDeviceConfig.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(
            QJsonDocument(QJsonObject{{QStringLiteral("ControlApi"),
                                       QJsonObject{{QStringLiteral("Enabled"), true},
                                                   {QStringLiteral("Address"), QStringLiteral("127.0.0.1")},
                                                   {QStringLiteral("Port"), port},
                                                   {QStringLiteral("Token"), QStringLiteral("room42")}}}})
                .toJson());
        file.close();
        MainWindow window(nullptr, uniqueInstanceName());
        QVERIFY(!window.controlApiServer()->isListening());
        QCOMPARE(window.controlApiServer()->settings().token, QStringLiteral("room42"));
        window.slot_ControlApiClicked();
        ControlApiDialog* dialog = window.controlApiDialog();
        const QString before = dialog->statusLabel()->text();
        QVERIFY2(before.contains(QStringLiteral("6 characters")) && before.contains(QStringLiteral("16")),
                 qPrintable(before));
        QCOMPARE(dialog->tokenField()->text(), QStringLiteral("room42"));

        dialog->applyButton()->click();
        const QString token = dialog->tokenField()->text();
        QCOMPARE(token.size(), 32);
        QVERIFY(window.controlApiServer()->isListening());
        QCOMPARE(savedControlApi(window).value(QStringLiteral("Token")).toString(), token);
        const QString after = dialog->statusLabel()->text();
        QVERIFY2(after.contains(QString::number(port)) && after.contains(QStringLiteral("new token")),
                 qPrintable(after));
        // Said once: the next Apply has nothing to explain.
        dialog->applyButton()->click();
        QVERIFY(!dialog->statusLabel()->text().contains(QStringLiteral("new token")));
    }

private:
    std::unique_ptr<QTemporaryDir> _dir;
};

QTEST_MAIN(tst_ControlApiDialog)
#include "tst_ControlApiDialog.moc"
