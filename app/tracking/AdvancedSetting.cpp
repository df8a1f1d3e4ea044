#include "AdvancedSetting.h"

#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "titleWidget.h"

namespace {

enum Brand { Shure = 0, Sennheiser = 1, Nureva = 2, Yamaha = 3 };

// Shown in the level box when the array's brand has no level threshold.
constexpr int kNoLevel = -90;

struct Choice {
    const char* text;
    int value;
};

constexpr Choice kDelayChoices[] = {
    {"0.5 Sec", 500}, {"1 Sec", 1000}, {"1.5 Sec", 1500}, {"2 Sec", 2000},
    {"3 Sec", 3000},  {"4 Sec", 4000}, {"5 Sec", 5000},
};
constexpr Choice kBackHomeChoices[] = {
    {"Off", -1},       {"10 Sec", 10000}, {"20 Sec", 20000}, {"30 Sec", 30000}, {"40 Sec", 40000},
    {"50 Sec", 50000}, {"1 Min", 60000},  {"2 Min", 120000}, {"3 Min", 180000},
};
constexpr Choice kBackHomeActionChoices[] = {{"Home", 300}, {"Preset 0", 0}};
constexpr Choice kHoldChoices[] = {
    {"Off", 0}, {"2 Sec", 2000}, {"3 Sec", 3000}, {"5 Sec", 5000}, {"10 Sec", 10000}};
constexpr Choice kOverrideChoices[] = {
    {"Off", 0}, {"10 Sec", 10000}, {"30 Sec", 30000}, {"1 Min", 60000}, {"2 Min", 120000},
};

// Marks an entry made for a stored time that none of the choices names.
constexpr int kExtraEntryRole = Qt::UserRole + 1;

// "2.5 Sec", "45 Sec", "4 Min": the choices' own wording for any time.
QString timeText(qint64 ms) {
    if (ms >= 60000 && ms % 60000 == 0)
        return QStringLiteral("%1 Min").arg(ms / 60000);
    QString text = QString::number(ms / 1000);
    if (const qint64 fraction = ms % 1000) {
        QString digits = QStringLiteral("%1").arg(fraction, 3, 10, QLatin1Char('0'));
        while (digits.endsWith(QLatin1Char('0'))) digits.chop(1);
        text += QLatin1Char('.') + digits;
    }
    return text + QStringLiteral(" Sec");
}

template <std::size_t N>
void fill(QComboBox* box, const Choice (&choices)[N]) {
    for (const Choice& c : choices) box->addItem(QString::fromLatin1(c.text), c.value);
}

const char* kStyle =
    "QDialog#AdvancedSetting{background:#474E53;}"
    "QFrame#advanced_frame{background:#474E53;border:1px solid #595959;}"
    "QLabel{color:#f0f0f0;font-family:Arial;font-size:14px;}"
    "QLabel:disabled{color:#8C8C8C;}"
    "QSpinBox,QComboBox{background:#40484D;color:#f0f0f0;border:1px solid #8C8C8C;"
    "font-family:Arial;font-size:14px;min-height:24px;}"
    "QSpinBox:disabled,QComboBox:disabled{color:#8C8C8C;border-color:#595959;}"
    "QCheckBox::indicator{width:44px;height:22px;}"
    "QCheckBox::indicator:unchecked{image:url(:/device/icons/btn/switch-off.png);}"
    "QCheckBox::indicator:checked{image:url(:/device/icons/btn/switch-on.png);}"
    "QComboBox QAbstractItemView{background:#40484D;color:#f0f0f0;"
    "selection-background-color:#4BBDEF;}"
    "QPushButton{background:#595959;color:#f0f0f0;border:1px solid #8C8C8C;"
    "font-family:Arial;font-size:14px;}"
    "QPushButton:hover{background:#4BBDEF;}"
    "QPushButton:disabled{color:#8C8C8C;background:#474E53;border-color:#595959;}";

}  // namespace

