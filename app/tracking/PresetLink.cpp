#include "PresetLink.h"

#include <algorithm>

#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QDebug>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSpacerItem>
#include <QSpinBox>
#include <QVBoxLayout>

#include "TrackingEngine.h"

namespace {

constexpr int kLightSize = 24;
// Nine rows (the column titles and eight positions) must fit the page's 328 px together with
// the title and "Apply": 9 x 22 + 8 x 4 leaves "Apply" room of its own below the last row.
constexpr int kRowHeight = 22;
constexpr int kRowSpacing = 4;
// The camera boxes' first item: the position takes the first connected camera.
const char* kFirstCamera = QT_TRANSLATE_NOOP("PresetLink", "First camera");

struct Span {
    int low;
    int high;
};

// Limits of the zone editors, per brand.
Span editorLimits(int brand) {
    switch (brand) {
        case PresetLink::Sennheiser:
            return {0, 360};
        case PresetLink::Nureva:
            return {-70, 70};
        case PresetLink::Yamaha:
            return {-180, 180};
        default:
            return {0, 0};
    }
}

const char* kStyle =
    "QWidget#PresetLink{background:#474E53;}"
    "QFrame#presetlink_frame{background:#474E53;border:1px solid #595959;}"
    "QLabel{color:#f0f0f0;font-family:Arial;font-size:14px;border:none;}"
    "QLabel#presetlink_title_label{font-size:16px;font-weight:bold;}"
    "QFrame[azimuthRow=\"true\"]{border:none;background:transparent;}"
    "QSpinBox,QComboBox{background:#40484D;color:#f0f0f0;border:1px solid #8C8C8C;"
    "font-family:Arial;font-size:14px;}"
    "QComboBox QLineEdit{background:transparent;color:#f0f0f0;border:none;}"
    "QComboBox QAbstractItemView{background:#40484D;color:#f0f0f0;"
    "selection-background-color:#4BBDEF;}"
    "QPushButton{background:#595959;color:#f0f0f0;border:1px solid #8C8C8C;"
    "font-family:Arial;font-size:14px;}"
    "QPushButton:hover{background:#4BBDEF;}"
    "QPushButton:disabled{color:#8C8C8C;background:#474E53;border-color:#595959;}";

QPixmap drawLight(const QColor& colour) {
    QPixmap pixmap(kLightSize, kLightSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.setPen(colour);
    painter.setBrush(colour);
    painter.drawEllipse(6, 6, 12, 12);
    return pixmap;
}

}  // namespace

PresetLink::PresetLink(QWidget* parent) : QWidget(parent) {
    buildForm();
    drawLights();

    for (int i = 1; i <= kPositionCount; ++i) {
        _presetMap.insert(i, i);
        _sennheiserRanges.insert(i, PositionMap::defaultZone(Sennheiser, i));
        _nurevaRanges.insert(i, PositionMap::defaultZone(Nureva, i));
        _yamahaRanges.insert(i, PositionMap::defaultZone(Yamaha, i));
    }

    for (int i = 1; i <= kPositionCount; ++i) {
        QComboBox* box = _presetBoxes[i];
        box->addItem(QStringLiteral("Off"), -1);
        for (int preset = 1; preset <= kPositionCount; ++preset)
            box->addItem(QString::number(preset), preset);
        box->setCurrentIndex(i);
        fillCameraBox(_cameraBoxes[i], QString());
    }

    connectEditSignals();
    connect(_applyButton, &QPushButton::clicked, this, &PresetLink::slot_Apply);
    _applyButton->setEnabled(false);

    // Shure layout until the microphone-array page says otherwise.
    slot_SwitchSoundDeviceType(_deviceTypeInt, _deviceBrandInt);
}

PresetLink::~PresetLink() = default;

void PresetLink::buildForm() {
    setObjectName(QStringLiteral("PresetLink"));
    resize(328, 328);
    setMinimumSize(328, 328);
    setStyleSheet(QString::fromLatin1(kStyle));
    setAttribute(Qt::WA_StyledBackground, true);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("presetlink_frame"));
    outer->addWidget(frame);

