#include "PTZControlForm.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "AppResources.h"
#include "FramePump.h"
#include "PreviewOpenThread.h"
#include "PreviewRenderer.h"
#include "PreviewWindow.h"
#include "RenderWidget.h"
#include "titleWidget.h"
#include "vexsdk.h"

namespace {

using Kind = CameraCommand::Kind;
using Direction = CameraCommand::Direction;

const char* kPanelStyle =
    "QFrame#ptz_frame{background:#40484D;border:1px solid #595959;}"
    "QWidget#ptz_content{background:transparent;}"
    "QFrame#settings_frame,QFrame#pad_frame,QFrame#preset_frame,QFrame#lens_frame{"
    "background:#474E53;border:1px solid #595959;border-radius:4px;}"
    "QWidget#ptz_content QLabel{color:#f0f0f0;font-family:Arial;font-size:14px;background:transparent;"
    "border:none;}"
    "QWidget#ptz_content QLabel[heading=\"true\"]{color:#4BBDEF;font-weight:bold;}"
    "QWidget#ptz_content QCheckBox{color:#f0f0f0;font-family:Arial;font-size:14px;background:transparent;"
    "spacing:8px;}"
    "QWidget#ptz_content QCheckBox::indicator{width:16px;height:16px;border:1px solid #8C8C8C;"
    "border-radius:2px;background:#595959;}"
    "QWidget#ptz_content QCheckBox::indicator:hover{border-color:#4BBDEF;}"
    "QWidget#ptz_content QCheckBox::indicator:checked{background:#4BBDEF;"
    "image:url(:/device/icons/ptz/check.png);}"
    "QWidget#ptz_content QComboBox{background:#595959;color:#f0f0f0;border:1px solid #8C8C8C;"
    "border-radius:3px;font-family:Arial;font-size:14px;padding-left:8px;}"
    "QWidget#ptz_content QComboBox QAbstractItemView{background:#474E53;color:#f0f0f0;"
    "selection-background-color:#4BBDEF;border:1px solid #8C8C8C;}"
    "QWidget#ptz_content QPushButton{background:#595959;color:#f0f0f0;border:1px solid #8C8C8C;"
    "border-radius:3px;font-family:Arial;font-size:14px;}"
    "QWidget#ptz_content QPushButton:hover{background:#4BBDEF;}"
    "QWidget#ptz_content QPushButton:pressed{background:#3A9CC8;}"
    "QWidget#ptz_content QPushButton:checked{background:#4BBDEF;color:#2D3336;font-weight:bold;}"
    "QToolTip{background:#2D3336;color:#f0f0f0;border:1px solid #8C8C8C;font-family:Arial;font-size:12px;"
    "padding:2px;}";

QIcon ptzIcon(const char* name) {
    return QIcon(QStringLiteral(":/device/icons/ptz/%1.png").arg(QLatin1String(name)));
}

QLabel* heading(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setProperty("heading", true);
    return label;
}

}  // namespace

PTZControlForm::PTZControlForm(QWidget* parent) : QWidget(parent) {
    ensureAppResources();
    // The panel may be handed receivers across threads by queued connections (and tests
    // record them).
    qRegisterMetaType<DC_Recv*>("DC_Recv*");
    buildForm();
    setWindowTitle(_titleBar->titleText());
    _idleThread = new PreviewOpenThread(this);
}

PTZControlForm::~PTZControlForm() {
    teardownPreview();
    // The own pump's thread stops a preview it started and waits for a call in progress; it
    // must do so before the receiver pointer means nothing any more.
    delete _ownPump;
    _ownPump = nullptr;
}

PreviewOpenThread* PTZControlForm::previewThread() const {
    return _pump ? _pump->openThread() : _idleThread;
}

FramePump* PTZControlForm::pumpForReceiver() {
    if (_receiver == nullptr)
        return nullptr;
    if (_pumpProvider) {
        if (FramePump* provided = _pumpProvider(_receiver))
            return provided;
    }
    if (_ownPump == nullptr || _ownPump->receiver() != _receiver) {
        delete _ownPump;
        _ownPump = new FramePump(_receiver, this);
    }
    return _ownPump;
}

void PTZControlForm::dropPump() {
    // A provider's pump is its owner's to forget; the panel's own one forgets here (waiting
    // for an open in progress, which is undone).
    if (_ownPump != nullptr)
        _ownPump->forget();
}

// ---- form ---------------------------------------------------------------------------------

QPushButton* PTZControlForm::makeButton(QWidget* parent, const QString& objectName, const QString& text,
                                        const QString& toolTip) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(objectName);
    button->setToolTip(toolTip);
    // The panel keeps the keyboard: a focused button or combo box would take the arrows.
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

