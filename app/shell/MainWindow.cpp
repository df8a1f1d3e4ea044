#include "MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QDeadlineTimer>
#include <QDir>
#include <QHBoxLayout>
#include <QIcon>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenu>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include "AboutWidget.h"
#include "AppResources.h"
#include "ArrayLink.h"
#include "CamUSBControlThread.h"
#include "FramePump.h"
#include "CameraCommandRouter.h"
#include "CameraListView.h"
#include "ControlApiBridge.h"
#include "ControlApiDialog.h"
#include "ControlApiServer.h"
#include "ViscaBridge.h"
#include "ViscaDialog.h"
#include "DecisionLog.h"
#include "DecisionLogWindow.h"
#include "PTZControlForm.h"
#include "PresetLink.h"
#include "SettingsDocument.h"
#include "SoundDeviceSetting.h"
#include "TrackingEngine.h"
#include "TrackingSettings.h"
#include "USBListener.h"
#include "WarningMessageWidget.h"
#include "titleWidget.h"

#include <algorithm>

MainWindow::MainWindow(QWidget* parent, const QString& instanceName) : QMainWindow(parent) {
    ensureAppResources();
    createCore();
    setupForm();
    setWindowModality(Qt::WindowModal);

    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setWindowTitle(titlewidget->titleText());
    setWindowIcon(QIcon(QStringLiteral(":/device/icons/Vantor.png")));
    connect(titlewidget, &titleWidget::signal_MinButtonClicked, this, &MainWindow::slot_MinClicked);
    connect(titlewidget, &titleWidget::signal_CloseButtonClicked, this, &MainWindow::slot_CloseClicked);
    connect(titlewidget, &titleWidget::signal_InofButtonClicked, this, &MainWindow::slot_InfoClicked);
    home_widget->setStyleSheet(QStringLiteral("QWidget#%1{background: #40484D;border: %2px solid #8C8C8C;}")
                                   .arg(home_widget->objectName())
                                   .arg(0));

    buildTray();
    connectPages();

    // Hot-plug: the platform's arrivals and removals reach the camera list.
    usbListener = new USBListener;
    usbListener->startListening();
    connect(usbListener, &USBListener::signal_deviceUSBPlugIn, cameraList,
            &CameraListView::slot_deviceUSBPlugIn);
    connect(usbListener, &USBListener::signal_deviceUSBPlugOut, cameraList,
            &CameraListView::slot_deviceUSBPlugOut);

    configDir = SettingsDocument::configDir();
    configFile = SettingsDocument::configFile(configDir);
    configFiles.append(configFile);
    readConfigFile();
    // The tracking settings are read and checked once, here, and handed to the array page,
    // which hands them to the tracker.
    QStringList replaced;
    const TrackingSettings tracking =
        TrackingSettings::fromJson(qApp->property(SettingsDocument::kPropertyName).toJsonObject(), &replaced);
    for (const QString& key : std::as_const(replaced))
        qDebug() << "MainWindow::MainWindow"
                 << "settings: replaced" << key << "by its default";
    soundDevice->loadSettings(tracking);
    cameraList->setAutoReconnect(tracking.autoReconnect);
    presetLink->loadSettings();
    startControlApi();
    startVisca();

    setEnabled(false);
    QTimer::singleShot(kEnableDelayMs, this, &MainWindow::afterEnableDelay);
    QTimer::singleShot(kAutoConnectDelayMs, this, [this] {
        qDebug() << "MainWindow::MainWindow"
                 << " Start Auto Connect";
        emit signal_StartAutoConnect();
    });

    connect(soundDevice, &SoundDeviceSetting::signal_WarningMessage, this,
            &MainWindow::slot_ShowWarningMessage);
    connect(cameraList, &CameraListView::signal_WarningMessage, this, &MainWindow::slot_ShowWarningMessage);

    startListening(instanceName);
}

