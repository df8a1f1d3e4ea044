#include "CameraListView.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QButtonGroup>
#include <QDebug>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonValue>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpacerItem>
#include <QTableWidget>

#include <cstdlib>
#include <cstring>

#include "CameraInfoKey.h"
#include "UsbSearch.h"
#include "VideoFormatChoice.h"
#include "vexsdk.h"

namespace {

using CameraInfoKey::name;

// The location identity a row's button stands for, in lower case (the form rows are matched by).
QString rowLocation(const QPushButton* button) {
    return button->property("DataInfo")
        .toJsonObject()
        .value(name(CameraInfoKey::LocationIdentity))
        .toString()
        .toLower();
}

QString rowSerial(const QPushButton* button) {
    return button->property("DataInfo").toJsonObject().value(name(CameraInfoKey::Serial)).toString();
}

const char* kPageStyle =
    "QFrame#CameraView_frame{background:#474E53;border:1px solid #595959;border-radius:4px;}"
    "QLabel#title_label{color:#4BBDEF;font-family:Arial;font-size:14px;font-weight:bold;"
    "background:transparent;border:none;}"
    "QTableWidget#camera_tableWidget{background:#474E53;border:none;}"
    "QTableWidget#camera_tableWidget QHeaderView{background:#474E53;border:none;}"
    "QTableWidget#camera_tableWidget QHeaderView::section{background:#474E53;color:#4BBDEF;"
    "font-family:Arial;font-size:14px;border:none;border-bottom:1px solid #4BBDEF;}"
    "QPushButton#ptz_pushButton{background:#595959;color:#f0f0f0;border:1px solid #8C8C8C;"
    "font-family:Arial;font-size:14px;}"
    "QPushButton#ptz_pushButton:hover{background:#4BBDEF;}";

QString rowStyle(bool connected) {
    return QStringLiteral(
               "QLabel,QPushButton,QLineEdit{background:%1;color:#f0f0f0;font-family:Arial;font-size:14px;"
               "border:none;border-bottom:1px solid #8C8C8C;}"
               "QPushButton:hover{background:#4BBDEF;color:#434343;}"
               "QPushButton:focus{border:1px solid #f0f0f0;}")
        .arg(connected ? QStringLiteral("#4BBDEF") : QStringLiteral("#474E53"));
}

// The rows are widgets inside the table's cells, and a table publishes its cells, not the
// widgets in them: a screen reader would find neither a camera's name nor its button. So the
// camera table is published as the plain widget it is, whose children (the viewport with each
// row's label and button, the header) are published as they are.
QAccessibleInterface* cameraTableAccessible(const QString& key, QObject* object) {
    if (key == QLatin1String("QTableWidget") && object && object->isWidgetType() &&
        object->objectName() == QLatin1String("camera_tableWidget"))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Grouping);
    return nullptr;
}

// A caller-owned text of the library's records: the holder and its text are malloc'ed.
DC_SourceText* newHolder() {
    return static_cast<DC_SourceText*>(std::calloc(1, sizeof(DC_SourceText)));
}

void releaseHolder(DC_SourceText*& holder) {
    if (holder != nullptr) {
        std::free(holder->source);
        std::free(holder);
        holder = nullptr;
    }
}

QString holderText(const DC_SourceText* holder) {
    if (holder == nullptr || holder->source == nullptr || holder->length <= 0)
        return QString();
    return QString::fromUtf8(holder->source,
                             static_cast<int>(strnlen(holder->source, static_cast<size_t>(holder->length))));
}

}  // namespace

CameraListView::CameraListView(QWidget* parent) : QWidget(parent) {
    // The announcement may be queued to a receiver on another thread (and recorded by tests).
    qRegisterMetaType<DC_Recv*>("DC_Recv*");
    static const bool accessibleTable = [] {
        QAccessible::installFactory(cameraTableAccessible);
        return true;
    }();
    Q_UNUSED(accessibleTable);
    buildForm();
    _searchButton->hide();
    connect(_ptzButton, &QPushButton::clicked, this, &CameraListView::slot_PTZControlClicked);
    _usbSearch = new UsbSearch(this);
    connect(_usbSearch, &UsbSearch::signal_GetUSBCameras, this, &CameraListView::slot_GetUSBCameras,
            Qt::QueuedConnection);
    connect(_usbSearch, &QThread::finished, this, &CameraListView::searchFinished);
}