void PTZControlForm::buildForm() {
    setObjectName(QStringLiteral("PTZControlForm"));
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    resize(720, 660);
    setMinimumSize(720, 660);
    setMaximumSize(720, 10000);
    setFocusPolicy(Qt::StrongFocus);
    setStyleSheet(QString::fromLatin1(kPanelStyle));

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    auto* frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("ptz_frame"));
    outer->addWidget(frame);

    auto* column = new QVBoxLayout(frame);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    _titleBar = new titleWidget(frame);
    _titleBar->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    column->addWidget(_titleBar);

    auto* content = new QWidget(frame);
    content->setObjectName(QStringLiteral("ptz_content"));
    column->addWidget(content, 1);
    auto* body = new QVBoxLayout(content);
    body->setContentsMargins(40, 12, 40, 16);
    body->setSpacing(12);

    _renderWidget = new RenderWidget(content);
    _renderWidget->setFixedSize(640, 360);
    body->addWidget(_renderWidget, 0, Qt::AlignHCenter);

    auto* settings = new QFrame(content);
    settings->setObjectName(QStringLiteral("settings_frame"));
    settings->setFixedHeight(40);
    auto* settingsRow = new QHBoxLayout(settings);
    settingsRow->setContentsMargins(12, 0, 12, 0);
    _cameraComboBox = new QComboBox(settings);
    _cameraComboBox->setObjectName(QStringLiteral("camera_comboBox"));
    _cameraComboBox->setFixedSize(170, 26);
    _cameraComboBox->setFocusPolicy(Qt::NoFocus);
    _cameraComboBox->setToolTip(tr("The camera this panel steers"));
    _cameraComboBox->setAccessibleName(tr("Camera"));
    _cameraComboBox->hide();
    settingsRow->addWidget(_cameraComboBox);
    _directionCheckBox = new QCheckBox(tr("L/R Direction"), settings);
    _directionCheckBox->setObjectName(QStringLiteral("direction_checkBox"));
    _directionCheckBox->setFocusPolicy(Qt::NoFocus);
    _directionCheckBox->setToolTip(tr("Swap left and right: for a camera mounted upside down"));
    settingsRow->addWidget(_directionCheckBox);
    settingsRow->addStretch(1);
    auto* mirrorLabel = new QLabel(tr("Mirror / Flip"), settings);
    mirrorLabel->setObjectName(QStringLiteral("mirrorFlip_label"));
    settingsRow->addWidget(mirrorLabel);
    _mirrorFlipComboBox = new QComboBox(settings);
    _mirrorFlipComboBox->setObjectName(QStringLiteral("mirrorFlip_comboBox"));
    _mirrorFlipComboBox->addItems({tr("OFF"), tr("Mirror"), tr("Flip"), tr("Mirror+Flip")});
    _mirrorFlipComboBox->setFixedSize(140, 26);
    _mirrorFlipComboBox->setFocusPolicy(Qt::NoFocus);
    settingsRow->addWidget(_mirrorFlipComboBox);
    body->addWidget(settings);

    auto* controls = new QHBoxLayout;
    controls->setSpacing(12);
    controls->addWidget(buildPad(content));
    controls->addWidget(buildPresets(content), 1);
    controls->addWidget(buildLens(content));
    body->addLayout(controls);
    body->addStretch(1);

    connect(_titleBar, &titleWidget::signal_MinButtonClicked, this, &PTZControlForm::slot_MinButtonClicked);
    connect(_titleBar, &titleWidget::signal_CloseButtonClicked, this,
            &PTZControlForm::slot_CloseButtonClicked);
    connect(_titleBar, &titleWidget::signal_InofButtonClicked, this, &PTZControlForm::slot_InfoClicked);
    connect(_directionCheckBox, &QCheckBox::clicked, this, &PTZControlForm::slot_SetInvertTilt);
    connect(_cameraComboBox, &QComboBox::activated, this, [this](int index) {
        const QString location = _cameraComboBox->itemData(index).toString();
        if (location.compare(_cameraLocation, Qt::CaseInsensitive) != 0)
            emit signal_CameraChosen(location);
    });
    connect(_mirrorFlipComboBox, &QComboBox::currentIndexChanged, this, &PTZControlForm::slot_SetMirrorFlip);
}