MainWindow::~MainWindow() {
    // The control interface goes before the pages it reaches, the bridge with it: the pages
    // announce their last changes while they are destroyed, and nobody is left to hear them.
    delete controlApi;
    controlApi = nullptr;
    delete controlBridge;
    controlBridge = nullptr;
    // VISCA's sockets close before the list and the router its cameras reach go.
    delete visca;
    visca = nullptr;
    // The worker goes first: once it is stopped no command runs on the receiver, which the
    // camera list destroys with itself.
    stopWorker(-1);
    delete worker;
    worker = nullptr;
    delete usbListener;
    usbListener = nullptr;
    // The windows and pages go before the core they were handed (its objects are children
    // of this window made before them, so they would otherwise go first).
    delete logWindow;
    logWindow = nullptr;
    delete ptzPanel;
    ptzPanel = nullptr;
    delete home_widget;
    home_widget = nullptr;
}

void MainWindow::createCore() {
    router = new CameraCommandRouter(this);
    link = new ArrayLink(this);
    link->setObjectName(QStringLiteral("arrayLink"));
    engine = new TrackingEngine(this);
    log = new DecisionLog(this);
    engine->setRouter(router);
    engine->setDecisionLog(log);
    engine->setLink(link);
    router->setTrackingEngine(engine);
}

void MainWindow::stopWorker(int waitMs) {
    if (!worker || !worker->isRunning())
        return;
    worker->requestStop();
    if (waitMs < 0)
        worker->wait();
    else
        worker->wait(QDeadlineTimer(waitMs));
}

void MainWindow::setupForm() {
    setObjectName(QStringLiteral("MainWindow"));
    resize(720, 660);
    setMinimumSize(720, 660);

    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("centralwidget"));
    auto* column = new QVBoxLayout(central);
    column->setSpacing(0);
    column->setContentsMargins(0, 0, 0, 0);

    titlewidget = new titleWidget(central);
    titlewidget->setObjectName(QStringLiteral("titlewidget"));
    titlewidget->setFixedHeight(40);
    titlewidget->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    column->addWidget(titlewidget);

    home_widget = new QWidget(central);
    home_widget->setObjectName(QStringLiteral("home_widget"));
    home_widget->setAttribute(Qt::WA_StyledBackground, true);
    column->addWidget(home_widget, 1);

    auto* home = new QVBoxLayout(home_widget);
    home->setSpacing(8);
    home->setContentsMargins(24, 16, 40, 20);
    auto* pages = new QHBoxLayout;
    pages->setSpacing(8);

    soundDevice = new SoundDeviceSetting(link, engine, home_widget);
    soundDevice->setObjectName(QStringLiteral("sounddevice_widget"));
    soundDevice->setMinimumSize(320, 328);
    pages->addWidget(soundDevice);

    presetLink = new PresetLink(home_widget);
    presetLink->setObjectName(QStringLiteral("presetlink_widget"));
    presetLink->setMinimumSize(320, 328);
    pages->addWidget(presetLink);
    home->addLayout(pages);

    cameraList = new CameraListView(home_widget);
    cameraList->setObjectName(QStringLiteral("camera_widget"));
    cameraList->setMinimumSize(656, 184);
    home->addWidget(cameraList, 1);

    setCentralWidget(central);
}

void MainWindow::buildTray() {
    showAction = new QAction(tr("Show Window"), this);
    connect(showAction, &QAction::triggered, this, &MainWindow::slot_showWindow);
    exitAction = new QAction(tr("Exit"), this);
    connect(exitAction, &QAction::triggered, this, &MainWindow::slot_Exit);

    controlApiAction = new QAction(tr("Control interface"), this);
    connect(controlApiAction, &QAction::triggered, this, &MainWindow::slot_ControlApiClicked);
    viscaAction = new QAction(tr("VISCA"), this);
    connect(viscaAction, &QAction::triggered, this, &MainWindow::slot_ViscaClicked);
    trackingLogAction = new QAction(tr("Tracking log"), this);
    connect(trackingLogAction, &QAction::triggered, this, &MainWindow::slot_ShowTrackingLog);

    // Audio tracking on or off without opening the window (the array page's switch).
    trackingAction = new QAction(tr("Tracking"), this);
    trackingAction->setCheckable(true);
    trackingAction->setChecked(soundDevice->isTrackingEnabled());
    connect(trackingAction, &QAction::triggered, soundDevice, &SoundDeviceSetting::setTrackingEnabled);
    connect(soundDevice, &SoundDeviceSetting::signal_TrackingStateChanged, trackingAction,
            [this] { trackingAction->setChecked(soundDevice->isTrackingEnabled()); });

    trayMenu = new QMenu(this);
    trayMenu->addAction(showAction);
    trayMenu->addAction(controlApiAction);
    trayMenu->addAction(viscaAction);
    trayMenu->addAction(trackingLogAction);
    trayMenu->addSeparator();
    trayMenu->addAction(trackingAction);
    trayMenu->addAction(exitAction);

    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setIcon(QIcon(QStringLiteral(":/device/icons/Vantor.png")));
    trayIcon->setContextMenu(trayMenu);
    trayIcon->setToolTip(QStringLiteral("Vantor Reda"));
    trayIcon->setVisible(true);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::slot_SysTrayActivated);
}