AdvancedSetting::AdvancedSetting(QWidget* parent) : QDialog(parent) {
    buildForm();
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    _titleBar->setMinButtonVisible(false);
    _titleBar->setInfoButtonVisible(false);
    setWindowTitle(_titleBar->titleText());

    fill(_delayTimeBox, kDelayChoices);
    fill(_backHomeBox, kBackHomeChoices);
    fill(_backHomeActionBox, kBackHomeActionChoices);
    fill(_holdTimeBox, kHoldChoices);
    fill(_overrideTimeBox, kOverrideChoices);
    _severalTalkersBox->addItem(tr("Off"), -1);
    for (int preset = 0; preset <= 9; ++preset)
        _severalTalkersBox->addItem(tr("Preset %1").arg(preset), preset);
    _autoReconnectBox->setChecked(_autoReconnect);
    selectByData(_holdTimeBox, _minimumHoldTime);
    selectByData(_severalTalkersBox, _severalTalkersPreset);
    selectByData(_overrideTimeBox, _manualOverrideTime);
    fillCameraBox(_severalTalkersCameraBox, tr("First camera"), QString(), {}, _severalTalkersCamera);
    fillCameraBox(_backHomeCamerasBox, tr("All cameras"), QStringLiteral("all"), {}, _backHomeCameras);
    _delayTimeBox->setCurrentIndex(2);
    _backHomeBox->setCurrentIndex(1);
    _backHomeActionBox->setCurrentIndex(0);

    connect(_titleBar, &titleWidget::signal_CloseButtonClicked, this, &AdvancedSetting::slot_Cancel);
    connect(_cancelButton, &QPushButton::clicked, this, &AdvancedSetting::slot_Cancel);
    connect(_applyButton, &QPushButton::clicked, this, &AdvancedSetting::slot_Apply);
    connectEditors();
    _applyButton->setEnabled(false);
}

AdvancedSetting::~AdvancedSetting() = default;

void AdvancedSetting::buildForm() {
    setObjectName(QStringLiteral("AdvancedSetting"));
    resize(449, 500);
    setMinimumSize(449, 500);
    setStyleSheet(QString::fromLatin1(kStyle));

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    _titleBar = new titleWidget(this);
    _titleBar->setMinimumWidth(0);
    outer->addWidget(_titleBar);

    auto* frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("advanced_frame"));
    outer->addWidget(frame, 1);

    auto* body = new QVBoxLayout(frame);
    body->setContentsMargins(24, 16, 24, 16);
    body->setSpacing(12);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(10);
    auto addRow = [&](int row, const QString& text, QWidget* editor) {
        auto* label = new QLabel(text, frame);
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        grid->addWidget(label, row, 0);
        grid->addWidget(editor, row, 1);
        return label;
    };

    _levelSpinBox = new QSpinBox(frame);
    _levelSpinBox->setObjectName(QStringLiteral("audio_trigger_spinBox"));
    _levelSpinBox->setButtonSymbols(QAbstractSpinBox::NoButtons);
    _levelSpinBox->setAlignment(Qt::AlignCenter);
    _levelSpinBox->setSuffix(QString());
    _levelSpinBox->setRange(-90, 0);
    _levelSpinBox->setValue(kNoLevel);
    _levelLabel = addRow(0, tr("Audio Trigger Level > dB :"), _levelSpinBox);
    _levelLabel->setObjectName(QStringLiteral("audio_trigger_label"));

    _delayTimeBox = new QComboBox(frame);
    _delayTimeBox->setObjectName(QStringLiteral("delayTime_comboBox"));
    addRow(1, tr("Time To Trigger Preset :"), _delayTimeBox);

    _backHomeBox = new QComboBox(frame);
    _backHomeBox->setObjectName(QStringLiteral("backHome_comboBox"));
    addRow(2, tr("Back To Home Time :"), _backHomeBox);

    _backHomeActionBox = new QComboBox(frame);
    _backHomeActionBox->setObjectName(QStringLiteral("backHomeAction_comboBox"));
    addRow(3, tr("Back To Home Position :"), _backHomeActionBox);

    _holdTimeBox = new QComboBox(frame);
    _holdTimeBox->setObjectName(QStringLiteral("minimumHold_comboBox"));
    addRow(4, tr("Minimum Hold Time :"), _holdTimeBox);

    _severalTalkersBox = new QComboBox(frame);
    _severalTalkersBox->setObjectName(QStringLiteral("severalTalkers_comboBox"));
    _severalTalkersLabel = addRow(5, tr("Several Talkers Preset :"), _severalTalkersBox);
    _severalTalkersLabel->setObjectName(QStringLiteral("severalTalkers_label"));

    _severalTalkersCameraBox = new QComboBox(frame);
    _severalTalkersCameraBox->setObjectName(QStringLiteral("severalTalkersCamera_comboBox"));
    _severalTalkersCameraLabel = addRow(6, tr("Several Talkers Camera :"), _severalTalkersCameraBox);
    _severalTalkersCameraLabel->setObjectName(QStringLiteral("severalTalkersCamera_label"));

    _backHomeCamerasBox = new QComboBox(frame);
    _backHomeCamerasBox->setObjectName(QStringLiteral("backHomeCameras_comboBox"));
    addRow(7, tr("Back To Home Cameras :"), _backHomeCamerasBox);

    _overrideTimeBox = new QComboBox(frame);
    _overrideTimeBox->setObjectName(QStringLiteral("manualOverride_comboBox"));
    addRow(8, tr("Manual Override Time :"), _overrideTimeBox);

    _autoReconnectBox = new QCheckBox(frame);
    _autoReconnectBox->setObjectName(QStringLiteral("autoReconnect_checkBox"));
    _autoReconnectBox->setAccessibleName(tr("Auto Reconnect"));
    _autoReconnectBox->setToolTip(
        tr("Retries a lost array link, and connects a camera again when it comes back after an "
           "unplug (the same port, or its serial number on another port)."));
    addRow(9, tr("Auto Reconnect :"), _autoReconnectBox);
    grid->setColumnStretch(1, 1);
    body->addLayout(grid);
    body->addStretch(1);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(37);
    buttons->addStretch(1);
    _cancelButton = new QPushButton(tr("Cancel"), frame);
    _cancelButton->setObjectName(QStringLiteral("cancel_pushButton"));
    _cancelButton->setFixedSize(120, 24);
    buttons->addWidget(_cancelButton);
    _applyButton = new QPushButton(tr("Apply"), frame);
    _applyButton->setObjectName(QStringLiteral("apply_pushButton"));
    _applyButton->setFixedSize(120, 24);
    buttons->addWidget(_applyButton);
    buttons->addStretch(1);
    body->addLayout(buttons);
}

