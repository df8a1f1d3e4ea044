#include "ControlApiDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "RemoteDialogFrame.h"
#include "titleWidget.h"

namespace {
const QString kLoopback = QStringLiteral("127.0.0.1");
const QString kAny = QStringLiteral("0.0.0.0");
}  // namespace

ControlApiDialog::ControlApiDialog(QWidget* parent) : QDialog(parent) {
    const RemoteDialogFrame frame =
        RemoteDialogFrame::build(this, QStringLiteral("ControlApiDialog"), tr("Control interface"));
    _titleBar = frame.titleBar;
    setMinimumSize(480, 300);
    QVBoxLayout* body = frame.body;
    body->setSpacing(12);

    _enabled = new QCheckBox(tr("Enable the control interface"), this);
    _enabled->setObjectName(QStringLiteral("controlapi_enabled"));
    body->addWidget(_enabled);

    auto* form = new QFormLayout;
    form->setSpacing(8);
    _address = new QComboBox(this);
    _address->setObjectName(QStringLiteral("controlapi_address"));
    _address->addItem(tr("This computer only (127.0.0.1)"), kLoopback);
    _address->addItem(tr("Any address (network)"), kAny);
    form->addRow(tr("Listen on"), _address);

    _port = new QSpinBox(this);
    _port->setObjectName(QStringLiteral("controlapi_port"));
    _port->setRange(1, 65535);
    _port->setValue(ControlApiSettings::kDefaultPort);
    form->addRow(tr("Port"), _port);

    auto* tokenRow = new QHBoxLayout;
    _token = new QLineEdit(this);
    _token->setObjectName(QStringLiteral("controlapi_token"));
    _token->setReadOnly(true);
    _token->setPlaceholderText(tr("no token"));
    tokenRow->addWidget(_token, 1);
    _newToken = new QPushButton(tr("New token"), this);
    _newToken->setObjectName(QStringLiteral("controlapi_newtoken"));
    tokenRow->addWidget(_newToken);
    _noToken = new QPushButton(tr("No token"), this);
    _noToken->setObjectName(QStringLiteral("controlapi_notoken"));
    tokenRow->addWidget(_noToken);
    form->addRow(tr("Token"), tokenRow);
    body->addLayout(form);

    _status = new QLabel(this);
    _status->setObjectName(QStringLiteral("controlapi_status"));
    _status->setWordWrap(true);
    body->addWidget(_status);
    body->addStretch(1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    _apply = new QPushButton(tr("Apply"), this);
    _apply->setObjectName(QStringLiteral("controlapi_apply"));
    buttons->addWidget(_apply);
    body->addLayout(buttons);

    connect(_titleBar, &titleWidget::signal_CloseButtonClicked, this, &QDialog::hide);
    connect(_address, &QComboBox::currentIndexChanged, this, &ControlApiDialog::updateControls);
    connect(_newToken, &QPushButton::clicked, this, [this] {
        _token->setText(ControlApi::newToken());
        _tokenCleared = false;
        updateControls();
    });
    connect(_noToken, &QPushButton::clicked, this, [this] {
        _token->clear();
        _tokenCleared = true;
        updateControls();
    });
    connect(_apply, &QPushButton::clicked, this, [this] { emit signal_Apply(chosenSettings()); });
    updateControls();
}

void ControlApiDialog::setSettings(const ControlApiSettings& settings) {
    _enabled->setChecked(settings.enabled);
    int index = _address->findData(settings.address);
    if (index < 0) {
        // An address written into the settings file by hand stays choosable.
        _address->addItem(settings.address, settings.address);
        index = _address->count() - 1;
    }
    _address->setCurrentIndex(index);
    _port->setValue(settings.port);
    _token->setText(settings.token);
    // A token left empty on purpose stays empty until the user asks for one.
    _tokenCleared = settings.enabled && settings.token.isEmpty();
    _notice.clear();
    updateControls();
}

QString ControlApiDialog::chosenAddress() const {
    return _address->currentData().toString();
}

ControlApiSettings ControlApiDialog::chosenSettings() {
    ControlApiSettings settings;
    settings.enabled = _enabled->isChecked();
    settings.address = chosenAddress();
    settings.port = _port->value();
    settings.token = _token->text();
    _notice.clear();
    const bool tooShort = !settings.token.isEmpty() && settings.token.size() < ControlApi::kMinTokenLength;
    const bool needsToken = tooShort || (!settings.isLoopback() && settings.token.isEmpty());
    const bool firstEnable = settings.enabled && settings.token.isEmpty() && !_tokenCleared;
    if (tooShort)
        _notice = tr("A new token was made: the old one had %1 characters, fewer than the %2 a token needs. "
                     "Give the new one to the room's controllers.")
                      .arg(settings.token.size())
                      .arg(ControlApi::kMinTokenLength);
    if (needsToken || firstEnable) {
        settings.token = ControlApi::newToken();
        _token->setText(settings.token);
        _tokenCleared = false;
    }
    updateControls();
    return settings;
}

void ControlApiDialog::setStatus(const QString& status) {
    _status->setText(_notice.isEmpty() ? status : status + QLatin1Char('\n') + _notice);
}

void ControlApiDialog::updateControls() {
    ControlApiSettings probe;
    probe.address = chosenAddress();
    // Running without a token is for loopback only.
    _noToken->setEnabled(probe.isLoopback() && !_token->text().isEmpty());
}

void ControlApiDialog::mousePressEvent(QMouseEvent* event) {
    _drag.press(this, event);
    QDialog::mousePressEvent(event);
}

void ControlApiDialog::mouseMoveEvent(QMouseEvent* event) {
    _drag.move(this, event);
    QDialog::mouseMoveEvent(event);
}

void ControlApiDialog::mouseReleaseEvent(QMouseEvent* event) {
    _drag.release();
    QDialog::mouseReleaseEvent(event);
}