    auto* page = new QVBoxLayout(frame);
    page->setContentsMargins(16, 12, 16, 12);
    page->setSpacing(8);

    auto* title = new QLabel(tr("Device & Camera Mapping"), frame);
    title->setObjectName(QStringLiteral("presetlink_title_label"));
    page->addWidget(title);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(kRowSpacing);
    _rowHeight = kRowHeight;
    _rowSpacing = kRowSpacing;

    _arrayTitleLabel = new QLabel(tr("Array No."), frame);
    _arrayTitleLabel->setObjectName(QStringLiteral("arrayNo_label"));
    _arrayTitleLabel->setAlignment(Qt::AlignCenter);
    _arrayTitleLabel->setFixedHeight(kRowHeight);
    grid->addWidget(_arrayTitleLabel, 0, 0);
    _azimuthTitleLabel = new QLabel(tr("Azimuth Angle"), frame);
    _azimuthTitleLabel->setObjectName(QStringLiteral("azimuthAngle_label"));
    _azimuthTitleLabel->setAlignment(Qt::AlignCenter);
    _azimuthTitleLabel->setFixedHeight(kRowHeight);
    grid->addWidget(_azimuthTitleLabel, 0, 0);
    auto* presetTitle = new QLabel(tr("Preset No."), frame);
    presetTitle->setObjectName(QStringLiteral("presetNo_label"));
    presetTitle->setAlignment(Qt::AlignCenter);
    presetTitle->setFixedHeight(kRowHeight);
    grid->addWidget(presetTitle, 0, 2);
    auto* cameraTitle = new QLabel(tr("Camera"), frame);
    cameraTitle->setObjectName(QStringLiteral("camera_label"));
    cameraTitle->setAlignment(Qt::AlignCenter);
    cameraTitle->setFixedHeight(kRowHeight);
    grid->addWidget(cameraTitle, 0, 3);

    // Index 0 of every list is unused: positions address the lists directly.
    _positionLights.append(nullptr);
    _positionLabels.append(nullptr);
    _presetBoxes.append(nullptr);
    _cameraBoxes.append(nullptr);
    _rangeStartBoxes.append(nullptr);
    _rangeEndBoxes.append(nullptr);
    _rangeFrames.append(nullptr);
    _lightStates.fill(false, kPositionCount + 1);

