// The VISCA dialog: what it shows of the settings, the cameras' port pairs (sorted, named,
// forgettable), and OK refused while the settings could not be served.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>

#include "ViscaDialog.h"

class TstViscaDialog : public QObject {
    Q_OBJECT

private slots:
    void showsAndReturnsTheSettings();
    void cameraPortsAreSortedNamedAndForgettable();
    void okIsRefusedWhileTheSettingsCannotBeServed();
};

namespace {

ViscaSettings twoCameras() {
    ViscaSettings s;
    s.enabled = true;
    s.ports.insert(QStringLiteral("1&9&1&0000"), 52382);
    s.ports.insert(QStringLiteral("1&2&1&0000"), 52383);
    s.ports.insert(QStringLiteral("1&5&1&0000"), 52381);
    return s;
}

QString cell(QTableWidget* table, int row, int column) {
    return table->item(row, column)->text();
}

}  // namespace

void TstViscaDialog::showsAndReturnsTheSettings() {
    ViscaSettings s = twoCameras();
    s.address = QStringLiteral("0.0.0.0");
    s.udpPort = 1259;
    s.tcpPort = 5000;
    s.allowedPeers = {QStringLiteral("10.1.0.0/16"), QStringLiteral("192.168.1.20")};
    s.ports = {{QStringLiteral("1&5&1&0000"), 1259}};
    ViscaDialog dialog(s);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("VISCA"));
    for (const char* name : {"Serve VISCA", "Address", "UDP port", "TCP port", "Allowed peers", "Camera ports"}) {
        bool found = false;
        for (QWidget* w : dialog.findChildren<QWidget*>()) found |= w->accessibleName() == QLatin1String(name);
        QVERIFY2(found, name);
    }
    QCOMPARE(dialog.settings(), s);

    // Peers one a line, blank lines and spaces dropped; an emptied address is loopback.
    dialog.peersField()->setPlainText(QStringLiteral("  10.1.0.0/16 \n\n192.168.1.20\n   \n"));
    dialog.addressField()->setText(QStringLiteral("   "));
    const ViscaSettings read = dialog.settings();
    QCOMPARE(read.allowedPeers, s.allowedPeers);
    QCOMPARE(read.address, QStringLiteral("127.0.0.1"));
}

void TstViscaDialog::cameraPortsAreSortedNamedAndForgettable() {
    ViscaDialog dialog(twoCameras());
    dialog.setCameraNames({{QStringLiteral("1&2&1&0000"), QStringLiteral("Lectern")},
                           {QStringLiteral("1&5&1&0000"), QStringLiteral("Wide")}});
    QTableWidget* table = dialog.portsTable();
    QCOMPARE(table->rowCount(), 3);
    QCOMPARE(cell(table, 0, 0), QStringLiteral("Wide"));
    QCOMPARE(cell(table, 0, 1), QStringLiteral("52381"));
    QCOMPARE(cell(table, 0, 2), QStringLiteral("5678"));
    QCOMPARE(cell(table, 1, 0), QStringLiteral("1&9&1&0000"));  // a camera not seen this run
    QCOMPARE(cell(table, 2, 0), QStringLiteral("Lectern"));
    QCOMPARE(cell(table, 2, 2), QStringLiteral("5680"));

    // The TCP column follows the first pair.
    dialog.tcpPortBox()->setValue(6000);
    QCOMPARE(cell(table, 2, 2), QStringLiteral("6002"));

    QVERIFY(!dialog.forgetButton()->isEnabled());
    table->selectRow(1);
    QVERIFY(dialog.forgetButton()->isEnabled());
    dialog.forgetButton()->click();
    QCOMPARE(table->rowCount(), 2);
    QVERIFY(!dialog.settings().ports.contains(QStringLiteral("1&9&1&0000")));
    QCOMPARE(dialog.settings().ports.size(), 2);
    QVERIFY(!dialog.forgetButton()->isEnabled());
}

void TstViscaDialog::okIsRefusedWhileTheSettingsCannotBeServed() {
    ViscaSettings s;
    s.enabled = true;
    ViscaDialog dialog(s);
    dialog.show();
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    QVERIFY(dialog.errorLabel()->text().isEmpty());
    QVERIFY(dialog.okButton()->isEnabled());

    // Any address beyond this computer needs an allowed peer.
    dialog.addressField()->setText(QStringLiteral("0.0.0.0"));
    QVERIFY(dialog.errorLabel()->text().contains(QLatin1String("allowed peer")));
    QVERIFY(!dialog.okButton()->isEnabled());
    dialog.accept();
    QCOMPARE(accepted.count(), 0);
    QVERIFY(dialog.isVisible());

    dialog.peersField()->setPlainText(QStringLiteral("10.1.0.0/33"));
    QVERIFY(!dialog.errorLabel()->text().isEmpty());
    dialog.peersField()->setPlainText(QStringLiteral("10.1.0.0/16"));
    QVERIFY(dialog.errorLabel()->text().isEmpty());

    dialog.addressField()->setText(QStringLiteral("room-pc"));
    QVERIFY(dialog.errorLabel()->text().contains(QLatin1String("not an IP address")));
    dialog.addressField()->setText(QStringLiteral("127.0.0.1"));
    dialog.tcpPortBox()->setValue(dialog.udpPortBox()->value());
    QVERIFY(dialog.errorLabel()->text().contains(QLatin1String("must differ")));

    // Switched off, nothing is served: the settings are kept as they are.
    dialog.enabledBox()->setChecked(false);
    QVERIFY(dialog.errorLabel()->text().isEmpty());
    dialog.okButton()->click();
    QCOMPARE(accepted.count(), 1);
}

QTEST_MAIN(TstViscaDialog)
#include "tst_ViscaDialog.moc"