CameraListView::~CameraListView() {
    _usbSearch->wait();
    destroyAllReceivers();
}

bool CameraListView::severalCamerasSetting(const QJsonObject& document) {
    return document.value(QStringLiteral("SeveralCameras")).toBool(false);
}

bool CameraListView::severalCameras() const {
    return severalCamerasSetting(qApp->property("configDataInforJsonObject").toJsonObject());
}

DC_Recv* CameraListView::currentReceiver() const {
    return _connectOrder.isEmpty() ? nullptr : _receivers.value(_connectOrder.first());
}

DC_Recv* CameraListView::receiverFor(const QString& locationIdentity) const {
    return _receivers.value(locationIdentity.toLower());
}

QString CameraListView::selectedLocation() const {
    if (_receivers.contains(_selected))
        return _selected;
    return _connectOrder.isEmpty() ? QString() : _connectOrder.first();
}

QStringList CameraListView::connectedLocationsInListOrder() const {
    QStringList locations;
    for (int row = 0; row < _table->rowCount(); ++row) {
        const QPushButton* button = rowButton(row);
        const QString location = button ? rowLocation(button) : QString();
        if (_receivers.contains(location) && !locations.contains(location))
            locations.append(location);
    }
    return locations;
}

QPushButton* CameraListView::buttonOf(const QString& locationIdentity) const {
    const QString wanted = locationIdentity.toLower();
    for (int row = 0; row < _table->rowCount(); ++row) {
        QPushButton* button = rowButton(row);
        if (button && rowLocation(button) == wanted)
            return button;
    }
    return nullptr;
}

QJsonObject CameraListView::cameraData(const QString& locationIdentity) const {
    QPushButton* button = buttonOf(locationIdentity);
    return button ? button->property("DataInfo").toJsonObject() : QJsonObject();
}

