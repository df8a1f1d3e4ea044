#include "SoundDeviceSetting.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDebug>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QJsonValue>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebSocket>

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>

#include "AdvancedSetting.h"
#include "PresetLink.h"
#include "arrays/NurevaProtocol.h"
#include "arrays/WireNumber.h"

namespace {

const QString kCannotConnect = QStringLiteral("Device cannot connect.");
const QString kConnectionLoss = QStringLiteral("Connection Loss.");
const QString kReconnecting = QStringLiteral("Reconnecting\u2026");
constexpr int kPositionCount = 8;

struct DeviceEntry {
    const char* text;
    int brand;
};
// The order is the saved "SoundDeviceIndex"; index 2 (the four-lobe array) is the default.
constexpr DeviceEntry kDevices[] = {
    {"Shure: MXA910", SoundDeviceSetting::Shure},   {"Shure: MXA920", SoundDeviceSetting::Shure},
    {"Shure: MXA310", SoundDeviceSetting::Shure},   {"Sennheiser: TCC2", SoundDeviceSetting::Sennheiser},
    {"Nureva: HDL300", SoundDeviceSetting::Nureva}, {"Yamaha: RM-CG", SoundDeviceSetting::Yamaha},
};
constexpr int kDefaultDeviceIndex = 2;

const char* kStyleSheet = R"(
SoundDeviceSetting { background: #474E53; }
QFrame#sounddevice_frame { background: #474E53; border: 1px solid #595959; }
QLabel { color: #f0f0f0; font-family: Arial; font-size: 14px; border: none; }
QLabel#title_label { font-size: 16px; }
QComboBox, QLineEdit, QSpinBox { color: #f0f0f0; background: #40484D; border: 1px solid #8C8C8C;
                                 font-family: Arial; font-size: 14px; min-height: 24px; }
QComboBox:disabled, QLineEdit:disabled, QSpinBox:disabled { color: #8C8C8C; }
QComboBox QAbstractItemView { color: #f0f0f0; background: #40484D; selection-background-color: #4BBDEF; }
QCheckBox::indicator { width: 44px; height: 22px; }
QCheckBox::indicator:unchecked { image: url(:/device/icons/btn/switch-off.png); }
QCheckBox::indicator:checked { image: url(:/device/icons/btn/switch-on.png); }
QPushButton { color: #f0f0f0; background: #40484D; border: 1px solid #8C8C8C; font-family: Arial; }
QPushButton:hover { background: #4BBDEF; }
QPushButton:disabled { color: #8C8C8C; }
)";

qint64 systemClock() {
    return QDateTime::currentMSecsSinceEpoch();
}

// A saved whole number, or nothing for anything else (text, a fraction, out of int range).
std::optional<int> savedInt(const QJsonValue& value) {
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number) || number != std::trunc(number) || number < INT_MIN || number > INT_MAX)
        return std::nullopt;
    return static_cast<int>(number);
}

}  // namespace

struct SoundDeviceSetting::Ui {
    QFrame* frame = nullptr;
    QLabel* title_label = nullptr;
    QComboBox* device_comboBox = nullptr;
    QLineEdit* deviceIP_lineEdit = nullptr;
    QSpinBox* port_spinBox = nullptr;
    QCheckBox* device_connect_checkBox = nullptr;
    QLabel* linkStatus_label = nullptr;
    QCheckBox* tracking_checkBox = nullptr;
    QLabel* pause_label = nullptr;
    QPushButton* advanced_pushButton = nullptr;
};

SoundDeviceSetting::SoundDeviceSetting(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui>()), clock(systemClock) {
    buildForm();
    // Filled and selected before anything is connected, so construction emits nothing.
    for (const DeviceEntry& device : kDevices) {
        ui->device_comboBox->addItem(QString::fromLatin1(device.text), device.brand);
    }
    ui->device_comboBox->setItemData(3, QStringLiteral("TeamConnect Celling 2"), Qt::ToolTipRole);
    ui->device_comboBox->setCurrentIndex(kDefaultDeviceIndex);
    ui->port_spinBox->setValue(shurePort);
    ui->port_spinBox->setEnabled(false);

    tcpSocket = new QTcpSocket(this);
    tcpSocket->setObjectName(QStringLiteral("tcpSocket"));
    connect(tcpSocket, &QTcpSocket::connected, this, &SoundDeviceSetting::slot_ConnectedDevice);
    connect(tcpSocket, &QTcpSocket::disconnected, this, &SoundDeviceSetting::slot_DisconnectedDevice);
    connect(tcpSocket, &QTcpSocket::readyRead, this, &SoundDeviceSetting::slot_ReceiveFromDevice);
    connect(tcpSocket, &QTcpSocket::errorOccurred, this, &SoundDeviceSetting::slot_ConnectError);

    nurvea_webSocket = new QWebSocket(QString(), QWebSocketProtocol::Version13, this);
    nurvea_webSocket->setObjectName(QStringLiteral("nurvea_webSocket"));
    connect(nurvea_webSocket, &QWebSocket::connected, this, &SoundDeviceSetting::slot_ConnectedDevice);
    connect(nurvea_webSocket, &QWebSocket::disconnected, this, &SoundDeviceSetting::slot_DisconnectedDevice);
    connect(nurvea_webSocket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            &SoundDeviceSetting::slot_ConnectError);
    connect(nurvea_webSocket, &QWebSocket::textMessageReceived, this,
            &SoundDeviceSetting::slot_ReceiveNurveaMessage);

    pollTimer = new QTimer(this);
    connect(pollTimer, &QTimer::timeout, this, &SoundDeviceSetting::slot_SoundArrayPolling);
    connectTimer = new QTimer(this);
    connectTimer->setObjectName(QStringLiteral("connectTimer"));
    connectTimer->setSingleShot(true);
    connect(connectTimer, &QTimer::timeout, this, &SoundDeviceSetting::connectAttemptFailed);
    pingTimer = new QTimer(this);
    pingTimer->setObjectName(QStringLiteral("pingTimer"));
    connect(pingTimer, &QTimer::timeout, this, &SoundDeviceSetting::pingDevice);
    connect(nurvea_webSocket, &QWebSocket::pong, this, [this] { lastPongMs = now(); });
    backHomeTimer = new QTimer(this);
    backHomeTimer->setSingleShot(false);
    connect(backHomeTimer, &QTimer::timeout, this, &SoundDeviceSetting::slot_CallBackToHome);
    triggerTimer = new QTimer(this);
    triggerTimer->setObjectName(QStringLiteral("triggerTimer"));
    triggerTimer->setSingleShot(true);
    triggerTimer->setTimerType(Qt::PreciseTimer);
    connect(triggerTimer, &QTimer::timeout, this, &SoundDeviceSetting::runTriggerCheck);
    reconnectTimer = new QTimer(this);
    reconnectTimer->setObjectName(QStringLiteral("reconnectTimer"));
    reconnectTimer->setSingleShot(true);
    connect(reconnectTimer, &QTimer::timeout, this, &SoundDeviceSetting::slot_Reconnect);
    pauseTimer = new QTimer(this);
    pauseTimer->setObjectName(QStringLiteral("pauseTimer"));
    pauseTimer->setSingleShot(true);
    connect(pauseTimer, &QTimer::timeout, this, [this] {
        if (pauseUntilMs != 0 && now() >= pauseUntilMs) {
            endPauseIfOver();
            // The talker of the moment is followed again right away.
            runTriggerCheck();
        } else {
            updatePauseLabel();
        }
    });

    connect(ui->device_connect_checkBox, &QCheckBox::clicked, this, [this] {
        // A connect the user starts reports a failure instead of retrying; switching Connect
        // off ends any retrying.
        retrying = false;
        slot_ConnectSoundDevice();
    });
    // toggled, not clicked: assistive technologies toggle the box without clicking it.
    connect(ui->tracking_checkBox, &QCheckBox::toggled, this, &SoundDeviceSetting::setTrackingEnabled);
    connect(ui->device_comboBox, &QComboBox::currentIndexChanged, this,
            &SoundDeviceSetting::slot_SwitchSoundDevice);
    connect(ui->advanced_pushButton, &QPushButton::clicked, this, &SoundDeviceSetting::slot_AdvancedSetting);
    connect(ui->port_spinBox, &QSpinBox::valueChanged, this, &SoundDeviceSetting::slot_PortChange);

    resetPositionStates();
}

SoundDeviceSetting::~SoundDeviceSetting() {
    backHomeTimer->stop();
    triggerTimer->stop();
    reconnectTimer->stop();
    pauseTimer->stop();
    pollTimer->stop();
    connectTimer->stop();
    pingTimer->stop();
    // The sockets report their own shutdown synchronously; the page is half destroyed by now
    // and must not react to it.
    tcpSocket->disconnect(this);
    nurvea_webSocket->disconnect(this);
    tcpSocket->abort();
    nurvea_webSocket->abort();
    if (nurvea_webSocket->state() != QAbstractSocket::UnconnectedState) {
        nurvea_webSocket->close(QWebSocketProtocol::CloseCodeNormal, QString());
    }
}

void SoundDeviceSetting::buildForm() {
    setObjectName(QStringLiteral("SoundDeviceSetting"));
    resize(328, 280);
    setMinimumSize(328, 280);
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(QString::fromLatin1(kStyleSheet));

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    ui->frame = new QFrame(this);
    ui->frame->setObjectName(QStringLiteral("sounddevice_frame"));
    outer->addWidget(ui->frame);

    auto* grid = new QGridLayout(ui->frame);
    grid->setContentsMargins(16, 12, 16, 16);
    grid->setVerticalSpacing(12);

    ui->title_label = new QLabel(QStringLiteral("Supported Devices & Settings"), ui->frame);
    ui->title_label->setObjectName(QStringLiteral("title_label"));
    grid->addWidget(ui->title_label, 0, 0, 1, 2);

    auto addLabel = [this, grid](const QString& text, int row) {
        auto* label = new QLabel(text, ui->frame);
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        grid->addWidget(label, row, 0);
    };

    addLabel(QStringLiteral("Devices :"), 1);
    ui->device_comboBox = new QComboBox(ui->frame);
    ui->device_comboBox->setObjectName(QStringLiteral("device_comboBox"));
    grid->addWidget(ui->device_comboBox, 1, 1);

    addLabel(QStringLiteral("Device IP :"), 2);
    ui->deviceIP_lineEdit = new QLineEdit(ui->frame);
    ui->deviceIP_lineEdit->setObjectName(QStringLiteral("deviceIP_lineEdit"));
    ui->deviceIP_lineEdit->setMinimumWidth(150);
    ui->deviceIP_lineEdit->setAlignment(Qt::AlignCenter);
    const QString octet = QStringLiteral("(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])");
    ui->deviceIP_lineEdit->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("^(%1\\.){3}%1$").arg(octet)), ui->deviceIP_lineEdit));
    grid->addWidget(ui->deviceIP_lineEdit, 2, 1);

    addLabel(QStringLiteral("Port :"), 3);
    ui->port_spinBox = new QSpinBox(ui->frame);
    ui->port_spinBox->setObjectName(QStringLiteral("port_spinBox"));
    ui->port_spinBox->setRange(0, 65535);
    ui->port_spinBox->setButtonSymbols(QAbstractSpinBox::NoButtons);
    ui->port_spinBox->setGroupSeparatorShown(false);
    ui->port_spinBox->setAlignment(Qt::AlignCenter);
    grid->addWidget(ui->port_spinBox, 3, 1);

    // A switch with a status text to its right (empty while there is nothing to say).
    auto addSwitchRow = [this, grid](const QString& name, int row, QCheckBox*& box, QLabel*& status,
                                     const QString& statusName) {
        auto* line = new QHBoxLayout;
        line->setSpacing(8);
        box = new QCheckBox(ui->frame);
        box->setObjectName(name);
        line->addWidget(box);
        status = new QLabel(ui->frame);
        status->setObjectName(statusName);
        status->setStyleSheet(QStringLiteral("color: #FFC857; font-size: 12px;"));
        line->addWidget(status, 1);
        grid->addLayout(line, row, 1);
    };

    addLabel(QStringLiteral("Connect :"), 4);
    addSwitchRow(QStringLiteral("device_connect_checkBox"), 4, ui->device_connect_checkBox,
                 ui->linkStatus_label, QStringLiteral("linkStatus_label"));
    ui->device_connect_checkBox->setAccessibleName(QStringLiteral("Connect"));

    addLabel(QStringLiteral("Tracking :"), 5);
    addSwitchRow(QStringLiteral("tracking_checkBox"), 5, ui->tracking_checkBox, ui->pause_label,
                 QStringLiteral("pause_label"));
    ui->tracking_checkBox->setAccessibleName(QStringLiteral("Tracking"));
    ui->tracking_checkBox->setChecked(true);

    ui->advanced_pushButton = new QPushButton(QStringLiteral("Advanced"), ui->frame);
    ui->advanced_pushButton->setObjectName(QStringLiteral("advanced_pushButton"));
    ui->advanced_pushButton->setFixedSize(120, 24);
    grid->addWidget(ui->advanced_pushButton, 6, 0, 1, 2, Qt::AlignHCenter);
    grid->setRowStretch(7, 1);
}

// ---- settings and accessors -------------------------------------------------------------

void SoundDeviceSetting::setPresetLink(PresetLink* link) {
    if (presetLink)
        presetLink->disconnect(this);
    presetLink = link;
    if (!presetLink)
        return;
    connect(this, &SoundDeviceSetting::signal_CallTrackingPreset, presetLink,
            &PresetLink::slot_CallTrackingPreset, Qt::UniqueConnection);
    // The hold counts from the calls that reached the camera, not from the ones asked for.
    connect(presetLink, &PresetLink::signal_TrackingPresetCalled, this, [this](int preset) {
        lastCalledPreset = preset;
        lastCallMs = now();
    });
}

void SoundDeviceSetting::loadSettings() {
    const QJsonObject document = qApp->property("configDataInforJsonObject").toJsonObject();

    if (document.contains(QStringLiteral("PortMap"))) {
        const QJsonObject ports = document.value(QStringLiteral("PortMap")).toObject();
        if (ports.contains(QStringLiteral("NurveaPort"))) {
            // An edited file may hold anything; only a real port replaces the default.
            const int port = ports.value(QStringLiteral("NurveaPort")).toInt();
            if (port >= 1 && port <= 65535)
                nurvea_portInt = port;
        }
    }
    // The timing values are checked as they are read: a hand-edited or damaged file may hold
    // values that cannot be meant (a negative time, an unknown action, a threshold no array
    // reaches), which would run while the timing dialog shows something else. Those take
    // the defaults, which the next save writes back. A positive time the dialog does not
    // list is kept: the dialog shows it as an entry of its own.
    auto replaced = [](const char* key, const QJsonValue& saved, const QVariant& used) {
        qDebug() << "SoundDeviceSetting::loadSettings"
                 << "replaced" << key << saved << "by" << used;
    };
    if (document.contains(QStringLiteral("AudioTriggerLevelMap"))) {
        const QJsonObject levels = document.value(QStringLiteral("AudioTriggerLevelMap")).toObject();
        if (levels.contains(QStringLiteral("NurveaBackgroundNoise"))) {
            const QJsonValue saved = levels.value(QStringLiteral("NurveaBackgroundNoise"));
            const double noise = saved.toDouble(-1.0);
            if (saved.isDouble() && noise >= kNurevaBackgroundNoiseMin &&
                noise <= kNurevaBackgroundNoiseMax) {
                nurveaBackgroundNoise = noise;
            } else {
                nurveaBackgroundNoise = kDefaultNurevaBackgroundNoise;
                replaced("NurveaBackgroundNoise", saved, nurveaBackgroundNoise);
            }
        }
        if (levels.contains(QStringLiteral("SennheiserPeakLevel"))) {
            const QJsonValue saved = levels.value(QStringLiteral("SennheiserPeakLevel"));
            const std::optional<int> level = savedInt(saved);
            if (level && *level >= kSennheiserPeakLevelMin && *level <= kSennheiserPeakLevelMax) {
                sennheiserPeakLevel = *level;
            } else {
                sennheiserPeakLevel = kDefaultSennheiserPeakLevel;
                replaced("SennheiserPeakLevel", saved, sennheiserPeakLevel);
            }
        }
    }
    if (document.contains(QStringLiteral("SoundDeviceIndex"))) {
        const int index = document.value(QStringLiteral("SoundDeviceIndex")).toInt();
        // An index outside the list would leave the selector empty and the page without a
        // brand; keep the current selection instead.
        if (index >= 0 && index < ui->device_comboBox->count())
            ui->device_comboBox->setCurrentIndex(index);
        emit signal_SwitchSoundDevice(deviceTypeInt, deviceBrandInt);
    }
    if (document.contains(QStringLiteral("IPAddress"))) {
        ui->deviceIP_lineEdit->setText(document.value(QStringLiteral("IPAddress")).toString());
    }
    if (document.contains(QStringLiteral("BackToHomeMap"))) {
        const QJsonObject backHome = document.value(QStringLiteral("BackToHomeMap")).toObject();
        if (backHome.contains(QStringLiteral("BackToHomeTriggerTime"))) {
            const QJsonValue saved = backHome.value(QStringLiteral("BackToHomeTriggerTime"));
            const std::optional<int> time = savedInt(saved);
            if (time && (*time == kBackHomeOff || *time > 0)) {
                // A period under the floor runs as the floor (setBackHomeTimerIsStart), so
                // that is what is kept and shown.
                backHomeTimeInt =
                    *time == kBackHomeOff ? kBackHomeOff : std::max(*time, kMinBackHomePeriodMs);
            } else {
                backHomeTimeInt = kDefaultBackHomeTimeMs;
                replaced("BackToHomeTriggerTime", saved, backHomeTimeInt);
            }
        }
        if (backHome.contains(QStringLiteral("BackToHomeAction"))) {
            const QJsonValue saved = backHome.value(QStringLiteral("BackToHomeAction"));
            const std::optional<int> action = savedInt(saved);
            if (action && (*action == BackHomeToHomePosition || *action == BackHomeToPresetZero)) {
                backHomeActionInt = *action;
            } else {
                backHomeActionInt = BackHomeToHomePosition;
                replaced("BackToHomeAction", saved, backHomeActionInt);
            }
        }
    }
    if (document.contains(QStringLiteral("DelayTriggerTime"))) {
        const QJsonValue saved = document.value(QStringLiteral("DelayTriggerTime"));
        const std::optional<int> delay = savedInt(saved);
        // No delay at all (0) is a choice a user can mean: call at the first report.
        if (delay && *delay >= 0) {
            delayTriggerTime = *delay;
        } else {
            delayTriggerTime = kDefaultDelayTriggerTimeMs;
            replaced("DelayTriggerTime", saved, kDefaultDelayTriggerTimeMs);
        }
    }
    // The tracking behaviours for real rooms. A document without them (written by an older
    // version) keeps the defaults; a value that cannot be meant is replaced by its default.
    if (document.contains(QStringLiteral("AutoReconnect"))) {
        const QJsonValue saved = document.value(QStringLiteral("AutoReconnect"));
        autoReconnectOn = saved.isBool() ? saved.toBool() : kDefaultAutoReconnect;
        if (!saved.isBool())
            replaced("AutoReconnect", saved, autoReconnectOn);
    }
    if (document.contains(QStringLiteral("TrackingEnabled"))) {
        const QJsonValue saved = document.value(QStringLiteral("TrackingEnabled"));
        setTrackingEnabled(saved.isBool() ? saved.toBool() : true);
        if (!saved.isBool())
            replaced("TrackingEnabled", saved, true);
    }
    auto savedTime = [&](const char* key, int& target, int fallback) {
        const QString name = QString::fromLatin1(key);
        if (!document.contains(name))
            return;
        const QJsonValue saved = document.value(name);
        const std::optional<int> ms = savedInt(saved);
        if (ms && *ms >= 0 && *ms <= kMaxPauseMs) {
            target = *ms;
        } else {
            target = fallback;
            replaced(key, saved, fallback);
        }
    };
    savedTime("MinimumHoldTime", minimumHoldTime, kDefaultMinimumHoldTimeMs);
    savedTime("ManualOverrideTime", manualOverrideTime, kDefaultManualOverrideTimeMs);
    if (document.contains(QStringLiteral("SeveralTalkersPreset"))) {
        const QJsonValue saved = document.value(QStringLiteral("SeveralTalkersPreset"));
        const std::optional<int> preset = savedInt(saved);
        if (preset && *preset >= kSeveralTalkersOff && *preset <= 9) {
            severalTalkersPresetInt = *preset;
        } else {
            severalTalkersPresetInt = kSeveralTalkersOff;
            replaced("SeveralTalkersPreset", saved, kSeveralTalkersOff);
        }
    }
    if (deviceBrandInt == Nureva) {
        const QSignalBlocker blocker(ui->port_spinBox);
        ui->port_spinBox->setValue(nurvea_portInt);
    }
    resetPositionStates();
}

QString SoundDeviceSetting::soundDeviceText(int index) const {
    return ui->device_comboBox->itemText(index);
}

QString SoundDeviceSetting::ipAddressText() const {
    return ui->deviceIP_lineEdit->text();
}

QMap<QString, int> SoundDeviceSetting::portMap() const {
    return {{QStringLiteral("Shure"), shurePort},
            {QStringLiteral("Sennheiser"), sennheiserPort},
            {QStringLiteral("Nurvea"), nurvea_portInt},
            {QStringLiteral("Yamaha"), yamahaPort}};
}

QMap<QString, int> SoundDeviceSetting::audioTriggerLevelMap() const {
    return {{QStringLiteral("Sennheiser"), sennheiserPeakLevel},
            {QStringLiteral("Nurvea"), truncateToInt(nurveaBackgroundNoise)}};
}

QMap<QString, int> SoundDeviceSetting::backToHomeMap() const {
    return {{QStringLiteral("BackToHomeTriggerTime"), backHomeTimeInt},
            {QStringLiteral("BackToHomeAction"), backHomeActionInt}};
}

bool SoundDeviceSetting::isPolling() const {
    return pollTimer->isActive();
}

int SoundDeviceSetting::pollIntervalMs() const {
    return pollTimer->interval();
}

bool SoundDeviceSetting::isBackHomeTimerActive() const {
    return backHomeTimer->isActive();
}

int SoundDeviceSetting::backHomeTimerIntervalMs() const {
    return backHomeTimer->interval();
}

QList<int> SoundDeviceSetting::positions() const {
    QList<int> keys;
    for (const auto& entry : positionStates) keys.append(entry.first);
    return keys;
}

ArrayPositionState SoundDeviceSetting::positionState(int position) const {
    const auto found = positionStates.find(position);
    return found == positionStates.end() ? ArrayPositionState{} : found->second;
}

QComboBox* SoundDeviceSetting::deviceComboBox() const {
    return ui->device_comboBox;
}

QLineEdit* SoundDeviceSetting::ipLineEdit() const {
    return ui->deviceIP_lineEdit;
}

QSpinBox* SoundDeviceSetting::portSpinBox() const {
    return ui->port_spinBox;
}

QCheckBox* SoundDeviceSetting::connectCheckBox() const {
    return ui->device_connect_checkBox;
}

QPushButton* SoundDeviceSetting::advancedButton() const {
    return ui->advanced_pushButton;
}

QCheckBox* SoundDeviceSetting::trackingCheckBox() const {
    return ui->tracking_checkBox;
}

QLabel* SoundDeviceSetting::linkStatusLabel() const {
    return ui->linkStatus_label;
}

QLabel* SoundDeviceSetting::pauseLabel() const {
    return ui->pause_label;
}

void SoundDeviceSetting::setDevicePort(int brand, int port) {
    switch (brand) {
        case Shure:
            shurePort = port;
            break;
        case Sennheiser:
            sennheiserPort = port;
            break;
        case Nureva:
            nurvea_portInt = port;
            break;
        case Yamaha:
            yamahaPort = port;
            break;
        default:
            return;
    }
    if (brand == deviceBrandInt) {
        const QSignalBlocker blocker(ui->port_spinBox);
        ui->port_spinBox->setValue(port);
    }
}

void SoundDeviceSetting::setClock(std::function<qint64()> newClock) {
    clock = newClock ? std::move(newClock) : std::function<qint64()>(systemClock);
}

// ---- device selection and the link ------------------------------------------------------

void SoundDeviceSetting::slot_SwitchSoundDevice() {
    deviceTypeInt = ui->device_comboBox->currentIndex();
    deviceBrandInt = ui->device_comboBox->currentData().toInt();
    // A new array speaks another protocol; nothing half-read belongs to it.
    shureProtocol.reset();
    sennheiserProtocol.reset();
    yamahaProtocol.reset();

    disconnect(ui->port_spinBox, &QSpinBox::valueChanged, this, &SoundDeviceSetting::slot_PortChange);
    if (deviceBrandInt >= Shure && deviceBrandInt <= Yamaha)
        ui->port_spinBox->setValue(portOfBrand(deviceBrandInt));
    if (deviceBrandInt == Yamaha)
        yamahaRunning = false;
    ui->port_spinBox->setEnabled(deviceBrandInt == Nureva);
    connect(ui->port_spinBox, &QSpinBox::valueChanged, this, &SoundDeviceSetting::slot_PortChange);
    emit signal_SwitchSoundDevice(deviceTypeInt, deviceBrandInt);
}

int SoundDeviceSetting::portOfBrand(int brand) const {
    switch (brand) {
        case Sennheiser:
            return sennheiserPort;
        case Nureva:
            return nurvea_portInt;
        case Yamaha:
            return yamahaPort;
        default:
            return shurePort;
    }
}

void SoundDeviceSetting::slot_PortChange(int port) {
    if (deviceBrandInt == Nureva) {
        nurvea_portInt = port;
        return;
    }
    const QSignalBlocker blocker(ui->port_spinBox);
    if (deviceBrandInt >= Shure && deviceBrandInt <= Yamaha)
        ui->port_spinBox->setValue(portOfBrand(deviceBrandInt));
}

void SoundDeviceSetting::setFormEnabled(bool enabled) {
    ui->device_comboBox->setEnabled(enabled);
    ui->deviceIP_lineEdit->setEnabled(enabled);
    if (deviceBrandInt == Nureva)
        ui->port_spinBox->setEnabled(enabled);
    ui->advanced_pushButton->setEnabled(enabled);
}

bool SoundDeviceSetting::isFromOtherLink() const {
    const QObject* origin = sender();
    if (origin != tcpSocket && origin != nurvea_webSocket)
        return false;  // called directly
    return origin != (isTcpBrand() ? static_cast<const QObject*>(tcpSocket) : nurvea_webSocket);
}

void SoundDeviceSetting::slot_ConnectSoundDevice() {
    resetPositionStates();
    deviceConnected = false;

    if (!ui->device_connect_checkBox->isChecked()) {
        stopReconnecting();
        setLinkState(LinkDown);
        setFormEnabled(true);
        if (isTcpBrand()) {
            if (connectTimer->isActive()) {
                // An attempt still under way is dropped; the user ended it, so no warning.
                connectTimer->stop();
                const QSignalBlocker blocker(tcpSocket);
                tcpSocket->abort();
            }
            tcpSocket->disconnectFromHost();
            yamahaRunning = false;
        } else {
            connectTimer->stop();
            pingTimer->stop();
            nurvea_webSocket->close(QWebSocketProtocol::CloseCodeNormal, QString());
        }
        return;
    }

    setFormEnabled(false);
    reconnectTimer->stop();
    // An address that does not parse ends the attempt quietly for every brand, so a saved
    // empty address never leaves the form locked with nothing connecting (nor retrying).
    addressUsable = hostAddress.setAddress(ui->deviceIP_lineEdit->text());
    if (!addressUsable) {
        slot_DisconnectedDevice();
        return;
    }

    if (!isTcpBrand()) {
        webSocketUrl = QUrl(QStringLiteral("ws://%1:%2").arg(hostAddress.toString()).arg(nurvea_portInt));
        // Neither a retry nor the user's own connect may hang on an unreachable array or one
        // that accepts and never answers the handshake: the same 5 s as the TCP brands.
        connectTimer->start(kConnectTimeoutMs);
        nurvea_webSocket->open(webSocketUrl);
        return;
    }

    const int port = portOfBrand(deviceBrandInt);
    yamahaRunning = false;
    {
        // A previous link still flushing its close would report its end from abort(); that
        // end is not this attempt's.
        const QSignalBlocker blocker(tcpSocket);
        tcpSocket->abort();
    }
    shureProtocol.reset();
    sennheiserProtocol.reset();
    yamahaProtocol.reset();
    // The attempt runs in the background: waiting for it here would freeze the window for as
    // long as an unreachable address takes to fail. The connected signal, a socket error or
    // connectTimer settles it.
    connectTimer->start(kConnectTimeoutMs);
    tcpSocket->connectToHost(hostAddress.toString(), static_cast<quint16>(port), QIODevice::ReadWrite,
                             QAbstractSocket::AnyIPProtocol);
}

bool SoundDeviceSetting::isConnecting() const {
    return connectTimer->isActive();
}

void SoundDeviceSetting::connectAttemptFailed() {
    connectTimer->stop();
    {
        // The attempt is over; its socket must not report anything more about it.
        const QSignalBlocker tcpBlocker(tcpSocket);
        const QSignalBlocker webSocketBlocker(nurvea_webSocket);
        if (isTcpBrand())
            tcpSocket->abort();
        else
            nurvea_webSocket->abort();
    }
    // A failed retry is expected until the array is back: it only schedules the next one.
    const bool wasRetrying = retrying;
    slot_DisconnectedDevice();
    if (!wasRetrying)
        emit signal_WarningMessage(kCannotConnect);
}

void SoundDeviceSetting::setLinkState(LinkState state) {
    ui->linkStatus_label->setText(state == LinkReconnecting ? kReconnecting : QString());
    if (state == linkStateValue)
        return;
    linkStateValue = state;
    emit signal_LinkStateChanged(state);
}

int SoundDeviceSetting::reconnectDelayMs() const {
    return reconnectTimer->isActive() ? reconnectTimer->interval() : 0;
}

void SoundDeviceSetting::scheduleReconnect() {
    setLinkState(LinkReconnecting);
    if (reconnectTimer->isActive())
        return;
    constexpr int steps = static_cast<int>(std::size(kReconnectDelaysMs));
    reconnectTimer->start(kReconnectDelaysMs[std::min(reconnectAttempts, steps - 1)]);
}

void SoundDeviceSetting::stopReconnecting() {
    reconnectTimer->stop();
    retrying = false;
    reconnectAttempts = 0;
}

void SoundDeviceSetting::slot_Reconnect() {
    reconnectTimer->stop();
    if (!retrying || !ui->device_connect_checkBox->isChecked())
        return;
    ++reconnectAttempts;
    // An array that stays away for a day must not fill the log: one line per period, with
    // the number of attempts it stands for.
    const qint64 timeMs = now();
    if (lastReconnectLogMs == 0 || timeMs - lastReconnectLogMs >= kReconnectLogPeriodMs) {
        qInfo().noquote()
            << QStringLiteral("SoundDeviceSetting: reconnect attempt %1 to %2 (%3 more since the last line)")
                   .arg(reconnectAttempts)
                   .arg(ui->deviceIP_lineEdit->text())
                   .arg(suppressedReconnectLogs);
        lastReconnectLogMs = timeMs;
        suppressedReconnectLogs = 0;
    } else {
        ++suppressedReconnectLogs;
    }
    slot_ConnectSoundDevice();
}

void SoundDeviceSetting::slot_AutoReconnectChange(bool on) {
    autoReconnectOn = on;
    if (!on && retrying) {
        // Nothing is linked and nothing will be: the page goes back to idle as after a loss
        // without reconnecting.
        {
            const QSignalBlocker blocker(ui->device_connect_checkBox);
            ui->device_connect_checkBox->setChecked(false);
        }
        slot_ConnectSoundDevice();
    }
}

void SoundDeviceSetting::slot_ConnectedDevice() {
    if (isFromOtherLink())
        return;
    connectTimer->stop();
    reconnectTimer->stop();
    reconnectAttempts = 0;
    retrying = false;
    lossWarned = false;
    setFormEnabled(false);
    pollTimer->stop();
    if (deviceBrandInt == Nureva) {
        requestId = QUuid::createUuid();
        nurvea_webSocket->sendTextMessage(NurevaProtocol::subscribeRequest(requestId));
    }
    pollTimer->start(deviceBrandInt == Yamaha ? kYamahaWaitingPollIntervalMs : kPollIntervalMs);
    lastReplyMs = now();
    lastPongMs = now();
    if (deviceBrandInt == Nureva)
        pingTimer->start(kPingIntervalMs);
    deviceConnected = true;
    // A Yamaha array meters only once asked, and only after it said it runs: the first
    // question goes out now rather than a whole waiting poll later, or a talker in the
    // first second of a link would wait for it.
    if (deviceBrandInt == Yamaha)
        slot_SoundArrayPolling();
    setLinkState(LinkUp);
}

void SoundDeviceSetting::pingDevice() {
    if (now() - lastPongMs >= kPongTimeoutMs) {
        linkLost();
        return;
    }
    nurvea_webSocket->ping();
}

void SoundDeviceSetting::linkLost() {
    qDebug() << "SoundDeviceSetting::linkLost"
             << "no answer from the array";
    {
        // A polite close would wait for an answer that is not coming; the socket's own end
        // must not be reported on top of this one.
        const QSignalBlocker tcpBlocker(tcpSocket);
        const QSignalBlocker webSocketBlocker(nurvea_webSocket);
        if (deviceBrandInt == Nureva)
            nurvea_webSocket->abort();
        else
            tcpSocket->abort();
    }
    slot_DisconnectedDevice();
    warnLoss();
}

void SoundDeviceSetting::warnLoss() {
    if (lossWarned)
        return;
    lossWarned = true;
    emit signal_WarningMessage(kConnectionLoss);
}

void SoundDeviceSetting::turnLightsOff() {
    for (const auto& entry : positionStates) emit signal_GetShureSoundDeviceArrayPosState(entry.first, false);
}

void SoundDeviceSetting::slot_DisconnectedDevice() {
    qDebug() << "SoundDeviceSetting::slot_DisconnectedDevice";
    if (isFromOtherLink())
        return;
    const bool wasUp = deviceConnected;
    const bool connectOn = ui->device_connect_checkBox->isChecked();
    backHomeTimer->stop();
    pollTimer->stop();
    connectTimer->stop();
    pingTimer->stop();
    triggerTimer->stop();
    azimuthTalker = 0;
    if (deviceBrandInt == Nureva) {
        if (nurvea_webSocket->state() == QAbstractSocket::ConnectedState) {
            nurvea_webSocket->close(QWebSocketProtocol::CloseCodeNormal, QString());
        } else {
            // Closing a socket that is not connected reports "not connected" later, when a
            // retry may already have linked again, and would tear down the new link.
            const QSignalBlocker blocker(nurvea_webSocket);
            nurvea_webSocket->abort();
        }
        // The states stay as they are, but a lit position would claim a talker that nobody
        // can know about any more.
        turnLightsOff();
    } else {
        resetPositionStates();
        // May re-enter this slot through the disconnected signal; every step here is
        // idempotent.
        tcpSocket->disconnectFromHost();
    }
    shureProtocol.reset();
    sennheiserProtocol.reset();
    yamahaProtocol.reset();
    deviceConnected = false;
    yamahaRunning = false;
    updateTalkerPosition();
    // A link that was up, or the connect at start, comes back by itself: Connect stays on
    // and the form locked while the page retries.
    if (autoReconnectOn && connectOn && addressUsable && (wasUp || retrying)) {
        retrying = true;
        if (wasUp)
            warnLoss();
        setFormEnabled(false);
        scheduleReconnect();
        return;
    }
    stopReconnecting();
    setLinkState(LinkDown);
    setFormEnabled(true);
    {
        const QSignalBlocker blocker(ui->device_connect_checkBox);
        ui->device_connect_checkBox->setChecked(false);
    }
}

void SoundDeviceSetting::slot_ConnectError(QAbstractSocket::SocketError error) {
    if (isFromOtherLink())
        return;
    if (connectTimer->isActive() && !deviceConnected) {
        // The attempt under way failed before its time was up: settled once, here.
        qDebug() << "SoundDeviceSetting::slot_ConnectError" << error
                 << (isTcpBrand() ? tcpSocket->errorString() : nurvea_webSocket->errorString());
        connectAttemptFailed();
        return;
    }
    pollTimer->stop();
    pingTimer->stop();
    qDebug() << "SoundDeviceSetting::slot_ConnectError" << error
             << (deviceBrandInt == Nureva ? nurvea_webSocket->errorString() : tcpSocket->errorString());
    if (deviceConnected) {
        warnLoss();
    } else if (retrying) {
        // A failed retry of the WebSocket link: on to the next one.
        connectTimer->stop();
        slot_DisconnectedDevice();
    } else {
        emit signal_WarningMessage(kCannotConnect);
    }
}

void SoundDeviceSetting::slot_StartAutoConnect() {
    // The array may boot later than this computer: the connect at start retries until it
    // answers (unless reconnecting is switched off).
    retrying = autoReconnectOn;
    reconnectAttempts = 0;
    {
        const QSignalBlocker blocker(ui->device_connect_checkBox);
        ui->device_connect_checkBox->setChecked(true);
    }
    ui->device_connect_checkBox->repaint();
    QThread::usleep(200);
    slot_ConnectSoundDevice();
}

// ---- polling ----------------------------------------------------------------------------

bool SoundDeviceSetting::writeToDevice(std::string_view bytes) {
    return tcpSocket->write(bytes.data(), static_cast<qint64>(bytes.size())) >= 0;
}

void SoundDeviceSetting::slot_SoundArrayPolling() {
    // The Nureva array pushes its reports; its link is kept by the ping timer. (A text
    // message used as a heartbeat is a request to the array, which it may take badly.)
    if (deviceBrandInt == Nureva)
        return;
    if (tcpSocket->state() != QAbstractSocket::ConnectedState)
        return;
    // Every poll is answered, so an array that has said nothing for this long is gone, even
    // though its connection may stay open for minutes.
    if (now() - lastReplyMs >= kReplyTimeoutMs) {
        linkLost();
        return;
    }

    bool lastWriteOk = true;
    switch (deviceBrandInt) {
        case Shure:
            for (const std::string& request : ShureProtocol::pollRequests(autoCoverage))
                lastWriteOk = writeToDevice(request);
            break;
        case Sennheiser: {
            const QByteArray request = SennheiserProtocol::pollRequest();
            lastWriteOk = tcpSocket->write(request) >= 0;
            break;
        }
        case Yamaha:
            lastWriteOk = writeToDevice(YamahaProtocol::pollRequest(yamahaRunning));
            break;
        default:
            return;
    }
    if (!tcpSocket->flush() || !lastWriteOk)
        slot_DisconnectedDevice();
}

// ---- receiving --------------------------------------------------------------------------

void SoundDeviceSetting::slot_ReceiveFromDevice() {
    if (!sender() || sender()->objectName() != QLatin1String("tcpSocket"))
        return;
    while (tcpSocket->bytesAvailable() > 0) {
        const QByteArray chunk = tcpSocket->readAll();
        if (chunk.isEmpty())
            break;
        lastReplyMs = now();
        const std::string_view bytes(chunk.constData(), static_cast<std::size_t>(chunk.size()));
        switch (deviceBrandInt) {
            case Shure:
                handleShureEvents(shureProtocol.feed(bytes));
                break;
            case Sennheiser:
                handleSennheiserEvents(sennheiserProtocol.feed(bytes));
                break;
            case Yamaha:
                for (const YamahaEvent& event : yamahaProtocol.feed(bytes)) {
                    handleYamahaEvent(event);
                    if (tcpSocket->state() != QAbstractSocket::ConnectedState)
                        break;
                }
                break;
            default:
                break;
        }
        // A reaction above may have ended the link.
        if (tcpSocket->state() != QAbstractSocket::ConnectedState)
            break;
    }
}

ArrayPositionState& SoundDeviceSetting::stateOf(int position) {
    return positionStates[position];
}

void SoundDeviceSetting::applyShurePeak(ArrayPositionState& state, int level, qint64 timeMs) {
    state.level = level;
    if (!state.active)
        return;
    if (level >= 1) {
        if (state.onSince == 0)
            state.onSince = timeMs;
        state.offSince = 0;
    } else if (level == 0) {
        if (state.offSince == 0)
            state.offSince = timeMs;
        state.onSince = 0;
    }
}

void SoundDeviceSetting::handleShureEvents(const std::vector<ShureEvent>& events) {
    for (const ShureEvent& event : events) {
        switch (event.kind) {
            case ShureEvent::AutoCoverage:
                if (event.on != autoCoverage) {
                    // The gates now come from another query that numbers other things
                    // (channels or coverage areas): what the old one reported means nothing
                    // any more, and a gate it left open would hold a talker forever.
                    autoCoverage = event.on;
                    resetPositionStates();
                }
                break;
            case ShureEvent::Gate:
            case ShureEvent::AreaGate: {
                // In automatic coverage only the coverage areas' gates name positions (the
                // all-channel query then reports just the automix output); otherwise only
                // the channels' gates do. A reply to a query made before the mode changed
                // is the other kind and is ignored.
                if ((event.kind == ShureEvent::AreaGate) != autoCoverage)
                    break;
                ArrayPositionState& state = stateOf(event.channel);
                if (event.on && !state.active) {
                    state.active = true;
                    emit signal_GetShureSoundDeviceArrayPosState(event.channel, true);
                } else if (!event.on && state.active) {
                    state.clear();
                    state.level = 0;
                    emit signal_GetShureSoundDeviceArrayPosState(event.channel, false);
                }
                break;
            }
            case ShureEvent::PeakLevel: {
                if (!autoCoverage && event.channel < 9) {
                    const auto found = positionStates.find(event.channel);
                    if (found != positionStates.end())
                        applyShurePeak(found->second, event.level, now());
                }
                nowMSecs = now();
                bool talkerPresent = false;
                for (auto& [position, state] : positionStates) {
                    // With auto coverage the array reports one level for the whole room.
                    if (autoCoverage)
                        applyShurePeak(state, event.level, nowMSecs);
                    if (state.active && state.level > 0) {
                        talkerPresent = true;
                        // A gate that opened while a level was already held has no talking
                        // period yet; it starts now, so the preset waits the full delay.
                        if (state.onSince == 0)
                            state.onSince = nowMSecs;
                        emit signal_GetShureSoundDeviceArrayPosState(position, true);
                    } else if (state.active) {
                        if (nowMSecs - state.offSince >= delayTriggerTime) {
                            emit signal_GetShureSoundDeviceArrayPosState(position, false);
                        }
                    } else {
                        emit signal_GetShureSoundDeviceArrayPosState(position, false);
                    }
                }
                // The calls follow the lights, so the preset-link page counts the gates
                // as this report left them.
                callDuePresets();
                scheduleTriggerCheck();
                setBackHomeTimerIsStart(!talkerPresent);
                break;
            }
        }
    }
}

void SoundDeviceSetting::handleSennheiserEvents(const std::vector<SennheiserEvent>& events) {
    for (const SennheiserEvent& event : events) {
        if (event.kind == SennheiserEvent::PeakLevel) {
            currentPeakLevel = event.value;
            continue;
        }
        const int azimuth = event.value;
        const int position = positionForAzimuth(azimuth);
        if (position < 1) {
            azimuthTalker = 0;
            setBackHomeTimerIsStart(true);
            continue;
        }
        ArrayPositionState& state = stateOf(position);
        nowMSecs = now();
        for (auto& entry : positionStates) entry.second.level = currentPeakLevel;
        state.active = true;
        const bool talker = currentPeakLevel > sennheiserPeakLevel;
        setBackHomeTimerIsStart(!evaluateAzimuthReport(position, azimuth, talker));
    }
}

void SoundDeviceSetting::handleYamahaEvent(const YamahaEvent& event) {
    if (event.kind == YamahaEvent::RunModeNormal) {
        yamahaRunning = true;
        writeToDevice(YamahaProtocol::kMeteringRequest);
        writeToDevice(YamahaProtocol::kKeepAliveRequest);
        pollTimer->start(kPollIntervalMs);
        return;
    }
    qDebug() << "SoundDeviceSetting::processYamahaMessage"
             << "phi:" << event.phi << "theta:" << event.theta << "voice:" << event.voice;
    const int position = positionForAzimuth(event.phi);
    if (position < 1) {
        azimuthTalker = 0;
        setBackHomeTimerIsStart(true);
        return;
    }
    ArrayPositionState& state = stateOf(position);
    nowMSecs = now();
    state.active = true;
    setBackHomeTimerIsStart(!evaluateAzimuthReport(position, event.phi, event.voice != 0));
}

void SoundDeviceSetting::processYamahaMessage(const QString& message) {
    const QByteArray text = message.toUtf8();
    for (const YamahaEvent& event :
         YamahaProtocol::parse(std::string_view(text.constData(), static_cast<std::size_t>(text.size())))) {
        if (event.kind == YamahaEvent::BeamDirection)
            handleYamahaEvent(event);
    }
}

void SoundDeviceSetting::slot_ReceiveNurveaMessage(QString message) {
    if (!sender() || sender()->objectName() != QLatin1String("nurvea_webSocket"))
        return;
    const std::optional<NurevaReport> report = NurevaProtocol::parse(message);
    if (!report)
        return;

    const int position = positionForAzimuth(report->azimuth);
    nowMSecs = now();
    if (report->powerLevel > 0 && position > 0) {
        ArrayPositionState& state = stateOf(position);
        state.reportTime = report->timeMs;
        state.level = report->powerLevelInt();
        const bool talker = report->powerLevel > nurveaBackgroundNoise;
        setBackHomeTimerIsStart(!evaluateAzimuthReport(position, report->azimuth, talker));
        return;
    }
    azimuthTalker = 0;
    emit signal_GetNurveaAzimuth(kSilentAzimuth);
    setBackHomeTimerIsStart(true);
    qDebug() << "SoundDeviceSetting::slot_ReceiveNurveaMessage"
             << "power level 0 azimuthInt:" << report->azimuth << " soundArrayPos:" << position;
    for (auto& entry : positionStates) entry.second = ArrayPositionState{};
}

int SoundDeviceSetting::positionForAzimuth(int azimuth) const {
    if (!presetLink)
        return -1;
    const int position = presetLink->positionForAzimuth(azimuth);
    return position >= 1 && position <= kPositionCount ? position : -1;
}

void SoundDeviceSetting::emitAzimuth(int azimuth) {
    switch (deviceBrandInt) {
        case Sennheiser:
            emit signal_GetSennheiserTCC2Azimuth(azimuth);
            break;
        case Nureva:
            emit signal_GetNurveaAzimuth(azimuth);
            break;
        case Yamaha:
            emit signal_GetYamahaAzimuth(azimuth);
            break;
        default:
            break;
    }
}

bool SoundDeviceSetting::evaluateAzimuthReport(int position, int azimuth, bool talker) {
    bool talkerPresent = false;
    for (auto& [key, state] : positionStates) {
        if (key != position) {
            state.clear();
            continue;
        }
        if (talker) {
            emitAzimuth(azimuth);
            if (state.onSince == 0)
                state.onSince = nowMSecs;
            state.offSince = 0;
            talkerPresent = true;
            silenceCount = 0;
        } else if (silenceCount > kSilentReportsBeforeTiming) {
            // The silent period is timed from the first report after the counted ones; the
            // lights go out a little earlier than a talker would trigger, by the time the
            // counted reports already took.
            state.onSince = 0;
            if (state.offSince == 0)
                state.offSince = nowMSecs;
            if (nowMSecs - state.offSince >= delayTriggerTime - silenceCount * 100LL) {
                emitAzimuth(kSilentAzimuth);
                // Nureva keeps counting, so every further silent report repeats the 400.
                if (deviceBrandInt != Nureva)
                    silenceCount = 0;
            }
        } else {
            ++silenceCount;
        }
    }
    azimuthTalker = talkerPresent ? position : 0;
    callDuePresets();
    scheduleTriggerCheck();
    return talkerPresent;
}

std::vector<int> SoundDeviceSetting::talkingPositions() const {
    std::vector<int> talking;
    if (deviceBrandInt == Shure) {
        for (const auto& [position, state] : positionStates) {
            if (state.active && state.level > 0 && state.onSince != 0)
                talking.push_back(position);
        }
    } else if (azimuthTalker > 0) {
        const auto found = positionStates.find(azimuthTalker);
        if (found != positionStates.end() && found->second.onSince != 0)
            talking.push_back(azimuthTalker);
    }
    return talking;
}

void SoundDeviceSetting::callDuePresets() {
    const qint64 timeMs = now();
    blockedUntilMs = 0;
    updateTalkerPosition();
    const std::vector<int> talking = talkingPositions();
    std::vector<int> due;
    for (const int position : talking) {
        if (timeMs - positionStates[position].onSince >= delayTriggerTime)
            due.push_back(position);
    }

    // Several talkers (arrays that report several gates at once): while two or more have
    // talked for the delay the camera shows the shot chosen for them; a talker left alone
    // gets the camera back once alone for the delay.
    if (deviceBrandInt == Shure && severalTalkersPresetInt != kSeveralTalkersOff) {
        if (due.size() >= 2) {
            severalTalkersShown = true;
            soloSince = 0;
            if (!trackingMayAct())
                return;
            if (heldAgainst(severalTalkersPresetInt))
                blockedUntilMs = lastCallMs + minimumHoldTime;
            else
                emit signal_CallTrackingPreset(severalTalkersPresetInt);
            return;
        }
        if (severalTalkersShown) {
            if (talking.empty()) {
                severalTalkersShown = false;
                soloSince = 0;
            } else if (talking.size() == 1) {
                if (soloSince == 0)
                    soloSince = timeMs;
                if (timeMs - soloSince < delayTriggerTime) {
                    blockedUntilMs = soloSince + delayTriggerTime;
                    return;
                }
                severalTalkersShown = false;
                soloSince = 0;
            } else {
                return;
            }
        }
    }

    if (due.empty() || !trackingMayAct())
        return;
    for (const int position : due) {
        if (heldAgainst(presetOfPosition(position))) {
            blockedUntilMs = lastCallMs + minimumHoldTime;
            continue;
        }
        emit signal_CallCameraPreset(position);
    }
}

int SoundDeviceSetting::presetOfPosition(int position) const {
    return presetLink ? presetLink->presetMap().value(position, 0) : -1;
}

bool SoundDeviceSetting::heldAgainst(int preset) const {
    return minimumHoldTime > 0 && lastCallMs != 0 && preset >= 0 && preset != lastCalledPreset &&
           now() - lastCallMs < minimumHoldTime;
}

void SoundDeviceSetting::updateTalkerPosition() {
    // The talker who has talked longest is the one the camera follows first.
    int talker = 0;
    qint64 since = LLONG_MAX;
    if (deviceConnected) {
        for (const int position : talkingPositions()) {
            const qint64 onSince = positionStates[position].onSince;
            if (onSince < since) {
                since = onSince;
                talker = position;
            }
        }
    }
    if (talker == talkerPositionInt)
        return;
    talkerPositionInt = talker;
    emit signal_TalkerPositionChanged(talker);
}

void SoundDeviceSetting::scheduleTriggerCheck() {
    const qint64 timeMs = now();
    qint64 next = blockedUntilMs > timeMs ? blockedUntilMs : LLONG_MAX;
    for (const int position : talkingPositions()) {
        const qint64 due = positionStates[position].onSince + delayTriggerTime;
        if (due > timeMs)
            next = std::min(next, due);
    }
    if (next == LLONG_MAX) {
        triggerTimer->stop();
        return;
    }
    triggerDueMs = next;
    triggerTimer->start(static_cast<int>(std::clamp<qint64>(next - timeMs, 1, INT_MAX)));
}

void SoundDeviceSetting::runTriggerCheck() {
    if (!deviceConnected)
        return;
    callDuePresets();
    scheduleTriggerCheck();
}

bool SoundDeviceSetting::isTriggerCheckPending() const {
    return triggerTimer->isActive();
}

qint64 SoundDeviceSetting::triggerCheckDueInMs() const {
    return triggerTimer->isActive() ? triggerDueMs - now() : 0;
}

// ---- return home ------------------------------------------------------------------------

void SoundDeviceSetting::setBackHomeTimerIsStart(bool isStart) {
    if (isStart && !backHomeTimer->isActive()) {
        // "Off" is -1; a zero period would fire on every pass of the event loop.
        if (backHomeTimeInt <= 0)
            return;
        backHomeTimer->start(std::max(backHomeTimeInt, kMinBackHomePeriodMs));
        qDebug() << "SoundDeviceSetting::setBackHomeTimerIsStart"
                 << "isStart:" << isStart;
    } else if (!isStart && backHomeTimer->isActive()) {
        backHomeTimer->stop();
        qDebug() << "SoundDeviceSetting::setBackHomeTimerIsStart"
                 << "isStart:" << isStart;
    }
}

void SoundDeviceSetting::slot_CallBackToHome() {
    if (!trackingMayAct())
        return;
    if (backHomeActionInt == BackHomeToHomePosition) {
        emit signal_AddUSBCommand(4, 25);
    } else if (backHomeActionInt == BackHomeToPresetZero) {
        emit signal_AddUSBCommand(1, 0);
    }
}

void SoundDeviceSetting::resetPositionStates() {
    triggerTimer->stop();
    azimuthTalker = 0;
    severalTalkersShown = false;
    soloSince = 0;
    for (auto& [position, state] : positionStates) {
        state.active = false;
        state.level = 0;
        state.onSince = 0;
        state.offSince = 0;
        emit signal_GetShureSoundDeviceArrayPosState(position, false);
    }
    updateTalkerPosition();
}

// ---- timing dialog ----------------------------------------------------------------------

void SoundDeviceSetting::slot_AdvancedSetting() {
    if (!advancedSetting) {
        advancedSetting = new AdvancedSetting(this);
        connect(advancedSetting, &AdvancedSetting::signal_AudioTriggerLevelChange, this,
                &SoundDeviceSetting::slot_AudioTriggerLevelChange);
        connect(advancedSetting, &AdvancedSetting::signal_DelayTriggerTimeChange, this,
                &SoundDeviceSetting::slot_DelayTriggerTimeChange);
        connect(advancedSetting, &AdvancedSetting::signal_BackToHomeTriggerTimeChange, this,
                &SoundDeviceSetting::slot_BackToHomeTriggerTimeChange);
        connect(advancedSetting, &AdvancedSetting::signal_BackToHomeActionChange, this,
                &SoundDeviceSetting::slot_BackToHomeActionChange);
        connect(advancedSetting, &AdvancedSetting::signal_AutoReconnectChange, this,
                &SoundDeviceSetting::slot_AutoReconnectChange);
        connect(advancedSetting, &AdvancedSetting::signal_MinimumHoldTimeChange, this,
                &SoundDeviceSetting::slot_MinimumHoldTimeChange);
        connect(advancedSetting, &AdvancedSetting::signal_SeveralTalkersPresetChange, this,
                &SoundDeviceSetting::slot_SeveralTalkersPresetChange);
        connect(advancedSetting, &AdvancedSetting::signal_ManualOverrideTimeChange, this,
                &SoundDeviceSetting::slot_ManualOverrideTimeChange);
    }
    advancedSetting->setValues(deviceTypeInt, deviceBrandInt, sennheiserPeakLevel,
                               truncateToInt(nurveaBackgroundNoise),
                               static_cast<int>(std::clamp<qint64>(delayTriggerTime, INT_MIN, INT_MAX)),
                               backHomeTimeInt, backHomeActionInt);
    advancedSetting->setTrackingValues(autoReconnectOn, minimumHoldTime, severalTalkersPresetInt,
                                       manualOverrideTime);
    advancedSetting->exec();
}

void SoundDeviceSetting::slot_AudioTriggerLevelChange(int audioTriggerLevel) {
    if (deviceBrandInt == Nureva) {
        nurveaBackgroundNoise = audioTriggerLevel;
    } else if (deviceBrandInt == Sennheiser) {
        sennheiserPeakLevel = audioTriggerLevel;
    }
}

void SoundDeviceSetting::slot_DelayTriggerTimeChange(int delayTimeInt) {
    delayTriggerTime = delayTimeInt;
    scheduleTriggerCheck();
}

void SoundDeviceSetting::slot_BackToHomeTriggerTimeChange(int newBackHomeTimeInt) {
    backHomeTimer->stop();
    backHomeTimeInt = newBackHomeTimeInt;
}

void SoundDeviceSetting::slot_BackToHomeActionChange(int newBackHomeActionInt) {
    backHomeActionInt = newBackHomeActionInt;
}

void SoundDeviceSetting::slot_MinimumHoldTimeChange(int ms) {
    minimumHoldTime = std::clamp(ms, 0, kMaxPauseMs);
}

void SoundDeviceSetting::slot_SeveralTalkersPresetChange(int preset) {
    severalTalkersPresetInt = preset >= 0 && preset <= 9 ? preset : kSeveralTalkersOff;
    if (severalTalkersPresetInt == kSeveralTalkersOff) {
        severalTalkersShown = false;
        soloSince = 0;
    }
}

void SoundDeviceSetting::slot_ManualOverrideTimeChange(int ms) {
    manualOverrideTime = std::clamp(ms, 0, kMaxPauseMs);
}

// ---- tracking switch and manual override ------------------------------------------------

void SoundDeviceSetting::setTrackingEnabled(bool on) {
    {
        const QSignalBlocker blocker(ui->tracking_checkBox);
        ui->tracking_checkBox->setChecked(on);
    }
    if (on == trackingEnabled)
        return;
    trackingEnabled = on;
    // The camera may have been moved by hand while tracking was off: the talker's preset
    // goes out again even if tracking called it last.
    if (on && presetLink)
        presetLink->forgetLastPreset();
    updatePauseLabel();
    emit signal_TrackingStateChanged();
    if (on)
        runTriggerCheck();
}

void SoundDeviceSetting::pauseTracking(int ms) {
    if (ms <= 0) {
        if (pauseUntilMs == 0)
            return;
        pauseUntilMs = 0;
        updatePauseLabel();
        emit signal_TrackingStateChanged();
        runTriggerCheck();
        return;
    }
    endPauseIfOver();
    const bool began = pauseUntilMs == 0;
    pauseUntilMs = now() + std::min(ms, kMaxPauseMs);
    // The operator moved the camera: after the pause the talker's preset goes out again even
    // if tracking called it last.
    if (presetLink)
        presetLink->forgetLastPreset();
    updatePauseLabel();
    if (began)
        emit signal_TrackingStateChanged();
}

int SoundDeviceSetting::trackingPauseRemainingMs() const {
    if (pauseUntilMs == 0)
        return 0;
    return static_cast<int>(std::clamp<qint64>(pauseUntilMs - now(), 0, kMaxPauseMs));
}

void SoundDeviceSetting::slot_ManualOverride() {
    if (manualOverrideTime > 0)
        pauseTracking(manualOverrideTime);
}

bool SoundDeviceSetting::trackingMayAct() {
    if (!trackingEnabled)
        return false;
    endPauseIfOver();
    return pauseUntilMs == 0;
}

void SoundDeviceSetting::endPauseIfOver() {
    if (pauseUntilMs == 0 || now() < pauseUntilMs)
        return;
    pauseUntilMs = 0;
    updatePauseLabel();
    emit signal_TrackingStateChanged();
}

void SoundDeviceSetting::updatePauseLabel() {
    const int remaining = trackingPauseRemainingMs();
    if (remaining <= 0 || !trackingEnabled) {
        ui->pause_label->clear();
        // While tracking is off a pause keeps running; its end is still noticed.
        if (remaining > 0)
            pauseTimer->start(remaining);
        else
            pauseTimer->stop();
        return;
    }
    ui->pause_label->setText(QStringLiteral("Tracking paused (%1 s)").arg((remaining + 999) / 1000));
    // Next refresh when the shown number changes (or the pause ends).
    pauseTimer->start(remaining % 1000 == 0 ? 1000 : remaining % 1000);
}
