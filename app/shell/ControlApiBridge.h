#pragma once

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include "ControlApiServer.h"

class CameraListView;
class DC_Recv;
class PresetLink;
class SoundDeviceSetting;

// What the control interface acts on in the running application: the camera list (cameras,
// connect, disconnect), the camera command worker (every camera command goes the way the PTZ
// panel's go, so they queue behind the panel's in order), and the tracking pages. It also
// watches those pages and pushes their changes to the clients as events.
//
// Pages never know each other or this bridge: the main window hands it the pages and wires
// its command signal to the worker and the panel's commands to slot_PanelCommand.
//
// Threading: interface thread only.
class ControlApiBridge : public QObject, public ControlApiBackend {
    Q_OBJECT

public:
    ControlApiBridge(CameraListView* cameras, SoundDeviceSetting* soundDevice, PresetLink* presetLink,
                     QObject* parent = nullptr);

    // The server whose clients hear the events; set once by the main window. Not owned.
    void setServer(ControlApiServer* server) { _server = server; }
    // The worker is wired: commands sent from now on reach the camera.
    void setCommandRouteReady(bool ready) { _commandRoute = ready; }

    // ControlApiBackend
    QJsonObject state() override;
    bool isCameraConnected() override;
    int connectCamera(const QString& location, QString& message) override;
    int disconnectCamera(const QString& location, QString& message) override;
    void sendCameraCommand(int commandId, int value) override;
    bool setTracking(bool on, QString& message) override;
    bool pauseTracking(int seconds, QString& message) override;

    // The parts of "state", as the events carry them.
    QJsonArray cameraList() const;
    QJsonValue connectedValue() const;
    QJsonObject arrayObject() const;
    QString trackingText() const;

signals:
    // A camera command on behalf of a client, for the worker.
    void signal_AddUSBCommand(int commandID, int commandValue);

public slots:
    void slot_CamerasChanged();
    void slot_ConnectUSBCamera(DC_Recv* recv);
    // A command the PTZ panel sent: a preset call is reported to the clients.
    void slot_PanelCommand(int commandID, int commandValue);

private:
    void presetCalled(int preset, const QString& by);
    void broadcast(const QString& name, const QJsonObject& data);

    CameraListView* _cameras;            // not owned
    SoundDeviceSetting* _soundDevice;    // not owned
    PresetLink* _presetLink;             // not owned
    QPointer<ControlApiServer> _server;  // not owned; null once it is gone
    bool _commandRoute = false;
    QString _announcedConnected;  // the connected camera the clients last heard of
    int _lastPreset = -1;         // -1: none called since start
    int _talker = 0;              // 0: nobody talks
    QString _announcedTracking;   // the tracking state the clients last heard of
};
