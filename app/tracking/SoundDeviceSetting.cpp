#include "SoundDeviceSetting.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>

#include "AdvancedSetting.h"
#include "TrackingEngine.h"
#include "arrays/WireNumber.h"

namespace {

const QString kReconnecting = QStringLiteral("Reconnecting\u2026");

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
    QPushButton* trackingLog_pushButton = nullptr;
};

SoundDeviceSetting::SoundDeviceSetting(QWidget* parent) : SoundDeviceSetting(nullptr, nullptr, parent) {}

SoundDeviceSetting::SoundDeviceSetting(ArrayLink* link, TrackingEngine* engine, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui>()), _link(link), _engine(engine) {
    buildForm();
    if (!_link)
        _link = new ArrayLink(this);
    if (!_engine) {
        _engine = new TrackingEngine(this);
        _engine->setLink(_link);
    }
    // Filled and selected before anything is connected, so construction emits nothing.
    for (const ArrayDevices::Entry& device : ArrayDevices::kDevices)
        ui->device_comboBox->addItem(QString::fromLatin1(device.text), int(device.brand));
    ui->device_comboBox->setItemData(3, QStringLiteral("TeamConnect Celling 2"), Qt::ToolTipRole);
    ui->device_comboBox->setCurrentIndex(ArrayDevices::kDefaultIndex);
    deviceTypeInt = ArrayDevices::kDefaultIndex;
    deviceBrandInt = ArrayDevices::brandOf(deviceTypeInt);
    ui->port_spinBox->setValue(_engine->settings().portOfBrand(deviceBrandInt));
    ui->port_spinBox->setEnabled(false);
    ui->tracking_checkBox->setChecked(_engine->isTrackingEnabled());
    _link->setBrand(deviceBrandInt);
    _engine->setDevice(deviceTypeInt, deviceBrandInt);
    attach();
    resetPositionStates();
}

SoundDeviceSetting::~SoundDeviceSetting() {
    pauseTimer->stop();
    // The link and the engine may outlive the page (the window's): nothing of theirs may
    // reach a page that is half gone.
    _link->disconnect(this);
    _engine->disconnect(this);
}