    for (int i = 1; i <= kPositionCount; ++i) {
        const QString n = QString::number(i);

        auto* label = new QLabel(n, frame);
        label->setObjectName(QStringLiteral("array%1_label").arg(i));
        label->setAlignment(Qt::AlignCenter);
        label->setFixedHeight(kRowHeight);
        grid->addWidget(label, i, 0);
        _positionLabels.append(label);

        auto* rangeFrame = new QFrame(frame);
        rangeFrame->setObjectName(QStringLiteral("azimuth%1_frame").arg(i));
        rangeFrame->setProperty("azimuthRow", true);
        rangeFrame->setFixedHeight(kRowHeight);
        auto* rangeRow = new QHBoxLayout(rangeFrame);
        rangeRow->setContentsMargins(0, 0, 0, 0);
        rangeRow->setSpacing(4);
        auto makeSpin = [&](const QString& name) {
            auto* spin = new QSpinBox(rangeFrame);
            spin->setObjectName(name);
            spin->setButtonSymbols(QAbstractSpinBox::NoButtons);
            spin->setAlignment(Qt::AlignCenter);
            spin->setFixedHeight(kRowHeight);
            spin->setMinimumWidth(44);
            return spin;
        };
        QSpinBox* start = makeSpin(QStringLiteral("azimuth%1_start_spinBox").arg(i));
        QSpinBox* end = makeSpin(QStringLiteral("azimuth%1_end_spinBox").arg(i));
        auto* tilde = new QLabel(QStringLiteral("~"), rangeFrame);
        tilde->setAlignment(Qt::AlignCenter);
        rangeRow->addWidget(start);
        rangeRow->addWidget(tilde);
        rangeRow->addWidget(end);
        grid->addWidget(rangeFrame, i, 0);
        _rangeFrames.append(rangeFrame);
        _rangeStartBoxes.append(start);
        _rangeEndBoxes.append(end);

        auto* light = new QLabel(frame);
        light->setObjectName(QStringLiteral("array%1_light_label").arg(i));
        light->setFixedSize(kRowHeight, kRowHeight);
        light->setScaledContents(true);
        grid->addWidget(light, i, 1, Qt::AlignCenter);
        _positionLights.append(light);

        auto* box = new QComboBox(frame);
        box->setObjectName(QStringLiteral("preset%1_comboBox").arg(i));
        box->setFixedHeight(kRowHeight);
        box->setMinimumWidth(56);
        box->setEditable(true);
        box->lineEdit()->setReadOnly(true);
        box->lineEdit()->setAlignment(Qt::AlignCenter);
        box->setAccessibleName(tr("Preset of position %1").arg(i));
        grid->addWidget(box, i, 2);
        _presetBoxes.append(box);

        auto* camera = new QComboBox(frame);
        camera->setObjectName(QStringLiteral("camera%1_comboBox").arg(i));
        camera->setFixedHeight(kRowHeight);
        camera->setMinimumWidth(68);
        camera->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        camera->setMinimumContentsLength(6);
        camera->setAccessibleName(tr("Camera of position %1").arg(i));
        grid->addWidget(camera, i, 3);
        _cameraBoxes.append(camera);
    }
    // Keeps rows 1-4 in place when rows 5-8 are hidden for the four-lobe array.
    _lowerRowsSpacer = new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Fixed);
    grid->addItem(_lowerRowsSpacer, kPositionCount + 1, 0);
    grid->setColumnStretch(0, 3);
    grid->setColumnStretch(2, 2);
    grid->setColumnStretch(3, 2);
    page->addLayout(grid);
    page->addStretch(1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    _applyButton = new QPushButton(tr("Apply"), frame);
    _applyButton->setObjectName(QStringLiteral("apply_pushButton"));
    _applyButton->setFixedSize(120, 24);
    buttons->addWidget(_applyButton);
    page->addLayout(buttons);
}

void PresetLink::drawLights() {
    _onPixmap = drawLight(QColor(QStringLiteral("#00FF47")));
    _offPixmap = drawLight(QColor(QStringLiteral("#8C8C8C")));
    setAllLights(false);
}

void PresetLink::connectEditSignals() {
    for (int i = 1; i <= kPositionCount; ++i) {
        for (QSpinBox* box : {_rangeStartBoxes[i], _rangeEndBoxes[i]}) {
            connect(box, &QSpinBox::valueChanged, this, &PresetLink::slot_PresetOrAzimuthEdited);
            connect(box, &QSpinBox::valueChanged, this, &PresetLink::zoneEdited);
        }
        connect(_presetBoxes[i], &QComboBox::currentIndexChanged, this,
                &PresetLink::slot_PresetOrAzimuthEdited);
        connect(_cameraBoxes[i], &QComboBox::currentIndexChanged, this,
                &PresetLink::slot_PresetOrAzimuthEdited);
    }
}

void PresetLink::disconnectEditSignals() {
    for (int i = 1; i <= kPositionCount; ++i) {
        for (QSpinBox* box : {_rangeStartBoxes[i], _rangeEndBoxes[i]}) {
            disconnect(box, &QSpinBox::valueChanged, this, &PresetLink::slot_PresetOrAzimuthEdited);
            disconnect(box, &QSpinBox::valueChanged, this, &PresetLink::zoneEdited);
        }
        disconnect(_presetBoxes[i], &QComboBox::currentIndexChanged, this,
                   &PresetLink::slot_PresetOrAzimuthEdited);
        disconnect(_cameraBoxes[i], &QComboBox::currentIndexChanged, this,
                   &PresetLink::slot_PresetOrAzimuthEdited);
    }
}

void PresetLink::zoneEdited() {
    // The editors are the zones between two applies: an edited zone takes effect on the next
    // report, and it is what the settings writer saves.
    if (RangeTable* table = rangeTable(_deviceBrandInt)) {
        for (int i = 1; i <= kPositionCount; ++i) takeRangeFromEditors(*table, i);
    }
    publishMap();
}