// The pages never know each other: the microphone-array page passes the tracking's lights
// and azimuths to the preset-link page through these connections and hears the start-up
// auto-connect before the camera list does; the camera list tells the preset-link page which
// receiver is connected before it tells the worker (connected at the start delay). The
// tracker decides the presets itself: it is handed the preset-link page's links, and the
// camera it calls them on.
void MainWindow::connectPages() {
    connect(soundDevice, &SoundDeviceSetting::signal_SwitchSoundDevice, presetLink,
            &PresetLink::slot_SwitchSoundDeviceType);
    connect(cameraList, &CameraListView::signal_PTZControlClicked, this, &MainWindow::slot_PTZControlClicked);
    connect(soundDevice, &SoundDeviceSetting::signal_GetShureSoundDeviceArrayPosState, presetLink,
            &PresetLink::slot_GetSureSoundDeviceArrayPosState);
    connect(soundDevice, &SoundDeviceSetting::signal_GetSennheiserTCC2Azimuth, presetLink,
            &PresetLink::slot_GetSennheiserTCC2Azimuth);
    connect(soundDevice, &SoundDeviceSetting::signal_GetNurveaAzimuth, presetLink,
            &PresetLink::slot_GetNurveaAzimuth);
    connect(soundDevice, &SoundDeviceSetting::signal_GetYamahaAzimuth, presetLink,
            &PresetLink::slot_GetYamahaAzimuth);
    connect(cameraList, &CameraListView::signal_ConnectUSBCamera, presetLink,
            &PresetLink::slot_ConnectUSBCamera);
    // Every connected camera is tracked; a position linked to none calls the first in the list.
    connect(cameraList, &CameraListView::signal_CameraReceiver, engine,
            [this] { engine->setCameras(cameraList->connectedLocationsInListOrder()); });
    connect(cameraList, &CameraListView::signal_CamerasChanged, engine,
            [this] { engine->setCameras(cameraList->connectedLocationsInListOrder()); });
    connect(cameraList, &CameraListView::signal_CameraReceiver, this,
            &MainWindow::slot_CameraReceiverChanged);
    // The mapping page offers every camera in the list, by the name the user gave it.
    connect(cameraList, &CameraListView::signal_CamerasChanged, this,
            &MainWindow::refreshMappingCameraChoices);
    connect(cameraList, &CameraListView::signal_ShortNameChanged, this, [this] {
        refreshMappingCameraChoices();
        refreshPanelCameraChoices();
    });
    connect(this, &MainWindow::signal_StartAutoConnect, soundDevice,
            &SoundDeviceSetting::slot_StartAutoConnect);
    connect(this, &MainWindow::signal_StartAutoConnect, cameraList, &CameraListView::slot_StartAutoConnect);
    // Before the settings are loaded, so the list starts with the saved switch.
    connect(soundDevice, &SoundDeviceSetting::signal_AutoReconnectChanged, cameraList,
            &CameraListView::setAutoReconnect);
    connect(soundDevice, &SoundDeviceSetting::signal_ShowTrackingLog, this,
            &MainWindow::slot_ShowTrackingLog);
    presetLink->setTrackingEngine(engine);
}