void SoundDeviceSetting::attach() {
    pauseTimer = new QTimer(this);
    pauseTimer->setObjectName(QStringLiteral("pauseTimer"));
    pauseTimer->setSingleShot(true);
    connect(pauseTimer, &QTimer::timeout, this, &SoundDeviceSetting::updatePauseLabel);

    connect(_link, &ArrayLink::signal_Up, this, &SoundDeviceSetting::slot_ConnectedDevice);
    connect(_link, &ArrayLink::signal_Ended, this, &SoundDeviceSetting::slot_DisconnectedDevice);
    connect(_link, &ArrayLink::signal_StateChanged, this, &SoundDeviceSetting::setLinkState);
    connect(_link, &ArrayLink::signal_Warning, this, &SoundDeviceSetting::signal_WarningMessage);

    connect(_engine, &TrackingEngine::signal_Light, this,
            &SoundDeviceSetting::signal_GetShureSoundDeviceArrayPosState);
    connect(_engine, &TrackingEngine::signal_Azimuth, this, &SoundDeviceSetting::emitAzimuth);
    connect(_engine, &TrackingEngine::signal_PositionDue, this, &SoundDeviceSetting::signal_CallCameraPreset);
    connect(_engine, &TrackingEngine::signal_TalkerPositionChanged, this,
            &SoundDeviceSetting::signal_TalkerPositionChanged);
    connect(_engine, &TrackingEngine::signal_TrackingCommand, this,
            &SoundDeviceSetting::signal_AddUSBCommand);
    connect(_engine, &TrackingEngine::signal_TrackingStateChanged, this, [this] {
        {
            const QSignalBlocker blocker(ui->tracking_checkBox);
            ui->tracking_checkBox->setChecked(_engine->isTrackingEnabled());
        }
        updatePauseLabel();
        emit signal_TrackingStateChanged();
    });

    connect(ui->device_connect_checkBox, &QCheckBox::clicked, this, [this] {
        // A connect the user starts reports a failure instead of retrying.
        connectRetries = false;
        slot_ConnectSoundDevice();
    });
    // toggled, not clicked: assistive technologies toggle the box without clicking it.
    connect(ui->tracking_checkBox, &QCheckBox::toggled, this, &SoundDeviceSetting::setTrackingEnabled);
    connect(ui->device_comboBox, &QComboBox::currentIndexChanged, this,
            &SoundDeviceSetting::slot_SwitchSoundDevice);
    connect(ui->advanced_pushButton, &QPushButton::clicked, this, &SoundDeviceSetting::slot_AdvancedSetting);
    connect(ui->trackingLog_pushButton, &QPushButton::clicked, this,
            &SoundDeviceSetting::signal_ShowTrackingLog);
    connect(ui->port_spinBox, &QSpinBox::valueChanged, this, &SoundDeviceSetting::slot_PortChange);
    connect(ui->deviceIP_lineEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
        updateSettings([&](TrackingSettings& s) { s.ipAddress = text; });
    });
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

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(12);
    ui->advanced_pushButton = new QPushButton(QStringLiteral("Advanced"), ui->frame);
    ui->advanced_pushButton->setObjectName(QStringLiteral("advanced_pushButton"));
    ui->advanced_pushButton->setFixedSize(120, 24);
    ui->trackingLog_pushButton = new QPushButton(QStringLiteral("Tracking log"), ui->frame);
    ui->trackingLog_pushButton->setObjectName(QStringLiteral("trackingLog_pushButton"));
    ui->trackingLog_pushButton->setFixedSize(120, 24);
    ui->trackingLog_pushButton->setToolTip(QStringLiteral("Why the camera was or was not moved"));
    buttons->addStretch(1);
    buttons->addWidget(ui->advanced_pushButton);
    buttons->addWidget(ui->trackingLog_pushButton);
    buttons->addStretch(1);
    grid->addLayout(buttons, 6, 0, 1, 2);
    grid->setRowStretch(7, 1);
}

// ---- settings ------------------------------------------------------------------------------------

void SoundDeviceSetting::updateSettings(const std::function<void(TrackingSettings&)>& change) {
    TrackingSettings settings = _engine->settings();
    change(settings);
    _engine->setSettings(settings);
}

void SoundDeviceSetting::loadSettings() {
    QStringList replaced;
    const TrackingSettings settings =
        TrackingSettings::fromJson(qApp->property("configDataInforJsonObject").toJsonObject(), &replaced);
    for (const QString& key : std::as_const(replaced))
        qDebug() << "SoundDeviceSetting::loadSettings"
                 << "replaced" << key << "by its default";
    loadSettings(settings);
}

void SoundDeviceSetting::loadSettings(const TrackingSettings& loaded) {
    // The fixed ports stay where they are (a simulator or a test may have moved them).
    TrackingSettings settings = loaded;
    const TrackingSettings current = _engine->settings();
    settings.shurePort = current.shurePort;
    settings.sennheiserPort = current.sennheiserPort;
    settings.yamahaPort = current.yamahaPort;
    _engine->setSettings(settings);
    _link->setAutoReconnect(settings.autoReconnect);
    emit signal_AutoReconnectChanged(settings.autoReconnect);
    {
        const QSignalBlocker blocker(ui->tracking_checkBox);
        ui->tracking_checkBox->setChecked(_engine->isTrackingEnabled());
    }
    if (settings.soundDeviceIndex != ui->device_comboBox->currentIndex())
        ui->device_comboBox->setCurrentIndex(settings.soundDeviceIndex);
    // The preset-link page follows the saved device even when it is the one shown.
    emit signal_SwitchSoundDevice(deviceTypeInt, deviceBrandInt);
    {
        const QSignalBlocker blocker(ui->deviceIP_lineEdit);
        ui->deviceIP_lineEdit->setText(settings.ipAddress);
    }
    if (deviceBrandInt == Nureva) {
        const QSignalBlocker blocker(ui->port_spinBox);
        ui->port_spinBox->setValue(settings.nurevaPort);
    }
    updatePauseLabel();
    resetPositionStates();
}