PositionMap PresetLink::positionMap() const {
    PositionMap map;
    for (int i = 1; i <= kPositionCount; ++i) {
        map.setPreset(i, _presetMap.value(i, 0));
        map.setCamera(i, _cameraMap.value(i).toStdString());
        for (int brand : {Sennheiser, Nureva, Yamaha}) map.setZone(brand, i, rangeTable(brand)->value(i));
    }
    return map;
}

void PresetLink::setTrackingEngine(TrackingEngine* engine) {
    _engine = engine;
    publishMap();
}

void PresetLink::publishMap() {
    if (_engine)
        _engine->setPositionMap(positionMap());
}

PresetLink::RangeTable* PresetLink::rangeTable(int brand) {
    switch (brand) {
        case Sennheiser:
            return &_sennheiserRanges;
        case Nureva:
            return &_nurevaRanges;
        case Yamaha:
            return &_yamahaRanges;
        default:
            return nullptr;
    }
}

const PresetLink::RangeTable* PresetLink::rangeTable(int brand) const {
    return const_cast<PresetLink*>(this)->rangeTable(brand);
}

void PresetLink::refreshRangeEditors() {
    const RangeTable* table = rangeTable(_deviceBrandInt);
    if (!table)
        return;
    const Span limits = editorLimits(_deviceBrandInt);
    for (int i = 1; i <= kPositionCount; ++i) {
        const AzimuthRange r = table->value(i);
        _rangeStartBoxes[i]->setRange(limits.low, limits.high);
        _rangeEndBoxes[i]->setRange(limits.low, limits.high);
        _rangeStartBoxes[i]->setValue(r.start);
        _rangeEndBoxes[i]->setValue(r.end);
    }
}

void PresetLink::takeRangeFromEditors(RangeTable& table, int position) {
    table[position] = AzimuthRange{_rangeStartBoxes[position]->value(), _rangeEndBoxes[position]->value()};
}

void PresetLink::setLight(int position, bool on) {
    if (position < 1 || position > kPositionCount)
        return;
    _lightStates[position] = on;
    _positionLights[position]->setPixmap(on ? _onPixmap : _offPixmap);
}

void PresetLink::setAllLights(bool on) {
    for (int i = 1; i <= kPositionCount; ++i) setLight(i, on);
}

int PresetLink::positionForAzimuth(int azimuth) {
    RangeTable* table = rangeTable(_deviceBrandInt);
    if (!table)
        return -1;
    for (int i = 1; i <= kPositionCount; ++i) {
        takeRangeFromEditors(*table, i);
        if (table->value(i).contains(azimuth))
            return i;
    }
    return -1;
}

void PresetLink::slot_SwitchSoundDeviceType(int deviceTypeInt, int deviceBrandInt) {
    _deviceTypeInt = deviceTypeInt;
    _deviceBrandInt = deviceBrandInt;
    setAllLights(false);

    disconnectEditSignals();
    refreshRangeEditors();
    connectEditSignals();

    const bool shureLayout = deviceBrandInt == Shure;
    _arrayTitleLabel->setVisible(shureLayout);
    _azimuthTitleLabel->setVisible(!shureLayout);
    for (int i = 1; i <= kPositionCount; ++i) {
        _positionLabels[i]->setVisible(shureLayout);
        _rangeFrames[i]->setVisible(!shureLayout);
    }

    const bool fourLobes = deviceTypeInt == kFourLobeDeviceType;
    for (int i = 5; i <= kPositionCount; ++i) {
        if (fourLobes) {
            _positionLabels[i]->setVisible(false);
            _positionLights[i]->setVisible(false);
            _presetBoxes[i]->setVisible(false);
            _cameraBoxes[i]->setVisible(false);
        } else {
            _positionLights[i]->setVisible(true);
            _presetBoxes[i]->setVisible(true);
            _cameraBoxes[i]->setVisible(true);
        }
    }
    if (fourLobes)
        _lowerRowsSpacer->changeSize(0, 4 * _rowHeight + 3 * _rowSpacing, QSizePolicy::Minimum,
                                     QSizePolicy::Fixed);
    else
        _lowerRowsSpacer->changeSize(0, 0, QSizePolicy::Minimum, QSizePolicy::Fixed);
    if (layout())
        layout()->invalidate();
}