QWidget* PTZControlForm::buildPad(QWidget* parent) {
    auto* frame = new QFrame(parent);
    frame->setObjectName(QStringLiteral("pad_frame"));
    auto* column = new QVBoxLayout(frame);
    column->setContentsMargins(10, 6, 10, 10);
    column->setSpacing(4);
    column->addWidget(heading(tr("Pan / Tilt"), frame));
    auto* grid = new QGridLayout;
    grid->setSpacing(5);
    column->addLayout(grid);
    // The headings of the pad and the presets stay level at the top whatever height each
    // frame's controls need.
    column->addStretch(1);

    struct PadButton {
        QPushButton** member;
        const char* name;
        const char* icon;
        QString toolTip;
        int row;
        int column;
        void (PTZControlForm::*press)();
        void (PTZControlForm::*release)();
    };
    const PadButton buttons[] = {
        {&_panUpLeft, "upLeft_pushButton", "arrow_up_left", tr("Up-left (keys Up + Left)"), 0, 0,
         &PTZControlForm::slot_pressPanUpLeftBtn, &PTZControlForm::slot_releasePanUpLeftBtn},
        {&_panUp, "up_pushButton", "arrow_up", tr("Up (key Up)"), 0, 1, &PTZControlForm::slot_pressPanUpBtn,
         &PTZControlForm::slot_releasePanUpBtn},
        {&_panUpRight, "upRight_pushButton", "arrow_up_right", tr("Up-right (keys Up + Right)"), 0, 2,
         &PTZControlForm::slot_pressPanUpRightBtn, &PTZControlForm::slot_releasePanUpRightBtn},
        {&_panLeft, "left_pushButton", "arrow_left", tr("Left (key Left)"), 1, 0,
         &PTZControlForm::slot_pressPanLeftBtn, &PTZControlForm::slot_releasePanLeftBtn},
        {&_panRight, "right_pushButton", "arrow_right", tr("Right (key Right)"), 1, 2,
         &PTZControlForm::slot_pressPanRightBtn, &PTZControlForm::slot_releasePanRightBtn},
        {&_panDownLeft, "downLeft_pushButton", "arrow_down_left", tr("Down-left (keys Down + Left)"), 2, 0,
         &PTZControlForm::slot_pressPanDownLeftBtn, &PTZControlForm::slot_releasePanDownLeftBtn},
        {&_panDown, "down_pushButton", "arrow_down", tr("Down (key Down)"), 2, 1,
         &PTZControlForm::slot_pressPanDownBtn, &PTZControlForm::slot_releasePanDownBtn},
        {&_panDownRight, "downRight_pushButton", "arrow_down_right", tr("Down-right (keys Down + Right)"), 2,
         2, &PTZControlForm::slot_pressPanDownRightBtn, &PTZControlForm::slot_releasePanDownRightBtn},
    };
    for (const PadButton& b : buttons) {
        QPushButton* button = makeButton(frame, QLatin1String(b.name), QString(), b.toolTip);
        // Icon only: assistive tools read the direction from the name.
        button->setAccessibleName(b.toolTip.section(QStringLiteral(" ("), 0, 0));
        button->setIcon(ptzIcon(b.icon));
        button->setIconSize(QSize(22, 22));
        button->setFixedSize(48, 38);
        button->setProperty("isEnable", true);
        grid->addWidget(button, b.row, b.column);
        connect(button, &QPushButton::pressed, this, b.press);
        connect(button, &QPushButton::released, this, b.release);
        *b.member = button;
    }
    _panHome = makeButton(frame, QStringLiteral("home_pushButton"), QString(), tr("Home (key Home)"));
    _panHome->setAccessibleName(tr("Home"));
    _panHome->setIcon(ptzIcon("home"));
    _panHome->setIconSize(QSize(22, 22));
    _panHome->setFixedSize(48, 38);
    _panHome->setProperty("isEnable", true);
    grid->addWidget(_panHome, 1, 1);
    connect(_panHome, &QPushButton::clicked, this, &PTZControlForm::slot_pressPanHomeBtn);
    return frame;
}