TrackingSettings SoundDeviceSetting::settings() const {
    TrackingSettings settings = _engine->settings();
    settings.soundDeviceIndex = deviceTypeInt;
    settings.ipAddress = ui->deviceIP_lineEdit->text();
    return settings;
}

bool SoundDeviceSetting::autoReconnect() const {
    return _engine->settings().autoReconnect;
}
int SoundDeviceSetting::minimumHoldTimeMs() const {
    return _engine->settings().minimumHoldTimeMs;
}
int SoundDeviceSetting::severalTalkersPreset() const {
    return _engine->settings().severalTalkersPreset;
}
int SoundDeviceSetting::manualOverrideTimeMs() const {
    return _engine->settings().manualOverrideTimeMs;
}
qint64 SoundDeviceSetting::delayTriggerTimeMs() const {
    return _engine->settings().delayTriggerTimeMs;
}
int SoundDeviceSetting::nurevaPort() const {
    return _engine->settings().nurevaPort;
}
double SoundDeviceSetting::nurevaBackgroundNoise() const {
    return _engine->settings().nurevaBackgroundNoise;
}
int SoundDeviceSetting::sennheiserTriggerLevel() const {
    return _engine->settings().sennheiserPeakLevel;
}
int SoundDeviceSetting::backHomeTimeMs() const {
    return _engine->settings().backHomeTimeMs;
}
int SoundDeviceSetting::backHomeAction() const {
    return _engine->settings().backHomeAction;
}

QString SoundDeviceSetting::soundDeviceText(int index) const {
    return ui->device_comboBox->itemText(index);
}

QString SoundDeviceSetting::ipAddressText() const {
    return ui->deviceIP_lineEdit->text();
}

QMap<QString, int> SoundDeviceSetting::portMap() const {
    const TrackingSettings& s = _engine->settings();
    return {{QStringLiteral("Shure"), s.shurePort},
            {QStringLiteral("Sennheiser"), s.sennheiserPort},
            {QStringLiteral("Nurvea"), s.nurevaPort},
            {QStringLiteral("Yamaha"), s.yamahaPort}};
}

QMap<QString, int> SoundDeviceSetting::audioTriggerLevelMap() const {
    const TrackingSettings& s = _engine->settings();
    return {{QStringLiteral("Sennheiser"), s.sennheiserPeakLevel},
            {QStringLiteral("Nurvea"), truncateToInt(s.nurevaBackgroundNoise)}};
}

QMap<QString, int> SoundDeviceSetting::backToHomeMap() const {
    const TrackingSettings& s = _engine->settings();
    return {{QStringLiteral("BackToHomeTriggerTime"), s.backHomeTimeMs},
            {QStringLiteral("BackToHomeAction"), s.backHomeAction}};
}

void SoundDeviceSetting::setDevicePort(int brand, int port) {
    if (!ArrayDevices::isBrand(brand))
        return;
    updateSettings([&](TrackingSettings& s) { s.setPortOfBrand(brand, port); });
    if (brand == deviceBrandInt) {
        const QSignalBlocker blocker(ui->port_spinBox);
        ui->port_spinBox->setValue(port);
    }
}

void SoundDeviceSetting::setClock(std::function<qint64()> clock) {
    _link->setClock(clock);
    _engine->setClock(clock);
}

// ---- views of the link and the tracking ----------------------------------------------------------