void PresetLink::slot_GetSureSoundDeviceArrayPosState(int arrayPosInt, bool isOnBool) {
    // The array numbers its channels itself; only the eight positions this page shows count.
    if (arrayPosInt < 1 || arrayPosInt > kPositionCount)
        return;
    setLight(arrayPosInt, isOnBool);
}

void PresetLink::showAzimuth(int brand, int azimuth, int spanLow, int spanHigh) {
    if (azimuth < spanLow || azimuth > spanHigh) {
        setAllLights(false);
        return;
    }
    if (_deviceBrandInt != brand)
        return;
    RangeTable* table = rangeTable(brand);
    for (int i = 1; i <= kPositionCount; ++i) {
        takeRangeFromEditors(*table, i);
        if (table->value(i).contains(azimuth)) {
            for (int k = 1; k <= kPositionCount; ++k) setLight(k, k == i);
            return;
        }
    }
}

void PresetLink::slot_GetSennheiserTCC2Azimuth(int azimuthInt) {
    showAzimuth(Sennheiser, azimuthInt, 0, 359);
}

void PresetLink::slot_GetNurveaAzimuth(int azimuthInt) {
    showAzimuth(Nureva, azimuthInt, -70, 70);
}

void PresetLink::slot_GetYamahaAzimuth(int azimuthInt) {
    showAzimuth(Yamaha, azimuthInt, -180, 180);
}

void PresetLink::slot_CallCameraPreset(int arrayPosInt) {
    if (!_engine)
        return;
    const int preset = _engine->callPresetForPosition(arrayPosInt);
    if (preset >= 0)
        emit signal_AddUSBCommand(CameraCommand::preset(preset, CameraCommand::Origin::Tracking));
}

void PresetLink::slot_ConnectUSBCamera(DC_Recv* recv) {
    _receiver = recv;
    qDebug() << "PresetLink::slot_ConnectUSBCamera"
             << " recv:" << static_cast<void*>(recv);
}

void PresetLink::slot_Apply() {
    _applyButton->setEnabled(false);
    for (int k = 1; k <= kPositionCount; ++k) {
        _presetMap[k] = _presetBoxes[k]->currentData().toInt();
        _cameraMap[k] = _cameraBoxes[k]->currentData().toString();
    }
    if (RangeTable* table = rangeTable(_deviceBrandInt)) {
        for (int i = 1; i <= kPositionCount; ++i) takeRangeFromEditors(*table, i);
    }
    publishMap();
}

void PresetLink::slot_PresetOrAzimuthEdited() {
    _applyButton->setEnabled(true);
}

