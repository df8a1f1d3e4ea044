#pragma once

#include <QJsonObject>
#include <QMap>
#include <QMainWindow>
#include <QPoint>
#include <QStringList>
#include <QSystemTrayIcon>

class AboutWidget;
class ArrayLink;
class CamUSBControlThread;
class DC_Recv;
class FramePump;
class CameraCommandRouter;
class DecisionLog;
class DecisionLogWindow;
class CameraListView;
class ControlApiBridge;
class ControlApiDialog;
class ControlApiServer;
class PTZControlForm;
class PresetLink;
class QAction;
class QLocalServer;
class QMenu;
class SoundDeviceSetting;
class TrackingEngine;
class USBListener;
class ViscaBridge;
class ViscaDialog;
class WarningMessageWidget;
class titleWidget;

// The frameless main window: hosts the pages, owns the tray icon and the local server that
// answers a second start, and reads and writes the settings document.
//
// Interface thread only.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int kEnableDelayMs = 500;
    static constexpr int kAutoConnectDelayMs = 1000;
    // How long the tray's "Exit" waits for the camera command worker.
    static constexpr int kWorkerStopWaitMs = 300;

    // instanceName: the local-server name a second start connects to.
    explicit MainWindow(QWidget* parent = nullptr, const QString& instanceName = QStringLiteral("Vantor_AP"));
    ~MainWindow() override;

    void readConfigFile();
    QJsonObject loadConfigObject(const QString& path) const;
    void writeConfigFile();

    QString configFilePath() const { return configFile; }
    QString configDirPath() const { return configDir; }
    PresetLink* presetLinkPage() const { return presetLink; }
    SoundDeviceSetting* soundDevicePage() const { return soundDevice; }
    CameraListView* cameraListPage() const { return cameraList; }
    USBListener* usbListenerObject() const { return usbListener; }
    // Null until the start delay has passed.
    CamUSBControlThread* commandWorker() const { return worker; }
    QSystemTrayIcon* systemTrayIcon() const { return trayIcon; }
    AboutWidget* aboutWidget() const { return aboutDialog; }
    WarningMessageWidget* warningMessageWidget() const { return warningDialog; }
    // Null until the first PTZ request.
    PTZControlForm* ptzControlForm() const { return ptzPanel; }
    // The frame pump of the connected camera at that location (any case); null when none.
    FramePump* framePump(const QString& location) const { return framePumps.value(location.toLower()); }
    ControlApiServer* controlApiServer() const { return controlApi; }
    ControlApiBridge* controlApiBridge() const { return controlBridge; }
    // Null until the tray's "Control interface" was chosen.
    ControlApiDialog* controlApiDialog() const { return controlDialog; }
    ViscaBridge* viscaBridge() const { return visca; }
    // Null until the tray's "VISCA" was chosen; a new one each time it opens.
    ViscaDialog* viscaDialog() const { return viscaSettingsDialog; }
    // The core: every camera command's way, the array link, the tracking and its log.
    CameraCommandRouter* commandRouter() const { return router; }
    ArrayLink* arrayLink() const { return link; }
    TrackingEngine* trackingEngine() const { return engine; }
    DecisionLog* decisionLog() const { return log; }
    // Null until the tracking log was first asked for.
    DecisionLogWindow* decisionLogWindow() const { return logWindow; }
    bool isHandOverServerListening() const;
    // The local-server name a second start of this user reaches this instance by.
    QString handOverServerName() const;

signals:
    void signal_StartAutoConnect();