SoundDeviceSetting::LinkState SoundDeviceSetting::linkState() const {
    return static_cast<LinkState>(_link->state());
}
bool SoundDeviceSetting::isDeviceConnected() const {
    return _link->isUp();
}
bool SoundDeviceSetting::isConnecting() const {
    return _link->isConnecting();
}
bool SoundDeviceSetting::isYamahaRunning() const {
    return _link->isYamahaRunning();
}
bool SoundDeviceSetting::isPolling() const {
    return _link->isPolling();
}
int SoundDeviceSetting::pollIntervalMs() const {
    return _link->pollIntervalMs();
}
int SoundDeviceSetting::reconnectAttemptCount() const {
    return _link->reconnectAttemptCount();
}
int SoundDeviceSetting::reconnectDelayMs() const {
    return _link->reconnectDelayMs();
}
bool SoundDeviceSetting::isAutoCoverage() const {
    return _engine->tracker().isAutoCoverage();
}
int SoundDeviceSetting::currentSilenceCount() const {
    return _engine->tracker().silenceCount();
}
bool SoundDeviceSetting::isBackHomeTimerActive() const {
    return _engine->tracker().isReturnHomeArmed();
}
int SoundDeviceSetting::backHomeTimerIntervalMs() const {
    return _engine->tracker().returnHomePeriodMs();
}
bool SoundDeviceSetting::isTrackingEnabled() const {
    return _engine->isTrackingEnabled();
}
int SoundDeviceSetting::trackingPauseRemainingMs() const {
    return _engine->pauseRemainingMs();
}
int SoundDeviceSetting::talkerPosition() const {
    return _engine->talker();
}
bool SoundDeviceSetting::isTriggerCheckPending() const {
    return _engine->tracker().triggerDueMs() != 0;
}
qint64 SoundDeviceSetting::triggerCheckDueInMs() const {
    const qint64 due = _engine->tracker().triggerDueMs();
    return due != 0 ? due - _engine->now() : 0;
}
void SoundDeviceSetting::runTriggerCheck() {
    _engine->runTriggerCheck();
}

QList<int> SoundDeviceSetting::positions() const {
    QList<int> keys;
    for (const int position : _engine->tracker().positions()) keys.append(position);
    return keys;
}