QWidget* PTZControlForm::buildPresets(QWidget* parent) {
    auto* frame = new QFrame(parent);
    frame->setObjectName(QStringLiteral("preset_frame"));
    auto* column = new QVBoxLayout(frame);
    column->setContentsMargins(10, 6, 10, 10);
    column->setSpacing(4);
    column->addWidget(heading(tr("Preset"), frame));
    auto* grid = new QGridLayout;
    grid->setSpacing(6);
    column->addLayout(grid);
    // The headings of the pad and the presets stay level at the top whatever height each
    // frame's controls need.
    column->addStretch(1);

    _presetGroup = new QButtonGroup(this);
    _presetGroup->setExclusive(false);
    for (int n = 0; n < 10; ++n) {
        QPushButton* button =
            makeButton(frame, QStringLiteral("preset%1_pushButton").arg(n), QString::number(n),
                       tr("Preset %1: click or key %1 calls it, Ctrl+%1 saves it").arg(n));
        button->setMinimumSize(36, 36);
        button->setProperty("Preset", n);
        _presetGroup->addButton(button, n);
        grid->addWidget(button, n / 5, n % 5);
        _presetButtons[n] = button;
    }
    _setButton = makeButton(frame, QStringLiteral("set_pushButton"), tr("Set"),
                            tr("Set: the next preset clicked (or its digit key) is saved"));
    _setButton->setCheckable(true);
    _setButton->setMinimumHeight(36);
    grid->addWidget(_setButton, 2, 0, 1, 3);
    _resetButton = makeButton(frame, QStringLiteral("reset_pushButton"), QString(),
                              tr("Reset: the next preset clicked (or its digit key) is cleared"));
    _resetButton->setCheckable(true);
    _resetButton->setAccessibleName(tr("Reset"));
    _resetButton->setIcon(ptzIcon("reset"));
    _resetButton->setIconSize(QSize(20, 20));
    _resetButton->setMinimumHeight(36);
    grid->addWidget(_resetButton, 2, 3, 1, 2);

    connect(_presetGroup, &QButtonGroup::buttonClicked, this, &PTZControlForm::slot_PresetButtonClicked);
    connect(_setButton, &QPushButton::clicked, this, &PTZControlForm::slot_checkPresetSetResetState);
    connect(_resetButton, &QPushButton::clicked, this, &PTZControlForm::slot_checkPresetSetResetState);
    return frame;
}

QWidget* PTZControlForm::buildLens(QWidget* parent) {
    auto* frame = new QFrame(parent);
    frame->setObjectName(QStringLiteral("lens_frame"));
    auto* grid = new QGridLayout(frame);
    grid->setContentsMargins(12, 10, 12, 10);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(8);

    auto* afLabel = new QLabel(tr("AF/ MF"), frame);
    afLabel->setObjectName(QStringLiteral("af_label"));
    _afButton =
        makeButton(frame, QStringLiteral("af_pushButton"), tr("AF"), tr("Automatic focus on (lit) or off"));
    _afButton->setCheckable(true);
    _afButton->setFixedSize(52, 32);

    auto* nearLabel = new QLabel(tr("Focus+"), frame);
    nearLabel->setObjectName(QStringLiteral("focusIn_label"));
    _focusInButton = makeButton(frame, QStringLiteral("focusIn_pushButton"), QStringLiteral("+"),
                                tr("Focus nearer while held"));
    _focusInButton->setFixedSize(52, 32);

    auto* farLabel = new QLabel(tr("Focus-"), frame);
    farLabel->setObjectName(QStringLiteral("focusOut_label"));
    _focusOutButton = makeButton(frame, QStringLiteral("focusOut_pushButton"), QStringLiteral("-"),
                                 tr("Focus farther while held"));
    _focusOutButton->setFixedSize(52, 32);
    // Carried like the pad's and zoom's, though focus presses and releases do not look at it.
    _focusInButton->setProperty("isEnable", true);
    _focusOutButton->setProperty("isEnable", true);

    auto* zoomLabel = new QLabel(tr("Zoom"), frame);
    zoomLabel->setObjectName(QStringLiteral("zoom_label"));
    zoomLabel->setAlignment(Qt::AlignCenter);
    _zoomInButton =
        makeButton(frame, QStringLiteral("zoomIn_pushButton"), QString(), tr("Zoom in while held (key +)"));
    _zoomInButton->setAccessibleName(tr("Zoom in"));
    _zoomInButton->setIcon(ptzIcon("zoom_in"));
    _zoomOutButton =
        makeButton(frame, QStringLiteral("zoomOut_pushButton"), QString(), tr("Zoom out while held (key -)"));
    _zoomOutButton->setAccessibleName(tr("Zoom out"));
    _zoomOutButton->setIcon(ptzIcon("zoom_out"));
    for (QPushButton* zoom : {_zoomInButton, _zoomOutButton}) {
        zoom->setIconSize(QSize(22, 22));
        zoom->setFixedSize(56, 32);
        zoom->setProperty("isEnable", true);
    }

    grid->addWidget(afLabel, 0, 0);
    grid->addWidget(_afButton, 0, 1);
    grid->addWidget(nearLabel, 1, 0);
    grid->addWidget(_focusInButton, 1, 1);
    grid->addWidget(farLabel, 2, 0);
    grid->addWidget(_focusOutButton, 2, 1);
    grid->setColumnMinimumWidth(2, 8);
    grid->addWidget(zoomLabel, 0, 3);
    grid->addWidget(_zoomInButton, 1, 3);
    grid->addWidget(_zoomOutButton, 2, 3);

    connect(_afButton, &QPushButton::clicked, this, &PTZControlForm::slot_switchFocusMode);
    connect(_focusInButton, &QPushButton::pressed, this, &PTZControlForm::slot_pressFocusNear);
    connect(_focusInButton, &QPushButton::released, this, &PTZControlForm::slot_releaseFocusNear);
    connect(_focusOutButton, &QPushButton::pressed, this, &PTZControlForm::slot_pressFocusFar);
    connect(_focusOutButton, &QPushButton::released, this, &PTZControlForm::slot_releaseFocusFar);
    connect(_zoomInButton, &QPushButton::pressed, this, &PTZControlForm::slot_pressZoomInBtn);
    connect(_zoomInButton, &QPushButton::released, this, &PTZControlForm::slot_releaseZoomInBtnControl);
    connect(_zoomOutButton, &QPushButton::pressed, this, &PTZControlForm::slot_pressZoomOutBtn);
    connect(_zoomOutButton, &QPushButton::released, this, &PTZControlForm::slot_releaseZoomOutBtnControl);
    return frame;
}