public slots:
    void slot_MinClicked();
    void slot_HideWindow();
    void slot_showWindow();
    void slot_CloseClicked();
    void slot_Exit();
    void slot_PTZControlClicked(bool clicked, QJsonObject dataObject);
    void slot_MovePTZWidget(QPoint movePoint);
    void slot_InfoClicked();
    void slot_ShowWarningMessage(QString message);
    void slot_GetSecondOpenApp();
    // The tray's "Control interface": opens the dialog of the control interface.
    void slot_ControlApiClicked();
    // The tray's "VISCA": opens the VISCA dialog; what it accepts is served and saved.
    void slot_ViscaClicked();
    // The tray's and the array page's "Tracking log".
    void slot_ShowTrackingLog();
    void slot_SysTrayActivated(QSystemTrayIcon::ActivationReason reason);
    // A camera's receiver came or went: the PTZ panel's selector and, when it was the panel's
    // camera, the panel's receiver follow before the camera list destroys it.
    void slot_CameraReceiverChanged(QString location, DC_Recv* recv);
    // The panel steers (and shows) the camera at that location (empty: none).
    void showPanelCamera(const QString& location);
    void updatePanelForCamera(const QString& location, DC_Recv* recv);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void setupForm();
    void buildTray();
    void startListening(const QString& instanceName);
    void afterEnableDelay();
    void connectPages();
    // Wiring of the PTZ panel, made once when it is created.
    void connectPTZPanel();
    void refreshPanelCameraChoices();
    // The cameras the mapping page's camera boxes offer: the list's rows.
    void refreshMappingCameraChoices();
    void createCore();
    void collectPresetLinkValues(QJsonObject& document) const;
    void stopWorker(int waitMs);
    void startControlApi();
    void startVisca();
    // The window a warning opens over: the active window when it is one of this window's
    // own, else this window.
    QWidget* warningAnchor();
    static void centreOn(QWidget* dialog, const QWidget* anchor);

    // The core, children of the window made before the pages (which are handed them) and
    // destroyed after them (the destructor takes the pages down first).
    CameraCommandRouter* router = nullptr;
    ArrayLink* link = nullptr;
    TrackingEngine* engine = nullptr;
    DecisionLog* log = nullptr;

    // Form: the title bar and the pages (owned by their Qt parents).
    titleWidget* titlewidget = nullptr;
    QWidget* home_widget = nullptr;
    SoundDeviceSetting* soundDevice = nullptr;
    PresetLink* presetLink = nullptr;
    CameraListView* cameraList = nullptr;  // "camera_widget"

    bool dragging = false;
    QPoint pressOffset;
    // One frame pump per connected camera (by lower-case location), made when its receiver
    // comes and forgotten before it goes; every consumer of a camera's pictures attaches to it.
    QMap<QString, FramePump*> framePumps;  // children
    PTZControlForm* ptzPanel = nullptr;    // child; created on the first PTZ request, then reused
    QString configDir;
    QString configFile;
    QStringList configFiles;
    USBListener* usbListener = nullptr;  // owned; created without parent
    AboutWidget* aboutDialog = nullptr;
    WarningMessageWidget* warningDialog = nullptr;
    CamUSBControlThread* worker = nullptr;  // owned; created without parent at the start delay
    QLocalServer* localServer = nullptr;
    QAction* showAction = nullptr;
    QAction* exitAction = nullptr;
    QAction* controlApiAction = nullptr;
    QAction* viscaAction = nullptr;
    QAction* trackingLogAction = nullptr;
    DecisionLogWindow* logWindow = nullptr;     // child; created on first use
    ControlApiBridge* controlBridge = nullptr;  // child; deleted right after controlApi
    ControlApiServer* controlApi = nullptr;     // child; deleted first (its clients' stops use the pages)
    ControlApiDialog* controlDialog = nullptr;  // child; created on first use
    // The dialog changed the interface's settings: from now on every save writes them.
    bool controlApiChanged = false;
    ViscaBridge* visca = nullptr;                 // child; deleted with the control interface
    ViscaDialog* viscaSettingsDialog = nullptr;  // child; replaced each time it opens
    // The VISCA settings changed (the dialog, or a camera given its port pair): from now on
    // every save writes them.
    bool viscaChanged = false;
    QAction* trackingAction = nullptr;  // checkable: the array page's tracking switch
    QSystemTrayIcon* trayIcon = nullptr;
    QMenu* trayMenu = nullptr;
};
