#pragma once

#include <QDialog>

#include "ControlApiServer.h"
#include "WindowDrag.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class titleWidget;

// The "Control interface" dialog of the tray menu: switch the interface on, pick loopback or
// any address, see (and renew) the token. Apply hands the chosen settings to the main
// window, which runs and saves them.
//
// A token is made when the interface is switched on without one, so that it starts
// protected; on loopback the user may then choose "No token" on purpose. An address other
// than loopback always gets a token. A token has at least 16 characters wherever it is used:
// an older, shorter one (from a settings file) is replaced on Apply, and the status says so,
// since the room's controllers then need the new one.
//
// Interface thread only.
class ControlApiDialog : public QDialog {
    Q_OBJECT

public:
    explicit ControlApiDialog(QWidget* parent = nullptr);

    void setSettings(const ControlApiSettings& settings);
    // The settings the controls stand for, with a token made where one is needed.
    ControlApiSettings chosenSettings();
    void setStatus(const QString& status);

    // For the tests.
    QCheckBox* enabledBox() const { return _enabled; }
    QComboBox* addressBox() const { return _address; }
    QSpinBox* portBox() const { return _port; }
    QLineEdit* tokenField() const { return _token; }
    QPushButton* applyButton() const { return _apply; }
    QPushButton* noTokenButton() const { return _noToken; }
    QLabel* statusLabel() const { return _status; }

signals:
    void signal_Apply(ControlApiSettings settings);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QString chosenAddress() const;
    void updateControls();

    titleWidget* _titleBar = nullptr;
    QCheckBox* _enabled = nullptr;
    QComboBox* _address = nullptr;
    QSpinBox* _port = nullptr;
    QLineEdit* _token = nullptr;
    QPushButton* _newToken = nullptr;
    QPushButton* _noToken = nullptr;
    QPushButton* _apply = nullptr;
    QLabel* _status = nullptr;
    // The user chose to run without a token (loopback only).
    bool _tokenCleared = false;
    // Shown below the status: why the last Apply replaced the token (empty: it did not).
    QString _notice;
    WindowDrag _drag;
};