void CameraListView::buildForm() {
    setObjectName(QStringLiteral("CameraListView"));
    resize(656, 184);
    setMinimumSize(656, 184);
    setStyleSheet(QString::fromLatin1(kPageStyle));

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    _frame = new QFrame(this);
    _frame->setObjectName(QStringLiteral("CameraView_frame"));
    outer->addWidget(_frame);

    auto* grid = new QGridLayout(_frame);
    grid->setContentsMargins(8, 4, 8, 8);
    grid->setSpacing(4);

    _titleLabel = new QLabel(tr("Camera Control & State"), _frame);
    _titleLabel->setObjectName(QStringLiteral("title_label"));
    _titleLabel->setFixedHeight(24);
    grid->addWidget(_titleLabel, 0, 0, 1, 2);

    _searchButton = new QPushButton(_frame);
    _searchButton->setObjectName(QStringLiteral("search_pushButton"));
    _searchButton->setFixedSize(45, 45);
    grid->addWidget(_searchButton, 1, 0);

    _table = new QTableWidget(0, 3, _frame);
    _table->setObjectName(QStringLiteral("camera_tableWidget"));
    _table->setHorizontalHeaderLabels({tr("Camera"), tr("Control Status"), tr("Name")});
    for (int c = 0; c < 3; ++c) _table->setColumnWidth(c, 200);
    _table->setShowGrid(false);
    _table->verticalHeader()->setVisible(false);
    _table->horizontalHeader()->setHighlightSections(false);
    _table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    _table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    _table->setSelectionMode(QAbstractItemView::NoSelection);
    _table->setSelectionBehavior(QAbstractItemView::SelectRows);
    _table->setTabKeyNavigation(false);
    _table->setDropIndicatorShown(false);
    _table->setFocusPolicy(Qt::NoFocus);
    _table->setAccessibleName(tr("Cameras"));
    grid->addWidget(_table, 1, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    _ptzButton = new QPushButton(tr("PTZ Control"), _frame);
    _ptzButton->setObjectName(QStringLiteral("ptz_pushButton"));
    _ptzButton->setFixedSize(120, 24);
    buttons->addWidget(_ptzButton);
    grid->addLayout(buttons, 2, 0, 1, 2);

    _buttonGroup = new QButtonGroup(this);
    _buttonGroup->setExclusive(false);
}

QString CameraListView::displayModelName(const QString& modelName) {
    if (modelName.contains(QLatin1String("ZM-130")))
        return QStringLiteral("ZM-130");
    if (modelName.contains(QLatin1String("ZM-150")))
        return QStringLiteral("ZM-150");
    return modelName;
}

int CameraListView::rowCount() const {
    return _table->rowCount();
}

QPushButton* CameraListView::rowButton(int row) const {
    return qobject_cast<QPushButton*>(_table->cellWidget(row, 1));
}

QLabel* CameraListView::rowLabel(int row) const {
    return qobject_cast<QLabel*>(_table->cellWidget(row, 0));
}

int CameraListView::rowOfButton(const QAbstractButton* button) const {
    for (int row = 0; row < _table->rowCount(); ++row) {
        if (_table->cellWidget(row, 1) == button)
            return row;
    }
    return -1;
}

void CameraListView::applyRowColours(int row) {
    QPushButton* button = rowButton(row);
    const bool connected = button && button->property("isConnected").toBool();
    const QString style = rowStyle(connected);
    // What the colour says, for a screen reader: the row's state.
    const QString state = connected ? tr("Connected") : tr("Not connected");
    for (int column = 0; column < 3; ++column) {
        if (QWidget* cell = _table->cellWidget(row, column)) {
            cell->setStyleSheet(style);
            if (column < 2)
                cell->setAccessibleDescription(state);
        }
    }
}

// ---- the search and the rows ------------------------------------------------------------------

void CameraListView::slot_StartUSBSearch() {
    if (!_usbSearch->isRunning())
        _usbSearch->start(QThread::InheritPriority);
}

void CameraListView::searchFinished() {
    _unpluggedDuringSearch.clear();
    if (_searchAgain) {
        _searchAgain = false;
        _usbSearch->start(QThread::InheritPriority);
    }
}

void CameraListView::slot_GetUSBCameras(QList<USB_DeviceInfo> usbDeviceList) {
    QStringList known;
    for (int row = 0; row < _table->rowCount(); ++row) {
        if (QPushButton* button = rowButton(row)) {
            known.append(rowLocation(button));
        }
    }
    QStringList denied;
    for (int row = 0; row < _table->rowCount(); ++row) {
        const QString location = noPermissionLocation(row);
        if (!location.isEmpty())
            denied.append(location);
    }
    for (const USB_DeviceInfo& info : std::as_const(usbDeviceList)) {
        const QString location = info.locationIdentity.toLower();
        if (known.contains(location) || _unpluggedDuringSearch.contains(location))
            continue;
        if (info.noPermission) {
            // Said in the list until the camera can be opened; a saved or awaited connection
            // of it waits for that.
            if (!denied.contains(location)) {
                denied.append(location);
                addNoPermissionRow(info);
                emit signal_CamerasChanged();
            }
            continue;
        }
        if (denied.contains(location)) {
            // The rights came (the udev rule, a new login): the camera's own row replaces it.
            denied.removeAll(location);
            removeNoPermissionRow(location);
        }
        known.append(location);
        addRow(info);
        // Heard before the saved camera's connection below, which names this row.
        emit signal_CamerasChanged();
        if (_pendingAutoConnect.contains(location)) {
            _pendingAutoConnect.removeAll(location);
            qDebug() << "CameraListView::slot_GetUSBCameras"
                     << "auto connect:" << location;
            connectSavedCamera(location);
        }
        const int awaited = awaitedIndexOf(location, info.serial);
        if (awaited >= 0) {
            _awaited.removeAt(awaited);
            qDebug() << "CameraListView::slot_GetUSBCameras"
                     << "reconnect:" << location << info.serial;
            connectSavedCamera(location);
        }
    }
}

void CameraListView::setAutoReconnect(bool on) {
    _autoReconnect = on;
    if (!on)
        _awaited.clear();
}

int CameraListView::awaitedIndexOf(const QString& locationIdentity, const QString& serial) const {
    // Its place first; a camera with a serial number is also known on another port. (A different
    // camera plugged into the same place is taken for it: the place is what the user chose.)
    for (int i = 0; i < _awaited.size(); ++i) {
        if (_awaited.at(i).location == locationIdentity)
            return i;
    }
    for (int i = 0; i < _awaited.size() && !serial.isEmpty(); ++i) {
        if (_awaited.at(i).serial == serial)
            return i;
    }
    return -1;
}

void CameraListView::userChose(const QString& locationIdentity, const QString& serial) {
    if (!severalCameras()) {
        _pendingAutoConnect.clear();
        _awaited.clear();
        return;
    }
    _pendingAutoConnect.removeAll(locationIdentity);
    for (int i = _awaited.size() - 1; i >= 0; --i) {
        const AwaitedCamera& camera = _awaited.at(i);
        if (camera.location == locationIdentity || (!serial.isEmpty() && camera.serial == serial))
            _awaited.removeAt(i);
    }
}

void CameraListView::addRow(const USB_DeviceInfo& info) {
    const int row = _table->rowCount();
    _table->insertRow(row);

    QJsonObject data;
    data.insert(name(CameraInfoKey::ModelName), info.modelName);
    data.insert(name(CameraInfoKey::DeviceModeInt), info.deviceModeInt);
    data.insert(name(CameraInfoKey::FriendlyName), info.friendlyName);
    data.insert(name(CameraInfoKey::VID), info.vid);
    data.insert(name(CameraInfoKey::PID), info.pid);
    data.insert(name(CameraInfoKey::Type), QStringLiteral("USB"));
    data.insert(name(CameraInfoKey::PortPath), info.portPath);
    data.insert(name(CameraInfoKey::PortInfo), info.portInfo);
    data.insert(name(CameraInfoKey::LocationIdentity), info.locationIdentity);
    data.insert(name(CameraInfoKey::IsConnect), QStringLiteral("0"));

    // The inverted tilt saved for this very camera (model, ids, identity and port all equal);
    // the last matching element wins.
    bool invertTilt = false;
    const QJsonArray saved = qApp->property("configDataInforJsonObject")
                                 .toJsonObject()
                                 .value(QStringLiteral("UsbCamerasArray"))
                                 .toArray();
    for (const QJsonValue& value : saved) {
        const QJsonObject element = value.toObject();
        if (element.value(name(CameraInfoKey::ModelName)).toString() == info.modelName &&
            element.value(name(CameraInfoKey::VID)).toString() == info.vid &&
            element.value(name(CameraInfoKey::PID)).toString() == info.pid &&
            element.value(name(CameraInfoKey::LocationIdentity)).toString() == info.locationIdentity &&
            element.value(name(CameraInfoKey::PortPath)).toString() == info.portPath)
            invertTilt = element.value(name(CameraInfoKey::LRInvertTilt)).toBool();
    }
    data.insert(name(CameraInfoKey::LRInvertTilt), invertTilt);
    data.insert(name(CameraInfoKey::ShortName), savedShortName(info.locationIdentity));
    data.insert(name(CameraInfoKey::Serial), info.serial);

    auto* label = new QLabel(displayModelName(info.modelName));
    label->setObjectName(QStringLiteral("ModelName"));
    label->setAlignment(Qt::AlignCenter);
    label->setProperty("DataInfo", data);
    _table->setCellWidget(row, 0, label);

    auto* button = new QPushButton(tr("Connect"));
    button->setObjectName(QStringLiteral("UsbConnect"));
    button->setFlat(true);
    // Reached by Tab, row after row and before "PTZ Control"; Space or Enter connects.
    button->setFocusPolicy(Qt::StrongFocus);
    button->setAutoDefault(true);
    button->setProperty("DataInfo", data);
    button->setProperty("isConnected", false);
    connect(button, &QPushButton::clicked, this, &CameraListView::slot_ConnectUSBCamera);
    _table->setCellWidget(row, 1, button);
    _buttonGroup->addButton(button, row);
    // After the previous row's name (its last stop), else its button.
    QWidget* previous = row > 0 ? _table->cellWidget(row - 1, 2) : nullptr;
    if (!previous && row > 0)
        previous = rowButton(row - 1);
    if (previous)
        QWidget::setTabOrder(previous, button);

    // The name people in the room call the camera by ("Front", "Side"), shown wherever a
    // camera is chosen.
    auto* shortName = new QLineEdit(data.value(name(CameraInfoKey::ShortName)).toString());
    shortName->setObjectName(QStringLiteral("ShortName"));
    shortName->setAlignment(Qt::AlignCenter);
    shortName->setMaxLength(kShortNameMaxLength);
    shortName->setPlaceholderText(tr("Name"));
    shortName->setAccessibleName(tr("Short name of %1").arg(displayModelName(info.modelName)));
    const QString location = info.locationIdentity.toLower();
    connect(shortName, &QLineEdit::editingFinished, this,
            [this, shortName, location] { setShortName(location, shortName->text()); });
    _table->setCellWidget(row, 2, shortName);
    QWidget::setTabOrder(button, shortName);
    QWidget::setTabOrder(shortName, _ptzButton);

    applyRowColours(row);
}

void CameraListView::addNoPermissionRow(const USB_DeviceInfo& info) {
    const int row = _table->rowCount();
    _table->insertRow(row);
    auto* label = new QLabel(tr("No permission to use this camera: see Real cameras in the README."));
    label->setObjectName(QStringLiteral("NoPermission"));
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    label->setProperty("NoPermissionLocation", info.locationIdentity.toLower());
    label->setToolTip(info.portInfo.isEmpty() ? info.locationIdentity : info.portInfo);
    label->setStyleSheet(rowStyle(false));
    _table->setCellWidget(row, 0, label);
    _table->setSpan(row, 0, 1, 3);
}

QString CameraListView::noPermissionLocation(int row) const {
    const QLabel* label = rowLabel(row);
    return label ? label->property("NoPermissionLocation").toString() : QString();
}

void CameraListView::removeNoPermissionRow(const QString& locationIdentity) {
    const QString location = locationIdentity.toLower();
    for (int row = _table->rowCount() - 1; row >= 0; --row) {
        if (noPermissionLocation(row) == location) {
            _table->setSpan(row, 0, 1, 1);
            _table->removeRow(row);
        }
    }
    renumberButtons();
}

QString CameraListView::savedShortName(const QString& locationIdentity) {
    const QJsonArray saved = qApp->property("configDataInforJsonObject")
                                 .toJsonObject()
                                 .value(QStringLiteral("UsbCamerasArray"))
                                 .toArray();
    QString found;
    for (const QJsonValue& value : saved) {
        const QJsonObject element = value.toObject();
        if (element.value(name(CameraInfoKey::LocationIdentity))
                .toString()
                .compare(locationIdentity, Qt::CaseInsensitive) == 0)
            found = element.value(name(CameraInfoKey::ShortName)).toString();
    }
    return found.trimmed().left(kShortNameMaxLength);
}

bool CameraListView::setShortName(const QString& locationIdentity, const QString& shortName) {
    const QString text = shortName.trimmed().left(kShortNameMaxLength);
    bool changed = false;
    for (int row = 0; row < _table->rowCount(); ++row) {
        QPushButton* button = rowButton(row);
        if (!button || rowLocation(button) != locationIdentity.toLower())
            continue;
        QJsonObject data = button->property("DataInfo").toJsonObject();
        changed = changed || data.value(name(CameraInfoKey::ShortName)).toString() != text;
        data.insert(name(CameraInfoKey::ShortName), text);
        button->setProperty("DataInfo", data);
        if (auto* label = qobject_cast<QLabel*>(_table->cellWidget(row, 0))) {
            QJsonObject labelData = label->property("DataInfo").toJsonObject();
            labelData.insert(name(CameraInfoKey::ShortName), text);
            label->setProperty("DataInfo", labelData);
        }
        if (auto* edit = qobject_cast<QLineEdit*>(_table->cellWidget(row, 2)); edit && edit->text() != text)
            edit->setText(text);
    }
    if (changed)
        emit signal_ShortNameChanged(locationIdentity.toLower(), text);
    return changed;
}

QString CameraListView::cameraLabel(const QJsonObject& data) {
    const QString shortName = data.value(name(CameraInfoKey::ShortName)).toString();
    return shortName.isEmpty() ? displayModelName(data.value(name(CameraInfoKey::ModelName)).toString())
                               : shortName;
}

QJsonArray CameraListView::cameraArray() const {
    QJsonArray cameras;
    for (int row = 0; row < _table->rowCount(); ++row) {
        QPushButton* button = rowButton(row);
        if (!button)
            continue;
        QJsonObject data = button->property("DataInfo").toJsonObject();
        data.insert(name(CameraInfoKey::IsConnect),
                    button->property("isConnected").toBool() ? QStringLiteral("1") : QStringLiteral("0"));
        cameras.append(data);
    }
    return cameras;
}

// ---- connecting -------------------------------------------------------------------------------

void CameraListView::destroyReceiver(const QString& locationIdentity) {
    const QString location = locationIdentity.toLower();
    DC_Recv* recv = _receivers.take(location);
    if (!recv)
        return;
    const bool wasDefault = _connectOrder.value(0) == location;
    _connectOrder.removeAll(location);
    // Every listener drops the pointer first; the worker's slots return only once no command
    // runs on the receiver. The default's listeners hear before the camera's (the panel).
    if (wasDefault)
        emit signal_ConnectUSBCamera(currentReceiver());
    emit signal_CameraReceiver(location, nullptr);
    delete recv;
}

void CameraListView::destroyAllReceivers() {
    // The newest first, so the default is handed on as rarely as possible.
    while (!_connectOrder.isEmpty()) destroyReceiver(_connectOrder.last());
}

void CameraListView::slot_ConnectUSBCamera() {
    if (auto* button = qobject_cast<QPushButton*>(sender())) {
        // The user chose: a saved or awaited camera arriving later no longer overrides that
        // (with several cameras: for this camera).
        userChose(rowLocation(button), rowSerial(button));
        connectUSBCameraProcess(button);
    }
}

void CameraListView::connectUSBCameraProcess(QPushButton* button) {
    const bool several = severalCameras();
    const QString rowLocationText = rowLocation(button);
    if (several)
        destroyReceiver(rowLocationText);
    else
        destroyAllReceivers();

    const bool wasConnected = button->property("isConnected").toBool();
    const int senderId = _buttonGroup->id(button);
    qDebug() << "CameraListView::connectUSBCameraProcess"
             << " senderButtonID" << senderId << " isConnected:" << wasConnected << " several:" << several;

    // Every other row's button (ids are row numbers, and a row without a button leaves a gap).
    const QList<QAbstractButton*> buttons = _buttonGroup->buttons();
    for (QAbstractButton* other : buttons) {
        if (several || other == button)
            continue;
        other->setProperty("isConnected", false);
        other->setText(tr("Connect"));
        applyRowColours(rowOfButton(other));
    }

    const int row = rowOfButton(button);
    if (wasConnected) {
        button->setText(tr("Connect"));
        button->setProperty("isConnected", false);
        applyRowColours(row);
        return;
    }
    _selected = rowLocationText;

    button->setText(tr("Disconnect"));
    button->setProperty("isConnected", true);
    const QJsonObject data = button->property("DataInfo").toJsonObject();
    const int deviceModel = data.value(name(CameraInfoKey::DeviceModeInt)).toInt();
    const QString locationIdentity = data.value(name(CameraInfoKey::LocationIdentity)).toString();
    const QString type = data.value(name(CameraInfoKey::Type)).toString();

    DC_Find* find = new DC_Find;
    find->initialize();

    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        DC_CaptureFormats formats;
        formats.renderWindowRef = &_windowHandleRef;
        formats.url = newHolder();
        bool hardwareDecoding = false;
        if (type.toUpper() == QLatin1String("USB")) {
            formats.videoDeviceName = newHolder();
            formats.audioDeviceName = newHolder();
            const QByteArray location = locationIdentity.toUtf8();
            if (formats.url) {
                formats.url->source =
                    static_cast<char*>(std::malloc(static_cast<size_t>(location.size()) + 1));
                if (formats.url->source) {
                    std::memcpy(formats.url->source, location.constData(),
                                static_cast<size_t>(location.size()) + 1);
                    formats.url->length = static_cast<int32_t>(location.size() + 1);
                }
            }
            formats.sourceType = 0;
            find->getSources(&formats);
            qDebug() << "CameraListView::connectUSBCameraProcess"
                     << "listDC_CaptureFormats.url->source:" << holderText(formats.url);
            qDebug() << "CameraListView::connectUSBCameraProcess"
                     << "source.videoDeviceName->source:" << holderText(formats.videoDeviceName);

            const VideoFormatChoice choice = VideoFormatChoice::choose(formats.videoFormatList);
            formats.videoFormatIndex = choice.videoFormatIndex;
            hardwareDecoding = choice.hardwareDecoding;
            // The receiver is opened for video only.
            releaseHolder(formats.audioDeviceName);
        }
        formats.deviceModel = deviceModel;
        qDebug() << "CameraListView::connectUSBCameraProcess"
                 << "listDC_CaptureFormats.deviceModel:" << formats.deviceModel;

        auto* recv = new DC_Recv(formats);
        qDebug() << "CameraListView::connectUSBCameraProcess"
                 << "isHWDecodeFirst" << hardwareDecoding;
        recv->setIsEnableDXAV2Decode(hardwareDecoding);
        recv->setIsEnableDigitalZoom(false);
        qDebug() << "CameraListView::connectUSBCameraProcess"
                 << "dc_recv initialize";
        const bool initialized = recv->initialize(&_aiFlag);
        releaseHolder(formats.url);
        releaseHolder(formats.videoDeviceName);
        releaseHolder(formats.audioDeviceName);

        if (initialized) {
            qDebug() << "CameraListView::connectUSBCameraProcess"
                     << "initialize:" << initialized;
            delete find;
            _receivers.insert(rowLocationText, recv);
            _connectOrder.append(rowLocationText);
            if (_connectOrder.size() == 1)
                emit signal_ConnectUSBCamera(recv);  // the default camera
            emit signal_CameraReceiver(rowLocationText, recv);
            applyRowColours(row);
            return;
        }
        if (attempt == kConnectAttempts - 1) {
            qDebug() << "CameraListView::connectUSBCameraProcess"
                     << "initialize:" << initialized;
            delete find;
            // A camera that cannot be opened is not connected: the row offers "Connect" again
            // and nobody is left holding a receiver that never worked. (Nobody was ever
            // handed this one; with one camera at a time nothing is connected now.)
            if (!several)
                emit signal_ConnectUSBCamera(nullptr);
            delete recv;
            button->setText(tr("Connect"));
            button->setProperty("isConnected", false);
            applyRowColours(row);
            emit signal_WarningMessage(tr("Camera cannot be opened."));
            return;
        }
        delete recv;
    }
}