void AdvancedSetting::connectEditors() {
    connect(_levelSpinBox, &QSpinBox::valueChanged, this, &AdvancedSetting::slot_AudioTriggerLevelChange);
    connect(_delayTimeBox, &QComboBox::currentIndexChanged, this,
            &AdvancedSetting::slot_DelayTriggerTimeChange);
    connect(_backHomeBox, &QComboBox::currentIndexChanged, this,
            &AdvancedSetting::slot_BackToHomeTriggerTimeChange);
    connect(_backHomeActionBox, &QComboBox::currentIndexChanged, this,
            &AdvancedSetting::slot_BackToHomeActionChange);
    for (QComboBox* box :
         {_holdTimeBox, _severalTalkersBox, _overrideTimeBox, _severalTalkersCameraBox, _backHomeCamerasBox})
        connect(box, &QComboBox::currentIndexChanged, this, &AdvancedSetting::slot_TrackingChoiceChange);
    connect(_autoReconnectBox, &QCheckBox::toggled, this, &AdvancedSetting::slot_TrackingChoiceChange);
}

void AdvancedSetting::disconnectEditors() {
    disconnect(_levelSpinBox, &QSpinBox::valueChanged, this, &AdvancedSetting::slot_AudioTriggerLevelChange);
    disconnect(_delayTimeBox, &QComboBox::currentIndexChanged, this,
               &AdvancedSetting::slot_DelayTriggerTimeChange);
    disconnect(_backHomeBox, &QComboBox::currentIndexChanged, this,
               &AdvancedSetting::slot_BackToHomeTriggerTimeChange);
    disconnect(_backHomeActionBox, &QComboBox::currentIndexChanged, this,
               &AdvancedSetting::slot_BackToHomeActionChange);
    for (QComboBox* box :
         {_holdTimeBox, _severalTalkersBox, _overrideTimeBox, _severalTalkersCameraBox, _backHomeCamerasBox})
        disconnect(box, &QComboBox::currentIndexChanged, this, &AdvancedSetting::slot_TrackingChoiceChange);
    disconnect(_autoReconnectBox, &QCheckBox::toggled, this, &AdvancedSetting::slot_TrackingChoiceChange);
}

void AdvancedSetting::selectByData(QComboBox* box, qint64 value) {
    for (int i = 0; i < box->count(); ++i) {
        if (box->itemData(i).toLongLong() == value) {
            box->setCurrentIndex(i);
            return;
        }
    }
    // No matching entry: the box keeps its selection and the stored value stays as given.
}

