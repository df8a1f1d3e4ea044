#pragma once

#include <QDialog>
#include <QMap>

#include "ViscaSettings.h"
#include "WindowDrag.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;
class titleWidget;

// The "VISCA" dialog of the tray menu: serve VISCA over IP or not, on which address and
// first port pair, to which peers beyond this computer, and the port pair each camera was
// given (a camera no longer in use can be forgotten, freeing its pair). OK is refused while
// the settings cannot be served; the reason stands in the dialog. The main window applies
// and saves what was accepted.
//
// Interface thread only.
class ViscaDialog : public QDialog {
    Q_OBJECT

public:
    explicit ViscaDialog(const ViscaSettings& settings, QWidget* parent = nullptr);

    // The settings the controls stand for.
    ViscaSettings settings() const;
    // What the table calls each camera (lower-case location identity -> label); a camera
    // without a name shows its location.
    void setCameraNames(const QMap<QString, QString>& names);
    void setStatus(const QString& status);

    // For the tests.
    QCheckBox* enabledBox() const { return _enabled; }
    QLineEdit* addressField() const { return _address; }
    QSpinBox* udpPortBox() const { return _udpPort; }
    QSpinBox* tcpPortBox() const { return _tcpPort; }
    QPlainTextEdit* peersField() const { return _peers; }
    QTableWidget* portsTable() const { return _table; }
    QPushButton* forgetButton() const { return _forget; }
    QPushButton* okButton() const { return _ok; }
    QLabel* errorLabel() const { return _error; }

public slots:
    void accept() override;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void fillTable();
    void updateError();

    titleWidget* _titleBar = nullptr;
    QCheckBox* _enabled = nullptr;
    QLineEdit* _address = nullptr;
    QSpinBox* _udpPort = nullptr;
    QSpinBox* _tcpPort = nullptr;
    QPlainTextEdit* _peers = nullptr;
    QTableWidget* _table = nullptr;
    QPushButton* _forget = nullptr;
    QPushButton* _ok = nullptr;
    QPushButton* _cancel = nullptr;
    QLabel* _error = nullptr;
    QLabel* _status = nullptr;
    QMap<QString, int> _ports;  // the cameras' pairs as the dialog shows them
    QMap<QString, QString> _names;
    WindowDrag _drag;
};