bool CameraListView::connectSavedCamera(const QString& locationIdentity) {
    bool any = false;
    for (int row = 0; row < _table->rowCount(); ++row) {
        QPushButton* button = rowButton(row);
        if (!button)
            continue;
        const QString location = rowLocation(button);
        if (location != locationIdentity)
            continue;
        any = true;
        if (_receivers.contains(location))
            continue;  // already connected (a saved camera listed twice)
        button->setProperty("isConnected", false);
        connectUSBCameraProcess(button);
    }
    return any;
}

void CameraListView::slot_StartAutoConnect() {
    const QJsonObject document = qApp->property("configDataInforJsonObject").toJsonObject();
    const QJsonArray saved = document.value(QStringLiteral("UsbCamerasArray")).toArray();
    QStringList locations;
    for (const QJsonValue& value : saved) {
        const QJsonObject element = value.toObject();
        if (element.value(name(CameraInfoKey::IsConnect)).toString() != QLatin1String("1"))
            continue;
        const QString location = element.value(name(CameraInfoKey::LocationIdentity)).toString().toLower();
        if (location.isEmpty())
            continue;
        locations.removeAll(location);
        locations.append(location);
    }
    // One camera at a time: the last one saved as connected (an older document may say
    // more than one).
    if (!severalCamerasSetting(document) && locations.size() > 1)
        locations = QStringList{locations.last()};
    // The first search may not have delivered a camera's row yet; then it is connected
    // when the row arrives.
    for (const QString& location : std::as_const(locations)) {
        if (!connectSavedCamera(location) && !_pendingAutoConnect.contains(location))
            _pendingAutoConnect.append(location);
    }
}