void AdvancedSetting::selectTime(QComboBox* box, int value, bool ownEntryAllowed) {
    // An entry made for an earlier opening's value goes first.
    for (int i = box->count() - 1; i >= 0; --i) {
        if (box->itemData(i, kExtraEntryRole).toBool())
            box->removeItem(i);
    }
    for (int i = 0; i < box->count(); ++i) {
        if (box->itemData(i).toLongLong() == value) {
            box->setCurrentIndex(i);
            return;
        }
    }
    if (!ownEntryAllowed)
        return;
    // A stored time none of the choices names (an edited settings file, an older version)
    // is kept and runs; it gets an entry of its own, in order, so the dialog shows it and
    // "Apply" without a change hands it back unchanged.
    int at = box->count();
    for (int i = 0; i < box->count(); ++i) {
        if (box->itemData(i).toLongLong() > value) {
            at = i;
            break;
        }
    }
    box->insertItem(at, timeText(value), value);
    box->setItemData(at, true, kExtraEntryRole);
    box->setCurrentIndex(at);
}

void AdvancedSetting::setValues(int deviceTypeInt, int deviceBrandInt, int sennheiserPeakLevel,
                                int nurveaBackgroundNoise, int delayTriggerTime, int backHomeTimeInt,
                                int backHomeActionInt) {
    disconnectEditors();
    _deviceTypeInt = deviceTypeInt;
    _deviceBrandInt = deviceBrandInt;

    switch (deviceBrandInt) {
        case Sennheiser:
            _sennheiserPeakLevel = sennheiserPeakLevel;
            _levelLabel->setEnabled(true);
            _levelSpinBox->setEnabled(true);
            _levelSpinBox->setRange(-90, 0);
            _levelSpinBox->setValue(_sennheiserPeakLevel);
            break;
        case Nureva:
            _nurveaBackgroundNoise = nurveaBackgroundNoise;
            _levelLabel->setEnabled(true);
            _levelSpinBox->setEnabled(true);
            _levelSpinBox->setRange(0, 120);
            _levelSpinBox->setValue(static_cast<int>(_nurveaBackgroundNoise));
            break;
        case Shure:
        case Yamaha:
            // These arrays decide talkers themselves: no threshold to edit. The range must still
            // hold -90, or a range left over from a Nureva opening would show it as 0.
            _levelLabel->setEnabled(false);
            _levelSpinBox->setEnabled(false);
            _levelSpinBox->setRange(kNoLevel, qMax(_levelSpinBox->maximum(), 0));
            _levelSpinBox->setValue(kNoLevel);
            break;
        default:
            _levelLabel->setEnabled(true);
            _levelSpinBox->setEnabled(true);
            _levelSpinBox->setRange(kNoLevel, qMax(_levelSpinBox->maximum(), 0));
            _levelSpinBox->setValue(kNoLevel);
            break;
    }

    _delayTriggerTime = delayTriggerTime;
    _backHomeTimeInt = backHomeTimeInt;
    _backHomeActionInt = backHomeActionInt;
    selectTime(_delayTimeBox, delayTriggerTime, delayTriggerTime >= 0);
    selectTime(_backHomeBox, backHomeTimeInt, backHomeTimeInt > 0);
    selectByData(_backHomeActionBox, _backHomeActionInt);
    // Only arrays that report several gates at once can have several talkers.
    _severalTalkersLabel->setEnabled(deviceBrandInt == Shure);
    _severalTalkersBox->setEnabled(deviceBrandInt == Shure);
    _severalTalkersCameraLabel->setEnabled(deviceBrandInt == Shure);
    _severalTalkersCameraBox->setEnabled(deviceBrandInt == Shure);

    _applyButton->setEnabled(false);
    connectEditors();
}

void AdvancedSetting::setTrackingValues(bool autoReconnect, int minimumHoldTimeMs, int severalTalkersPreset,
                                        int manualOverrideTimeMs) {
    disconnectEditors();
    _autoReconnect = autoReconnect;
    _minimumHoldTime = minimumHoldTimeMs;
    _severalTalkersPreset = severalTalkersPreset;
    _manualOverrideTime = manualOverrideTimeMs;
    _autoReconnectBox->setChecked(autoReconnect);
    // A time from an edited settings file that no choice names is shown and kept, as the
    // other times are.
    selectTime(_holdTimeBox, minimumHoldTimeMs, minimumHoldTimeMs > 0);
    selectByData(_severalTalkersBox, severalTalkersPreset);
    selectTime(_overrideTimeBox, manualOverrideTimeMs, manualOverrideTimeMs > 0);
    _applyButton->setEnabled(false);
    connectEditors();
}