void MainWindow::startListening(const QString& instanceName) {
    localServer = new QLocalServer(this);
    // Only the instance holding the machine-wide lock gets here, so a socket file left by a
    // crashed instance is stale and would make listen() fail.
    QLocalServer::removeServer(instanceName);
    if (localServer->listen(instanceName))
        connect(localServer, &QLocalServer::newConnection, this, &MainWindow::slot_GetSecondOpenApp);
    else
        qDebug() << "MainWindow::startListening"
                 << "cannot listen:" << localServer->errorString();
}

bool MainWindow::isHandOverServerListening() const {
    return localServer && localServer->isListening();
}

QString MainWindow::handOverServerName() const {
    return localServer ? localServer->serverName() : QString();
}

void MainWindow::afterEnableDelay() {
    cameraList->slot_StartUSBSearch();
    setEnabled(true);
    worker = new CamUSBControlThread;
    worker->start(QThread::InheritPriority);
    connect(cameraList, &CameraListView::signal_ConnectUSBCamera, worker,
            &CamUSBControlThread::slot_ConnectUSBCamera);
    connect(cameraList, &CameraListView::signal_CameraReceiver, worker,
            &CamUSBControlThread::slot_SetCameraReceiver);
    // Cameras connected before the worker existed.
    for (const QString& location : cameraList->connectedLocations())
        worker->slot_SetCameraReceiver(location, cameraList->receiverFor(location));
    if (DC_Recv* current = cameraList->currentReceiver())
        worker->slot_ConnectUSBCamera(current);
    // Every camera command, whoever asked, reaches the camera from now on.
    connect(router, &CameraCommandRouter::signal_Command, worker,
            &CamUSBControlThread::slot_AddCameraCommand);
    controlBridge->setCommandRouteReady(true);
}

void MainWindow::connectPTZPanel() {
    connect(ptzPanel, &PTZControlForm::signal_moveWidget, this, &MainWindow::slot_MovePTZWidget);
    ptzPanel->setPumpProvider([this](DC_Recv* recv) -> FramePump* {
        for (FramePump* pump : std::as_const(framePumps)) {
            if (pump->receiver() == recv)
                return pump;
        }
        return nullptr;
    });
    connect(ptzPanel, &PTZControlForm::signal_CameraChosen, this, [this](QString location) {
        showPanelCamera(location);
        if (ptzPanel->isVisible())
            ptzPanel->slot_initialize();
    });
    connect(ptzPanel, &PTZControlForm::signal_InofButtonClicked, this, &MainWindow::slot_InfoClicked);
    connect(ptzPanel, &PTZControlForm::signal_SetCameraInvertTilt, cameraList,
            &CameraListView::slot_SetCameraInvertTilt);
    connect(ptzPanel, &PTZControlForm::signal_AddUSBCommand, router, &CameraCommandRouter::submit);
}

// ---- settings document ----------------------------------------------------------------------

void MainWindow::readConfigFile() {
    QDir dir(configDir);
    if (!dir.exists()) {
        const bool created = dir.mkpath(configDir);
        qDebug() << "MainWindow::readConfigFile"
                 << " Create " << configDir << " :" << created;
    }
    QJsonObject document;
    for (const QString& path : std::as_const(configFiles)) document = loadConfigObject(path);
    qApp->setProperty(SettingsDocument::kPropertyName, document);
    qDebug() << "MainWindow::readConfigFile"
             << "configDataInforJsonObject::"
             << qApp->property(SettingsDocument::kPropertyName).toJsonObject();
}

QJsonObject MainWindow::loadConfigObject(const QString& path) const {
    return SettingsDocument::load(path);
}

void MainWindow::writeConfigFile() {
    // The start-up copy: keys this version does not use are written back unchanged.
    QJsonObject document = qApp->property(SettingsDocument::kPropertyName).toJsonObject();
    if (SettingsDocument::takesPageValues(document)) {
        soundDevice->settings().toJson(document);
        collectPresetLinkValues(document);
        SettingsDocument::applyCameraList(document, cameraList->cameraArray());
    }
    // The interface's settings change only through its dialog; until then the document keeps
    // whatever it held (nothing, for a user who never opened it).
    if (controlApi && controlApiChanged)
        document.insert(QStringLiteral("ControlApi"), controlApi->settings().toJson());
    if (visca && viscaChanged)
        document.insert(QStringLiteral("Visca"), visca->settings().toJson());
    SettingsDocument::write(configFile, document);
}