// ---- hot-plug ---------------------------------------------------------------------------------

void CameraListView::slot_deviceUSBPlugIn(QString deviceUSBPlugInLocationIdentity) {
    qDebug() << "CameraListView::slot_deviceUSBPlugIn" << deviceUSBPlugInLocationIdentity;
    if (_usbSearch->isRunning()) {
        _searchAgain = true;
        return;
    }
    _usbSearch->start(QThread::InheritPriority);
}

void CameraListView::slot_deviceUSBPlugOut(QString deviceUSBPlugOutLocationIdentity) {
    const int rowsBefore = _table->rowCount();
    qDebug() << "CameraListView::slot_deviceUSBPlugOut"
             << "deviceUSBPlugOutLocationIdentity:" << deviceUSBPlugOutLocationIdentity;
    if (_usbSearch->isRunning())
        _unpluggedDuringSearch.append(deviceUSBPlugOutLocationIdentity.toLower());
    for (int row = _table->rowCount() - 1; row >= 0; --row) {
        QPushButton* button = rowButton(row);
        if (!button)
            continue;
        const QString location = rowLocation(button);
        qDebug() << "locationId:" << location;
        if (location != deviceUSBPlugOutLocationIdentity)
            continue;
        // Only this camera goes; the others stay connected (and the tracking moves to the
        // next one when this was the default).
        if (button->property("isConnected").toBool() && _receivers.contains(location)) {
            destroyReceiver(location);
            // Gone while connected (a loose cable, a hub losing power): connected again when
            // it is back, unless the user chooses otherwise meanwhile.
            if (_autoReconnect) {
                const QJsonObject data = button->property("DataInfo").toJsonObject();
                AwaitedCamera awaited{
                    location, rowSerial(button),
                    displayModelName(data.value(name(CameraInfoKey::ModelName)).toString())};
                for (int i = _awaited.size() - 1; i >= 0; --i) {
                    if (_awaited.at(i).location == location ||
                        (!awaited.serial.isEmpty() && _awaited.at(i).serial == awaited.serial))
                        _awaited.removeAt(i);
                }
                _awaited.append(awaited);
            }
        }
        _pendingAutoConnect.removeAll(location);
        _buttonGroup->removeButton(button);
        _table->removeRow(row);
    }
    removeNoPermissionRow(deviceUSBPlugOutLocationIdentity);
    renumberButtons();
    if (_table->rowCount() != rowsBefore)
        emit signal_CamerasChanged();
}