void AdvancedSetting::fillCameraBox(QComboBox* box, const QString& firstText, const QString& firstValue,
                                    const CameraChoices& cameras, const QString& chosen) {
    box->clear();
    box->addItem(firstText, firstValue);
    for (const CameraChoice& camera : cameras) box->addItem(camera.label, camera.location);
    if (box->findData(chosen) < 0)
        box->addItem(tr("%1 (not attached)").arg(chosen), chosen);
    box->setCurrentIndex(box->findData(chosen));
}

void AdvancedSetting::setCameraValues(const CameraChoices& cameras, const QString& severalTalkersCamera,
                                      const QString& backHomeCameras) {
    disconnectEditors();
    _severalTalkersCamera = severalTalkersCamera;
    _backHomeCameras = backHomeCameras.isEmpty() ? QStringLiteral("all") : backHomeCameras;
    fillCameraBox(_severalTalkersCameraBox, tr("First camera"), QString(), cameras, _severalTalkersCamera);
    fillCameraBox(_backHomeCamerasBox, tr("All cameras"), QStringLiteral("all"), cameras, _backHomeCameras);
    _applyButton->setEnabled(false);
    connectEditors();
}

void AdvancedSetting::slot_TrackingChoiceChange() {
    _autoReconnect = _autoReconnectBox->isChecked();
    _minimumHoldTime = _holdTimeBox->currentData().toInt();
    _severalTalkersPreset = _severalTalkersBox->currentData().toInt();
    _manualOverrideTime = _overrideTimeBox->currentData().toInt();
    _severalTalkersCamera = _severalTalkersCameraBox->currentData().toString();
    _backHomeCameras = _backHomeCamerasBox->currentData().toString();
    _applyButton->setEnabled(true);
}

void AdvancedSetting::slot_AudioTriggerLevelChange(int audioTriggerLevel) {
    if (_deviceBrandInt == Nureva)
        _nurveaBackgroundNoise = audioTriggerLevel;
    else if (_deviceBrandInt == Sennheiser)
        _sennheiserPeakLevel = audioTriggerLevel;
    _applyButton->setEnabled(true);
}

void AdvancedSetting::slot_DelayTriggerTimeChange() {
    _delayTriggerTime = _delayTimeBox->currentData().toLongLong();
    _applyButton->setEnabled(true);
}

void AdvancedSetting::slot_BackToHomeTriggerTimeChange() {
    _backHomeTimeInt = _backHomeBox->currentData().toInt();
    _applyButton->setEnabled(true);
}

void AdvancedSetting::slot_BackToHomeActionChange() {
    _backHomeActionInt = _backHomeActionBox->currentData().toInt();
    _applyButton->setEnabled(true);
}

void AdvancedSetting::slot_Apply() {
    int level = 0;
    if (_deviceBrandInt == Nureva)
        level = static_cast<int>(_nurveaBackgroundNoise);
    else if (_deviceBrandInt == Sennheiser)
        level = _sennheiserPeakLevel;
    qDebug() << "AdvancedSetting::slot_Apply"
             << "level:" << level << "delay:" << _delayTriggerTime << "backHomeTime:" << _backHomeTimeInt
             << "backHomeAction:" << _backHomeActionInt;
    emit signal_AudioTriggerLevelChange(level);
    emit signal_DelayTriggerTimeChange(static_cast<int>(_delayTriggerTime));
    emit signal_BackToHomeTriggerTimeChange(_backHomeTimeInt);
    emit signal_BackToHomeActionChange(_backHomeActionInt);
    emit signal_AutoReconnectChange(_autoReconnect);
    emit signal_MinimumHoldTimeChange(_minimumHoldTime);
    emit signal_SeveralTalkersPresetChange(_severalTalkersPreset);
    emit signal_ManualOverrideTimeChange(_manualOverrideTime);
    emit signal_SeveralTalkersCameraChange(_severalTalkersCamera);
    emit signal_BackToHomeCamerasChange(_backHomeCameras);
    close();
}

void AdvancedSetting::slot_Cancel() {
    close();
}

void AdvancedSetting::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        _dragging = true;
        _pressOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
    }
    QDialog::mousePressEvent(event);
}

void AdvancedSetting::mouseMoveEvent(QMouseEvent* event) {
    if (_dragging)
        move(event->globalPosition().toPoint() - _pressOffset);
    QDialog::mouseMoveEvent(event);
}

void AdvancedSetting::mouseReleaseEvent(QMouseEvent* event) {
    _dragging = false;
    QDialog::mouseReleaseEvent(event);
}