// ---- receiver, description, preview ------------------------------------------------------------

void PTZControlForm::slot_SetCameraControl(DC_Recv* recv) {
    qDebug() << "PTZControlForm::slot_SetCameraControl"
             << " recv:" << static_cast<void*>(recv);
    if (recv == nullptr) {
        teardownPreview();
        // The camera list destroys the receiver when this returns: an open still running on
        // it is waited for here.
        dropPump();
        _receiver = nullptr;
        releaseHeldKeys();
        hide();
        return;
    }
    if (_receiver != nullptr && recv != _receiver) {
        // Another camera without the announcement of none in between: the preview must not
        // go on pulling from the old receiver, which its owner may destroy at any time now.
        teardownPreview();
        dropPump();
        _receiver = recv;
        if (isVisible())
            setRender();
        return;
    }
    _receiver = recv;
}

void PTZControlForm::setCameraChoices(const QList<CameraChoice>& choices, const QString& chosen) {
    const QSignalBlocker blocker(_cameraComboBox);
    _cameraComboBox->clear();
    for (const CameraChoice& choice : choices) {
        _cameraComboBox->addItem(choice.label, choice.location);
        if (choice.location.compare(chosen, Qt::CaseInsensitive) == 0)
            _cameraComboBox->setCurrentIndex(_cameraComboBox->count() - 1);
    }
    _cameraComboBox->setVisible(choices.size() > 1);
}

void PTZControlForm::setUSBDataObject(QJsonObject dataObject) {
    _usbDataObject = dataObject;
    qDebug() << "PTZControlForm::setUSBDataObject"
             << " usbDataObject:" << _usbDataObject;
}

void PTZControlForm::setRender() {
    qDebug() << "PTZControlForm::setRender";
    if (_receiver == nullptr)
        return;
    // Asked again while the preview runs (the panel was only minimised, or is already up):
    // the running preview stays; a second one would open the stream twice.
    if (_previewWindow != nullptr)
        return;
    _renderWidget->setPlaceholderVisible(false);
    _previewWindow = new PreviewWindow(_renderWidget->frame());
    _renderWidget->previewLayout()->addWidget(_previewWindow);
    _previewWindow->setState(PreviewWindow::State::Connecting);
    _previewWindow->show();
    _renderer = new PreviewRenderer(this, _previewWindow);
    // Frames come once the pump's startPreview has returned.
    _pump = pumpForReceiver();
    if (_pump)
        _pump->addConsumer(_renderer);
}

void PTZControlForm::teardownPreview() {
    if (_renderer != nullptr) {
        if (_pump)
            _pump->removeConsumer(_renderer);
        _renderer->stop();
        _renderer->release(_receiver);
        delete _renderer;
        _renderer = nullptr;
    }
    if (_previewWindow != nullptr) {
        _previewWindow->hide();
        _renderWidget->previewLayout()->removeWidget(_previewWindow);
        delete _previewWindow;
        _previewWindow = nullptr;
    }
    _renderWidget->setPlaceholderVisible(true);
}

void PTZControlForm::slot_initialize() {
    qDebug() << "PTZControlForm::slot_initialize";
    if (_receiver == nullptr)
        return;
    int focusMode = 1;
    _receiver->getAutoFocusMode(&focusMode);
    qDebug() << "focusMode:" << focusMode;
    {
        const QSignalBlocker blocker(_afButton);
        if (focusMode == 1)
            _afButton->setChecked(true);
        else if (focusMode == 0)
            _afButton->setChecked(false);
    }
    int rotateIndex = 0;
    _receiver->getRotate(&rotateIndex);
    qDebug() << "rotate_index:" << rotateIndex;
    {
        // A value the combo box has no item for would leave it showing nothing; the camera's
        // four states are 0-3.
        const QSignalBlocker blocker(_mirrorFlipComboBox);
        if (rotateIndex >= 0 && rotateIndex < _mirrorFlipComboBox->count())
            _mirrorFlipComboBox->setCurrentIndex(rotateIndex);
    }
    const bool invertTilt = _usbDataObject.value(QStringLiteral("LRInvertTilt")).toBool(false);
    {
        const QSignalBlocker blocker(_directionCheckBox);
        _directionCheckBox->setChecked(invertTilt);
    }
    _receiver->setInvertTilt(invertTilt);
    emit signal_SetInvertTilt(invertTilt);
    emit signal_SetCameraInvertTilt(_cameraLocation, invertTilt);
    qDebug() << "PTZControlForm::slot_initialize"
             << "end";
}