void MainWindow::collectPresetLinkValues(QJsonObject& document) const {
    SettingsDocument::PresetLinkValues values;
    values.presetMap = presetLink->presetMap();
    values.cameraMap = presetLink->cameraMap();
    values.sennheiserRanges = presetLink->rangeTexts(PresetLink::Sennheiser);
    values.nurevaRanges = presetLink->rangeTexts(PresetLink::Nureva);
    values.yamahaRanges = presetLink->rangeTexts(PresetLink::Yamaha);
    SettingsDocument::applyPresetLinkValues(document, values);
}

// ---- control interface ---------------------------------------------------------------------

void MainWindow::startControlApi() {
    controlBridge = new ControlApiBridge(cameraList, router, link, engine, log, this);
    controlApi = new ControlApiServer(controlBridge, this);
    controlBridge->setServer(controlApi);
    controlBridge->setFramePumpLookup([this](const QString& location) { return framePump(location); });
    const QJsonObject document = qApp->property(SettingsDocument::kPropertyName).toJsonObject();
    controlApi->apply(ControlApiSettings::fromJson(document.value(QStringLiteral("ControlApi")).toObject()));
}

void MainWindow::startVisca() {
    visca = new ViscaBridge(cameraList, router, this);
    connect(cameraList, &CameraListView::signal_CameraReceiver, visca, [this] { visca->camerasChanged(); });
    // A camera given its port pair for the first time: saved at once, so a controller set up
    // for that pair finds the same camera after a crash.
    connect(visca, &ViscaBridge::signal_SettingsChanged, this, [this] {
        viscaChanged = true;
        writeConfigFile();
    });
    connect(visca, &ViscaBridge::signal_Log, this, [](const QString& line) { qInfo().noquote() << line; });
    const QJsonObject document = qApp->property(SettingsDocument::kPropertyName).toJsonObject();
    const QString problem = visca->apply(ViscaSettings::fromJson(document.value(QStringLiteral("Visca")).toObject()));
    if (!problem.isEmpty())
        qWarning().noquote() << "MainWindow::startVisca" << problem;
}

void MainWindow::slot_ViscaClicked() {
    if (viscaSettingsDialog && viscaSettingsDialog->isVisible()) {
        viscaSettingsDialog->raise();
        viscaSettingsDialog->activateWindow();
        return;
    }
    delete viscaSettingsDialog;
    viscaSettingsDialog = new ViscaDialog(visca->settings(), this);
    QMap<QString, QString> names;
    for (const QJsonValue& value : cameraList->cameraArray()) {
        const QJsonObject data = value.toObject();
        const QString location = data.value(QStringLiteral("LocationIdentity")).toString().toLower();
        if (!location.isEmpty())
            names.insert(location, CameraListView::cameraLabel(data));
    }
    viscaSettingsDialog->setCameraNames(names);
    viscaSettingsDialog->setStatus(visca->statusText());
    connect(viscaSettingsDialog, &QDialog::accepted, this, [this] {
        const QString problem = visca->apply(viscaSettingsDialog->settings());
        viscaChanged = true;
        writeConfigFile();
        // The dialog is gone by now: a port another program holds is said in a warning.
        if (!problem.isEmpty())
            slot_ShowWarningMessage(tr("VISCA is not served: %1").arg(problem));
    });
    centreOn(viscaSettingsDialog, this);
    viscaSettingsDialog->show();
    viscaSettingsDialog->raise();
    viscaSettingsDialog->activateWindow();
}

void MainWindow::slot_ShowTrackingLog() {
    if (!logWindow) {
        logWindow = new DecisionLogWindow(log, this);
        centreOn(logWindow, this);
    }
    logWindow->show();
    logWindow->raise();
    logWindow->activateWindow();
}

