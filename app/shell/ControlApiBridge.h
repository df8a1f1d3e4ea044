#pragma once

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include "CameraCommand.h"
#include "ControlApiServer.h"

class ArrayLink;
class CameraCommandRouter;
class CameraListView;
class DC_Recv;
class DecisionLog;
class TrackingEngine;

// What the control interface acts on in the running application: the camera list (cameras,
// connect, disconnect), the command router (a client's command takes the way every camera
// command takes, so it queues behind the panel's and the tracking's in order and pauses the
// tracking as an operator's would), and the tracking core (its link, switch, pause, talker,
// last preset and decision log). It also watches them and pushes their changes to the
// clients as events.
//
// Threading: interface thread only.
class ControlApiBridge : public QObject, public ControlApiBackend {
    Q_OBJECT

public:
    ControlApiBridge(CameraListView* cameras, CameraCommandRouter* router, ArrayLink* link,
                     TrackingEngine* engine, DecisionLog* log, QObject* parent = nullptr);

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
    QJsonArray trackingLog(int count) override;

    // The parts of "state", as the events carry them.
    QJsonArray cameraList() const;
    QJsonValue connectedValue() const;
    QJsonObject arrayObject() const;
    QString trackingText() const;

public slots:
    void slot_CamerasChanged();
    void slot_ConnectUSBCamera(DC_Recv* recv);
    // A command the router sent: a preset call is reported to the clients.
    void slot_CommandRouted(const CameraCommand& command);

private:
    void broadcast(const QString& name, const QJsonObject& data);

    CameraListView* _cameras;            // not owned
    CameraCommandRouter* _router;        // not owned
    ArrayLink* _link;                    // not owned
    TrackingEngine* _engine;             // not owned
    DecisionLog* _log;                   // not owned
    QPointer<ControlApiServer> _server;  // not owned; null once it is gone
    bool _commandRoute = false;
    QString _announcedConnected;  // the connected camera the clients last heard of
    QString _announcedTracking;   // the tracking state the clients last heard of
};