void PresetLink::loadSettings() {
    disconnectEditSignals();
    const QJsonObject doc = qApp->property("configDataInforJsonObject").toJsonObject();
    if (doc.contains(QStringLiteral("SoundDeviceIndex"))) {
        if (doc.contains(QStringLiteral("PresetLinkMap"))) {
            const QJsonObject map = doc.value(QStringLiteral("PresetLinkMap")).toObject();
            for (int i = 1; i <= kPositionCount; ++i) {
                int preset = map.value(QStringLiteral("ArrayPos%1").arg(i)).toInt();
                // A number no box can show cannot be a preset of this page: treat it as "Off"
                // rather than sending it to the camera.
                if (preset > kPositionCount || preset < -1)
                    preset = -1;
                _presetMap[i] = preset;
            }
        }
        // A position without a camera (or with anything but a text) takes the first one.
        const QJsonObject cameras = doc.value(QStringLiteral("PresetLinkCameraMap")).toObject();
        for (int i = 1; i <= kPositionCount; ++i) {
            const QJsonValue camera = cameras.value(QStringLiteral("ArrayPos%1").arg(i));
            _cameraMap[i] = camera.isString() ? camera.toString().trimmed().toLower() : QString();
        }
        const struct {
            const char* key;
            RangeTable* table;
            int brand;
        } zones[] = {{"SennheiserAzimuthRange", &_sennheiserRanges, Sennheiser},
                     {"NurevaAzimuthRange", &_nurevaRanges, Nureva},
                     {"YamahaAzimuthRange", &_yamahaRanges, Yamaha}};
        for (const auto& zone : zones) {
            const QString key = QString::fromLatin1(zone.key);
            if (!doc.contains(key))
                continue;
            const QJsonObject ranges = doc.value(key).toObject();
            for (int i = 1; i <= kPositionCount; ++i) {
                const QString text = ranges.value(QStringLiteral("azimuthRange%1").arg(i)).toString();
                const QStringList parts = text.split(QLatin1Char('~'), Qt::KeepEmptyParts);
                // A bound beyond what the brand's editors can show is held at their limit,
                // as the editor shows it: otherwise the page would show and run one zone and
                // save another.
                const Span limits = editorLimits(zone.brand);
                AzimuthRange r;
                r.start = qBound(limits.low, parts.value(0).trimmed().toInt(), limits.high);
                r.end = qBound(limits.low, parts.value(1).trimmed().toInt(), limits.high);
                (*zone.table)[i] = r;
            }
        }
    }

    for (int i = 1; i <= kPositionCount; ++i) {
        const int preset = _presetMap.value(i, 0);
        _presetBoxes[i]->setCurrentIndex(preset < 0 ? 0 : preset);
        fillCameraBox(_cameraBoxes[i], _cameraMap.value(i));
    }
    refreshRangeEditors();
    connectEditSignals();
    publishMap();
}

QStringList PresetLink::rangeTexts(int deviceBrandInt) const {
    const RangeTable* table = rangeTable(deviceBrandInt);
    if (!table)
        return {};
    QStringList texts{QStringLiteral("Start")};
    for (int i = 1; i <= kPositionCount; ++i) {
        const AzimuthRange r = table->value(i);
        texts << QStringLiteral("%1~%2").arg(r.start).arg(r.end);
    }
    return texts;
}

AzimuthRange PresetLink::range(int deviceBrandInt, int position) const {
    const RangeTable* table = rangeTable(deviceBrandInt);
    return table ? table->value(position) : AzimuthRange{};
}

bool PresetLink::isLightOn(int position) const {
    return position >= 1 && position <= kPositionCount && _lightStates[position];
}

bool PresetLink::isApplyEnabled() const {
    return _applyButton->isEnabled();
}

QComboBox* PresetLink::presetBox(int position) const {
    return position >= 1 && position <= kPositionCount ? _presetBoxes[position] : nullptr;
}

QComboBox* PresetLink::cameraBox(int position) const {
    return position >= 1 && position <= kPositionCount ? _cameraBoxes[position] : nullptr;
}

void PresetLink::setCameraChoices(const QList<CameraChoice>& choices) {
    _cameraChoices = choices;
    // The boxes keep what they show, applied or not: new choices are no edit.
    disconnectEditSignals();
    for (int i = 1; i <= kPositionCount; ++i)
        fillCameraBox(_cameraBoxes[i], _cameraBoxes[i]->currentData().toString());
    connectEditSignals();
}

void PresetLink::fillCameraBox(QComboBox* box, const QString& location) {
    box->clear();
    box->addItem(tr(kFirstCamera), QString());
    bool found = location.isEmpty();
    for (const CameraChoice& choice : std::as_const(_cameraChoices)) {
        box->addItem(choice.label, choice.location);
        box->setItemData(box->count() - 1, choice.location, Qt::ToolTipRole);
        found = found || choice.location == location;
    }
    if (!found) {
        // Linked to a camera that is not attached: the link stays until the user changes it.
        box->addItem(tr("%1 (not attached)").arg(location), location);
        box->setItemData(box->count() - 1, location, Qt::ToolTipRole);
    }
    box->setCurrentIndex(std::max(0, box->findData(location)));
}

QSpinBox* PresetLink::rangeStartBox(int position) const {
    return position >= 1 && position <= kPositionCount ? _rangeStartBoxes[position] : nullptr;
}

QSpinBox* PresetLink::rangeEndBox(int position) const {
    return position >= 1 && position <= kPositionCount ? _rangeEndBoxes[position] : nullptr;
}