// ---- settings -------------------------------------------------------------------------------------

void PTZControlForm::slot_SetInvertTilt() {
    if (_receiver == nullptr)
        return;
    const bool invertTilt = _directionCheckBox->isChecked();
    _receiver->setInvertTilt(invertTilt);
    emit signal_SetInvertTilt(invertTilt);
    emit signal_SetCameraInvertTilt(_cameraLocation, invertTilt);
}

void PTZControlForm::slot_SetMirrorFlip() {
    if (_receiver == nullptr)
        return;
    send(Kind::MirrorFlip, _mirrorFlipComboBox->currentIndex());
}

void PTZControlForm::slot_switchFocusMode() {
    if (_receiver == nullptr)
        return;
    send(Kind::FocusMode, _afButton->isChecked() ? 1 : 0);
}

// ---- focus ---------------------------------------------------------------------------------------

void PTZControlForm::slot_pressFocusFar() {
    if (_receiver == nullptr)
        return;
    qDebug() << "PTZControlForm::slot_pressFocusFar";
    send(Kind::FocusFar);
}

void PTZControlForm::slot_pressFocusNear() {
    if (_receiver == nullptr)
        return;
    qDebug() << "PTZControlForm::slot_pressFocusNear";
    send(Kind::FocusNear);
}

void PTZControlForm::slot_releaseFocusFar() {
    if (_receiver == nullptr)
        return;
    qDebug() << "PTZControlForm::slot_releaseFocusFar";
    send(Kind::FocusStop);
}

void PTZControlForm::slot_releaseFocusNear() {
    if (_receiver == nullptr)
        return;
    qDebug() << "PTZControlForm::slot_releaseFocusNear";
    send(Kind::FocusStop);
}

// ---- zoom ----------------------------------------------------------------------------------------

void PTZControlForm::send(Kind kind, int value) {
    emit signal_AddUSBCommand(
        CameraCommand::make(kind, value, CameraCommand::Origin::Panel, _cameraLocation));
}

void PTZControlForm::pressZoom(QPushButton* self, QPushButton* other, Kind kind) {
    if (_receiver == nullptr || !self->property("isEnable").toBool())
        return;
    other->setProperty("isEnable", false);
    qDebug() << (kind == Kind::ZoomIn ? "PTZControlForm::slot_pressZoomInBtn"
                                      : "PTZControlForm::slot_pressZoomOutBtn");
    send(kind);
}

void PTZControlForm::releaseZoom(QPushButton* self, QPushButton* other) {
    if (!self->property("isEnable").toBool())
        return;
    // Re-enabled with or without a receiver: the other button must not stay dead because the
    // camera went away while this one was held.
    other->setProperty("isEnable", true);
    if (_receiver != nullptr)
        send(Kind::ZoomStop);
}

void PTZControlForm::slot_pressZoomInBtn() {
    pressZoom(_zoomInButton, _zoomOutButton, Kind::ZoomIn);
}

void PTZControlForm::slot_releaseZoomInBtnControl() {
    releaseZoom(_zoomInButton, _zoomOutButton);
}

void PTZControlForm::slot_pressZoomOutBtn() {
    pressZoom(_zoomOutButton, _zoomInButton, Kind::ZoomOut);
}

void PTZControlForm::slot_releaseZoomOutBtnControl() {
    releaseZoom(_zoomOutButton, _zoomInButton);
}

// ---- pan/tilt --------------------------------------------------------------------------------------

void PTZControlForm::sendPad(QPushButton* button, Direction direction) {
    if (_receiver == nullptr || button == nullptr || !button->property("isEnable").toBool())
        return;
    send(Kind::PanTilt, static_cast<int>(direction));
}

QPushButton* PTZControlForm::padButtonFor(Direction direction) const {
    switch (direction) {
        case Direction::Up:
            return _panUp;
        case Direction::Down:
            return _panDown;
        case Direction::Left:
            return _panLeft;
        case Direction::Right:
            return _panRight;
        case Direction::Home:
            return _panHome;
        case Direction::UpLeft:
            return _panUpLeft;
        case Direction::UpRight:
            return _panUpRight;
        case Direction::DownLeft:
            return _panDownLeft;
        case Direction::DownRight:
            return _panDownRight;
        case Direction::Stop:
            return nullptr;
    }
    return nullptr;
}