ArrayPositionState SoundDeviceSetting::positionState(int position) const {
    return _engine->tracker().positionState(position);
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
QPushButton* SoundDeviceSetting::trackingLogButton() const {
    return ui->trackingLog_pushButton;
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

// ---- device selection and the link ---------------------------------------------------------------

void SoundDeviceSetting::slot_SwitchSoundDevice() {
    deviceTypeInt = ui->device_comboBox->currentIndex();
    deviceBrandInt = ui->device_comboBox->currentData().toInt();
    _link->setBrand(deviceBrandInt);
    _engine->setDevice(deviceTypeInt, deviceBrandInt);
    updateSettings([this](TrackingSettings& s) { s.soundDeviceIndex = deviceTypeInt; });

    disconnect(ui->port_spinBox, &QSpinBox::valueChanged, this, &SoundDeviceSetting::slot_PortChange);
    if (ArrayDevices::isBrand(deviceBrandInt))
        ui->port_spinBox->setValue(_engine->settings().portOfBrand(deviceBrandInt));
    ui->port_spinBox->setEnabled(deviceBrandInt == Nureva);
    connect(ui->port_spinBox, &QSpinBox::valueChanged, this, &SoundDeviceSetting::slot_PortChange);
    emit signal_SwitchSoundDevice(deviceTypeInt, deviceBrandInt);
}

void SoundDeviceSetting::slot_PortChange(int port) {
    if (deviceBrandInt == Nureva) {
        updateSettings([port](TrackingSettings& s) { s.nurevaPort = port; });
        return;
    }
    const QSignalBlocker blocker(ui->port_spinBox);
    if (ArrayDevices::isBrand(deviceBrandInt))
        ui->port_spinBox->setValue(_engine->settings().portOfBrand(deviceBrandInt));
}

void SoundDeviceSetting::setFormEnabled(bool enabled) {
    ui->device_comboBox->setEnabled(enabled);
    ui->deviceIP_lineEdit->setEnabled(enabled);
    if (deviceBrandInt == Nureva)
        ui->port_spinBox->setEnabled(enabled);
    ui->advanced_pushButton->setEnabled(enabled);
}

void SoundDeviceSetting::slot_ConnectSoundDevice() {
    _engine->connectAttempt();
    if (!ui->device_connect_checkBox->isChecked()) {
        setFormEnabled(true);
        _link->close();
        return;
    }
    setFormEnabled(false);
    ArrayLink::Target target;
    target.brand = deviceBrandInt;
    target.address = ui->deviceIP_lineEdit->text();
    target.port = _engine->settings().portOfBrand(deviceBrandInt);
    _link->open(target, connectRetries);
}

void SoundDeviceSetting::slot_ConnectedDevice() {
    setFormEnabled(false);
}

void SoundDeviceSetting::slot_DisconnectedDevice() {
    // The link is over and nothing retries it: the form is the user's again.
    setFormEnabled(true);
    const QSignalBlocker blocker(ui->device_connect_checkBox);
    ui->device_connect_checkBox->setChecked(false);
}

void SoundDeviceSetting::setLinkState(int state) {
    ui->linkStatus_label->setText(state == LinkReconnecting ? kReconnecting : QString());
    emit signal_LinkStateChanged(state);
}

void SoundDeviceSetting::slot_StartAutoConnect() {
    // The array may boot later than this computer: the connect at start retries until it
    // answers (unless reconnecting is switched off).
    connectRetries = true;
    {
        const QSignalBlocker blocker(ui->device_connect_checkBox);
        ui->device_connect_checkBox->setChecked(true);
    }
    ui->device_connect_checkBox->repaint();
    QThread::usleep(200);
    slot_ConnectSoundDevice();
}

void SoundDeviceSetting::slot_SoundArrayPolling() {
    _link->slot_SoundArrayPolling();
}

void SoundDeviceSetting::slot_Reconnect() {
    _link->slot_Reconnect();
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

// ---- the tracking ----------------------------------------------------------------------------------

void SoundDeviceSetting::processYamahaMessage(const QString& message) {
    _engine->processYamahaText(message);
}

void SoundDeviceSetting::setBackHomeTimerIsStart(bool isStart) {
    _engine->armReturnHome(isStart);
}

void SoundDeviceSetting::slot_CallBackToHome() {
    _engine->returnHomeNow();
}

void SoundDeviceSetting::resetPositionStates() {
    _engine->resetPositions();
}

void SoundDeviceSetting::setTrackingEnabled(bool on) {
    {
        const QSignalBlocker blocker(ui->tracking_checkBox);
        ui->tracking_checkBox->setChecked(on);
    }
    _engine->setTrackingEnabled(on);
    updatePauseLabel();
}

void SoundDeviceSetting::pauseTracking(int ms) {
    _engine->pauseTracking(ms);
    updatePauseLabel();
}

void SoundDeviceSetting::slot_ManualOverride() {
    _engine->operatorCommand(
        CameraCommand::panTilt(CameraCommand::Direction::Stop, CameraCommand::Origin::Panel));
    updatePauseLabel();
}

void SoundDeviceSetting::updatePauseLabel() {
    const int remaining = _engine->pauseRemainingMs();
    if (remaining <= 0 || !_engine->isTrackingEnabled()) {
        ui->pause_label->clear();
        pauseTimer->stop();
        return;
    }
    ui->pause_label->setText(QStringLiteral("Tracking paused (%1 s)").arg((remaining + 999) / 1000));
    // Next refresh when the shown number changes.
    pauseTimer->start(remaining % 1000 == 0 ? 1000 : remaining % 1000);
}

// ---- timing dialog ---------------------------------------------------------------------------------

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
        connect(advancedSetting, &AdvancedSetting::signal_SeveralTalkersCameraChange, this,
                &SoundDeviceSetting::slot_SeveralTalkersCameraChange);
        connect(advancedSetting, &AdvancedSetting::signal_BackToHomeCamerasChange, this,
                &SoundDeviceSetting::slot_BackToHomeCamerasChange);
    }
    const TrackingSettings& s = _engine->settings();
    advancedSetting->setValues(deviceTypeInt, deviceBrandInt, s.sennheiserPeakLevel,
                               truncateToInt(s.nurevaBackgroundNoise), s.delayTriggerTimeMs, s.backHomeTimeMs,
                               s.backHomeAction);
    advancedSetting->setTrackingValues(s.autoReconnect, s.minimumHoldTimeMs, s.severalTalkersPreset,
                                       s.manualOverrideTimeMs);
    advancedSetting->setCameraValues(_cameraChoices, s.severalTalkersCamera, s.backHomeCameras);
    advancedSetting->exec();
}

void SoundDeviceSetting::slot_AudioTriggerLevelChange(int audioTriggerLevel) {
    updateSettings([&](TrackingSettings& s) {
        if (deviceBrandInt == Nureva)
            s.nurevaBackgroundNoise = audioTriggerLevel;
        else if (deviceBrandInt == Sennheiser)
            s.sennheiserPeakLevel = audioTriggerLevel;
    });
}

void SoundDeviceSetting::slot_DelayTriggerTimeChange(int delayTimeInt) {
    updateSettings([&](TrackingSettings& s) { s.delayTriggerTimeMs = delayTimeInt; });
}

void SoundDeviceSetting::slot_BackToHomeTriggerTimeChange(int newBackHomeTimeInt) {
    // The running countdown stops; the next report without a talker starts it with the new
    // period.
    _engine->armReturnHome(false);
    updateSettings([&](TrackingSettings& s) { s.backHomeTimeMs = newBackHomeTimeInt; });
}

void SoundDeviceSetting::slot_BackToHomeActionChange(int newBackHomeActionInt) {
    updateSettings([&](TrackingSettings& s) { s.backHomeAction = newBackHomeActionInt; });
}

void SoundDeviceSetting::slot_AutoReconnectChange(bool on) {
    updateSettings([on](TrackingSettings& s) { s.autoReconnect = on; });
    _link->setAutoReconnect(on);
    emit signal_AutoReconnectChanged(on);
}

void SoundDeviceSetting::slot_MinimumHoldTimeChange(int ms) {
    updateSettings(
        [ms](TrackingSettings& s) { s.minimumHoldTimeMs = TrackingSettings::clampedHoldOrOverrideMs(ms); });
}

void SoundDeviceSetting::slot_SeveralTalkersPresetChange(int preset) {
    updateSettings([preset](TrackingSettings& s) {
        s.severalTalkersPreset = TrackingSettings::checkedSeveralTalkersPreset(preset);
    });
}

void SoundDeviceSetting::slot_SeveralTalkersCameraChange(const QString& location) {
    updateSettings([&](TrackingSettings& s) { s.severalTalkersCamera = location.trimmed().toLower(); });
}

void SoundDeviceSetting::slot_BackToHomeCamerasChange(const QString& cameras) {
    const QString text = cameras.trimmed().toLower();
    updateSettings([&](TrackingSettings& s) {
        s.backHomeCameras = text.isEmpty() ? QString::fromLatin1(TrackingSettings::kAllCameras) : text;
    });
}

void SoundDeviceSetting::slot_ManualOverrideTimeChange(int ms) {
    updateSettings([ms](TrackingSettings& s) {
        s.manualOverrideTimeMs = TrackingSettings::clampedHoldOrOverrideMs(ms);
    });
}