void MainWindow::slot_ControlApiClicked() {
    if (!controlDialog) {
        controlDialog = new ControlApiDialog(this);
        connect(controlDialog, &ControlApiDialog::signal_Apply, this, [this](ControlApiSettings settings) {
            controlApi->apply(settings);
            controlDialog->setStatus(controlApi->statusText());
            // Saved at once: a token the user has just copied into a room controller must
            // survive a crash.
            controlApiChanged = true;
            writeConfigFile();
        });
    }
    if (controlDialog->isHidden()) {
        controlDialog->setSettings(controlApi->settings());
        centreOn(controlDialog, this);
    }
    controlDialog->setStatus(controlApi->statusText());
    controlDialog->show();
    controlDialog->raise();
    controlDialog->activateWindow();
}

// ---- slots ------------------------------------------------------------------------------------

void MainWindow::slot_MinClicked() {
    showMinimized();
}

void MainWindow::slot_HideWindow() {
    hide();
}

void MainWindow::slot_showWindow() {
    activateWindow();
    showNormal();
}

void MainWindow::slot_CloseClicked() {
    writeConfigFile();
    close();
}

void MainWindow::slot_Exit() {
    writeConfigFile();
    stopWorker(kWorkerStopWaitMs);
    QCoreApplication::exit(0);
}

void MainWindow::slot_PTZControlClicked(bool clicked, QJsonObject dataObject) {
    qDebug() << "MainWindow::slot_PTZControlClicked"
             << "clicked:" << clicked << "dataObject:" << dataObject;
    if (!ptzPanel) {
        ptzPanel = new PTZControlForm(this);
        connectPTZPanel();
    }
    // The list's selected camera (its data is `dataObject`).
    showPanelCamera(cameraList->selectedLocation());
    ptzPanel->setUSBDataObject(dataObject);
    ptzPanel->setRender();
    if (!ptzPanel->isVisible())
        ptzPanel->slot_initialize();
    ptzPanel->move(x(), y());
    ptzPanel->show();
    ptzPanel->activateWindow();
}

void MainWindow::showPanelCamera(const QString& location) {
    if (!ptzPanel)
        return;
    DC_Recv* recv = location.isEmpty() ? nullptr : cameraList->receiverFor(location);
    const QJsonObject data = recv ? cameraList->cameraData(location) : QJsonObject();
    ptzPanel->setCameraLocation(data.value(QStringLiteral("LocationIdentity")).toString());
    // Requests of the control interface that name no camera follow the panel.
    if (controlBridge)
        controlBridge->setSteeredCamera(ptzPanel->cameraLocation());
    ptzPanel->setUSBDataObject(data);
    ptzPanel->slot_SetCameraControl(recv);
    refreshPanelCameraChoices();
}

void MainWindow::refreshPanelCameraChoices() {
    if (!ptzPanel)
        return;
    QList<PTZControlForm::CameraChoice> choices;
    for (const QString& location : cameraList->connectedLocations()) {
        const QJsonObject data = cameraList->cameraData(location);
        const QString model =
            CameraListView::displayModelName(data.value(QStringLiteral("ModelName")).toString());
        const QString shortName = data.value(QStringLiteral("ShortName")).toString();
        choices.append({data.value(QStringLiteral("LocationIdentity")).toString(),
                        QStringLiteral("%1 (%2)").arg(shortName.isEmpty() ? model : shortName,
                                                      shortName.isEmpty() ? location : model)});
    }
    ptzPanel->setCameraChoices(choices, ptzPanel->cameraLocation());
}

void MainWindow::refreshMappingCameraChoices() {
    CameraChoices choices;
    for (const QJsonValue& value : cameraList->cameraArray()) {
        const QJsonObject data = value.toObject();
        const QString location = data.value(QStringLiteral("LocationIdentity")).toString().toLower();
        if (!location.isEmpty())
            choices.append({location, CameraListView::cameraLabel(data)});
    }
    presetLink->setCameraChoices(choices);
    soundDevice->setCameraChoices(choices);
}

void MainWindow::slot_CameraReceiverChanged(QString location, DC_Recv* recv) {
    const QString key = location.toLower();
    if (recv != nullptr && !framePumps.contains(key))
        framePumps.insert(key, new FramePump(recv, this));
    updatePanelForCamera(location, recv);
    // After the consumers have let go: no call runs on the receiver once this returns.
    if (recv == nullptr) {
        if (FramePump* pump = framePumps.take(key)) {
            pump->forget();
            delete pump;
        }
    }
}