bool CameraListView::connectCamera(const QString& locationIdentity) {
    const QString wanted = locationIdentity.toLower();
    for (int row = 0; row < _table->rowCount(); ++row) {
        QPushButton* button = rowButton(row);
        if (!button)
            continue;
        const QString location = rowLocation(button);
        if (location != wanted)
            continue;
        if (button->property("isConnected").toBool() && _receivers.contains(wanted))
            return true;
        // A choice made from outside counts as the user's: a saved camera arriving later
        // does not override it.
        userChose(wanted, rowSerial(button));
        button->setProperty("isConnected", false);
        connectUSBCameraProcess(button);
        return true;
    }
    return false;
}

void CameraListView::disconnectCamera(const QString& locationIdentity) {
    const QString location = locationIdentity.isEmpty() ? _connectOrder.value(0) : locationIdentity.toLower();
    if (!_receivers.contains(location)) {
        // A camera away while it is disconnected by hand stays disconnected when it is back.
        for (int i = _awaited.size() - 1; i >= 0 && !location.isEmpty(); --i) {
            if (_awaited.at(i).location == location)
                _awaited.removeAt(i);
        }
        return;
    }
    QPushButton* button = buttonOf(location);
    if (button && button->property("isConnected").toBool()) {
        userChose(location, rowSerial(button));
        connectUSBCameraProcess(button);
    }
}