void PTZControlForm::slot_pressPanUpBtn() {
    sendPad(_panUp, Direction::Up);
}
void PTZControlForm::slot_pressPanDownBtn() {
    sendPad(_panDown, Direction::Down);
}
void PTZControlForm::slot_pressPanLeftBtn() {
    sendPad(_panLeft, Direction::Left);
}
void PTZControlForm::slot_pressPanRightBtn() {
    sendPad(_panRight, Direction::Right);
}
void PTZControlForm::slot_pressPanUpLeftBtn() {
    sendPad(_panUpLeft, Direction::UpLeft);
}
void PTZControlForm::slot_pressPanUpRightBtn() {
    sendPad(_panUpRight, Direction::UpRight);
}
void PTZControlForm::slot_pressPanDownLeftBtn() {
    sendPad(_panDownLeft, Direction::DownLeft);
}
void PTZControlForm::slot_pressPanDownRightBtn() {
    sendPad(_panDownRight, Direction::DownRight);
}
void PTZControlForm::slot_releasePanUpBtn() {
    sendPad(_panUp, Direction::Stop);
}
void PTZControlForm::slot_releasePanDownBtn() {
    sendPad(_panDown, Direction::Stop);
}
void PTZControlForm::slot_releasePanLeftBtn() {
    sendPad(_panLeft, Direction::Stop);
}
void PTZControlForm::slot_releasePanRightBtn() {
    sendPad(_panRight, Direction::Stop);
}
void PTZControlForm::slot_releasePanUpLeftBtn() {
    sendPad(_panUpLeft, Direction::Stop);
}
void PTZControlForm::slot_releasePanUpRightBtn() {
    sendPad(_panUpRight, Direction::Stop);
}
void PTZControlForm::slot_releasePanDownLeftBtn() {
    sendPad(_panDownLeft, Direction::Stop);
}
void PTZControlForm::slot_releasePanDownRightBtn() {
    sendPad(_panDownRight, Direction::Stop);
}

void PTZControlForm::slot_pressPanHomeBtn() {
    if (_receiver == nullptr || !_panHome->property("isEnable").toBool())
        return;
    qDebug() << "PTZControlForm::slot_pressPanHomeBtn"
             << "dcRecv:" << static_cast<void*>(_receiver);
    send(Kind::PanTilt, static_cast<int>(Direction::Home));
}

// ---- presets ---------------------------------------------------------------------------------------

void PTZControlForm::slot_PresetButtonClicked(QAbstractButton* button) {
    if (button == nullptr)
        return;
    const int preset = button->property("Preset").toInt();
    qDebug() << "PTZControlForm::slot_PresetButtonClicked"
             << "preset:" << preset << "set:" << _setButton->isChecked()
             << "reset:" << _resetButton->isChecked();
    if (_setButton->isChecked()) {
        if (_receiver != nullptr)
            send(Kind::SavePreset, preset);
        _setButton->setChecked(false);
    } else if (_resetButton->isChecked()) {
        if (_receiver != nullptr)
            send(Kind::ResetPreset, preset);
        _resetButton->setChecked(false);
    } else if (_receiver != nullptr) {
        send(Kind::CallPreset, preset);
    }
}

void PTZControlForm::slot_checkPresetSetResetState() {
    if (sender() == _setButton && _setButton->isChecked())
        _resetButton->setChecked(false);
    else if (sender() == _resetButton && _resetButton->isChecked())
        _setButton->setChecked(false);
}

// ---- title bar ---------------------------------------------------------------------------------------

void PTZControlForm::slot_MinButtonClicked() {
    hide();
}

void PTZControlForm::slot_CloseButtonClicked() {
    // The pull stops first: no capture call may overlap the stop, which the preview thread
    // runs (after an open in progress, if any) so that a slow stop does not hold the window.
    // Detaching is the stop: the pump stops the stream when nobody else wants it.
    teardownPreview();
    hide();
}

void PTZControlForm::slot_InfoClicked() {
    emit signal_InofButtonClicked();
}

// ---- keyboard ---------------------------------------------------------------------------------------