void MainWindow::updatePanelForCamera(const QString& location, DC_Recv* recv) {
    if (!ptzPanel)
        return;
    if (recv == nullptr && ptzPanel->receiver() != nullptr &&
        location.compare(ptzPanel->cameraLocation(), Qt::CaseInsensitive) == 0) {
        // The panel's camera goes: with several cameras the panel moves to the list's
        // selected one, else it closes (its receiver is dropped before it is destroyed).
        const QString next = cameraList->severalCameras() ? cameraList->selectedLocation() : QString();
        const bool wasVisible = ptzPanel->isVisible();
        showPanelCamera(next);
        if (!next.isEmpty() && wasVisible)
            ptzPanel->slot_initialize();
        return;
    }
    if (recv != nullptr && ptzPanel->receiver() == nullptr) {
        showPanelCamera(location);
        return;
    }
    refreshPanelCameraChoices();
}

void MainWindow::slot_MovePTZWidget(QPoint movePoint) {
    move(movePoint);
}

void MainWindow::slot_InfoClicked() {
    if (!aboutDialog)
        aboutDialog = new AboutWidget(this);
    if (aboutDialog->isHidden())
        aboutDialog->show();
    aboutDialog->activateWindow();
}

void MainWindow::slot_ShowWarningMessage(QString message) {
    if (!warningDialog)
        warningDialog = new WarningMessageWidget(this);
    warningDialog->setMessage(message);
    // A new warning opens over the window the user is looking at (the window system would
    // put a frameless child window at the screen's corner); one that replaces a shown
    // message stays where the user may have dragged it.
    if (warningDialog->isHidden())
        centreOn(warningDialog, warningAnchor());
    warningDialog->show();
    warningDialog->raise();
    warningDialog->activateWindow();
}

QWidget* MainWindow::warningAnchor() {
    // The active window counts when it is one of this window's own: the window itself or a
    // window it owns (a dialog, the control panel).
    QWidget* active = QApplication::activeWindow();
    if (active && active != warningDialog && active->isVisible()) {
        for (const QWidget* owner = active; owner; owner = owner->parentWidget()) {
            if (owner == this)
                return active;
        }
    }
    return this;
}

void MainWindow::centreOn(QWidget* dialog, const QWidget* anchor) {
    const QSize size = dialog->size().expandedTo(dialog->minimumSize());
    QRect placed(QPoint(0, 0), size);
    placed.moveCenter(anchor->frameGeometry().center());
    // Kept on the anchor's screen, in case the anchor hangs over its edge.
    if (const QScreen* screen = anchor->screen()) {
        const QRect available = screen->availableGeometry();
        placed.moveLeft(std::clamp(placed.left(), available.left(),
                                   std::max(available.left(), available.right() - size.width() + 1)));
        placed.moveTop(std::clamp(placed.top(), available.top(),
                                  std::max(available.top(), available.bottom() - size.height() + 1)));
    }
    dialog->move(placed.topLeft());
}

void MainWindow::slot_GetSecondOpenApp() {
    if (QLocalSocket* socket = localServer->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        socket->disconnectFromServer();
    }
    activateWindow();
    showNormal();
}

void MainWindow::slot_SysTrayActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger) {
        activateWindow();
        showNormal();
    }
}

// ---- window behaviour -------------------------------------------------------------------------

void MainWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        dragging = true;
        pressOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
    }
    QMainWindow::mousePressEvent(event);
}

void MainWindow::mouseReleaseEvent(QMouseEvent* event) {
    dragging = false;
    QMainWindow::mouseReleaseEvent(event);
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
    if (dragging)
        move(event->globalPosition().toPoint() - pressOffset);
    QMainWindow::mouseMoveEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // The window system's close gesture only puts the window into the tray; the process ends
    // through the tray's "Exit".
    if (event->spontaneous() && isVisible() && trayIcon->isVisible()) {
        hide();
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}