QString CameraListView::connectedLocation() const {
    if (_connectOrder.isEmpty())
        return QString();
    return cameraData(_connectOrder.first()).value(name(CameraInfoKey::LocationIdentity)).toString();
}

void CameraListView::renumberButtons() {
    for (QAbstractButton* button : _buttonGroup->buttons()) _buttonGroup->removeButton(button);
    for (int row = 0; row < _table->rowCount(); ++row) {
        if (QPushButton* button = rowButton(row))
            _buttonGroup->addButton(button, row);
    }
}

// ---- the connected camera ---------------------------------------------------------------------

void CameraListView::slot_SetInvertTilt(bool inverTiltBool) {
    if (!_connectOrder.isEmpty())
        slot_SetCameraInvertTilt(_connectOrder.first(), inverTiltBool);
}

void CameraListView::slot_SetCameraInvertTilt(QString locationIdentity, bool inverTiltBool) {
    QPushButton* button = buttonOf(locationIdentity);
    if (!button || !button->property("isConnected").toBool())
        return;
    QJsonObject data = button->property("DataInfo").toJsonObject();
    data.insert(name(CameraInfoKey::LRInvertTilt), inverTiltBool);
    button->setProperty("DataInfo", data);
}

void CameraListView::slot_PTZControlClicked(bool clicked) {
    const QString selected = selectedLocation();
    const QJsonObject dataObject = selected.isEmpty() ? QJsonObject() : cameraData(selected);
    qDebug() << "CameraListView::slot_PTZControlClicked"
             << " dataObject:" << dataObject;
    emit signal_PTZControlClicked(clicked, dataObject);
}