bool PTZControlForm::handleKey(QKeyEvent* event, bool pressed) {
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    const bool plain = (modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) == 0;
    const int key = event->key();

    auto arrow = [](int k, PanTiltKeys::Arrow& out) {
        switch (k) {
            case Qt::Key_Up:
                out = PanTiltKeys::Up;
                return true;
            case Qt::Key_Down:
                out = PanTiltKeys::Down;
                return true;
            case Qt::Key_Left:
                out = PanTiltKeys::Left;
                return true;
            case Qt::Key_Right:
                out = PanTiltKeys::Right;
                return true;
            default:
                return false;
        }
    };

    PanTiltKeys::Arrow which;
    if (arrow(key, which)) {
        // A release counts whatever the modifiers are now: the arrow is up either way.
        if (pressed && !plain)
            return false;
        const std::optional<Direction> before = _panKeys.direction();
        const std::optional<Direction> next = pressed ? _panKeys.press(which) : _panKeys.release(which);
        // A stop belongs to the pad button of the move it ends.
        if (next)
            sendPad(padButtonFor(*next == Direction::Stop ? before.value_or(Direction::Stop) : *next), *next);
        return true;
    }

    if (key == Qt::Key_Plus || key == Qt::Key_Equal || key == Qt::Key_Minus) {
        QPushButton* self = key == Qt::Key_Minus ? _zoomOutButton : _zoomInButton;
        QPushButton* other = self == _zoomInButton ? _zoomOutButton : _zoomInButton;
        if (pressed) {
            if (!plain)
                return false;
            // Only a press that started the zoom is paired with its release: a key refused
            // because the other zoom is held (by key or button) stops nothing when let go.
            if (_zoomKeyButton == nullptr && _receiver != nullptr && self->property("isEnable").toBool()) {
                pressZoom(self, other, self == _zoomInButton ? Kind::ZoomIn : Kind::ZoomOut);
                _zoomKeyButton = self;
            }
        } else if (_zoomKeyButton == self) {
            releaseZoom(self, other);
            _zoomKeyButton = nullptr;
        }
        return true;
    }

    if (key == Qt::Key_Home) {
        if (!pressed)
            return true;
        if (!plain)
            return false;
        slot_pressPanHomeBtn();
        return true;
    }

    if (key >= Qt::Key_0 && key <= Qt::Key_9) {
        if (!pressed)
            return true;
        const int preset = key - Qt::Key_0;
        if (modifiers == Qt::NoModifier) {
            slot_PresetButtonClicked(_presetButtons[preset]);
            return true;
        }
        if (modifiers == Qt::ControlModifier) {
            qDebug() << "PTZControlForm::keyPressEvent"
                     << "save preset:" << preset;
            if (_receiver != nullptr)
                send(Kind::SavePreset, preset);
            return true;
        }
        return false;
    }
    return false;
}

void PTZControlForm::keyPressEvent(QKeyEvent* event) {
    // Auto-repeat only says that a key is still held: the camera already moves.
    if (event->isAutoRepeat()) {
        event->accept();
        return;
    }
    if (handleKey(event, true))
        event->accept();
    else
        QWidget::keyPressEvent(event);
}

void PTZControlForm::keyReleaseEvent(QKeyEvent* event) {
    if (event->isAutoRepeat()) {
        event->accept();
        return;
    }
    if (handleKey(event, false))
        event->accept();
    else
        QWidget::keyReleaseEvent(event);
}

void PTZControlForm::releaseHeldKeys() {
    const std::optional<Direction> before = _panKeys.direction();
    const std::optional<Direction> next = _panKeys.releaseAll();
    if (next && before)
        sendPad(padButtonFor(*before), *next);
    if (_zoomKeyButton != nullptr) {
        releaseZoom(_zoomKeyButton, _zoomKeyButton == _zoomInButton ? _zoomOutButton : _zoomInButton);
        _zoomKeyButton = nullptr;
    }
}

// A key let go while another window has the keyboard never reaches the panel: what it moved
// would go on moving. Losing the keyboard counts as letting go.
void PTZControlForm::focusOutEvent(QFocusEvent* event) {
    releaseHeldKeys();
    QWidget::focusOutEvent(event);
}

void PTZControlForm::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange && !isActiveWindow())
        releaseHeldKeys();
    QWidget::changeEvent(event);
}

void PTZControlForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    setFocus(Qt::ActiveWindowFocusReason);
}

void PTZControlForm::hideEvent(QHideEvent* event) {
    releaseHeldKeys();
    QWidget::hideEvent(event);
}

// ---- dragging ------------------------------------------------------------------------------------------

void PTZControlForm::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        dragging = true;
        pressPosition = event->position().toPoint();
    }
    QWidget::mousePressEvent(event);
}

void PTZControlForm::mouseMoveEvent(QMouseEvent* event) {
    if (dragging) {
        const QPoint position = event->globalPosition().toPoint() - pressPosition;
        move(position);
        emit signal_moveWidget(position);
    }
    QWidget::mouseMoveEvent(event);
}

void PTZControlForm::mouseReleaseEvent(QMouseEvent* event) {
    dragging = false;
    QWidget::mouseReleaseEvent(event);
}
