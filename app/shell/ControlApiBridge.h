#pragma once

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <array>
#include <functional>
#include <map>
#include <memory>

#include "CameraCommand.h"
#include "ControlApiServer.h"

class ArrayLink;
class CameraCommandRouter;
class CameraListView;
class DC_Recv;
class DecisionLog;
class FramePump;
class PictureFeed;
class TrackingEngine;

// What the control interface acts on in the running application: the camera list (cameras,
// connect, disconnect), the command router (a client's command takes the way every camera
// command takes, so it queues behind the panel's and the tracking's in order and pauses the
// tracking as an operator's would), and the tracking core (its link, switch, pause, talker,
// last preset and decision log). It also watches them and pushes their changes to the
// clients as events.
//
// Several cameras: "connected" is the camera the PTZ panel steers (the main window tells,
// setSteeredCamera; before the panel has a camera, the default camera), and a command that
// names no camera goes there. "connectedCameras" lists every connected camera in the list's
// connect order, the default first.
//
// Pictures: each camera some client wants pictures of has a PictureFeed on that camera's frame
// pump (the main window's, found with the lookup it sets), with the widths the clients asked
// for; a feed goes when nobody wants its camera any more. When a camera's receiver comes or
// goes, the feeds look up their pumps again.
//
// Threading: interface thread only.
class ControlApiBridge : public QObject, public ControlApiBackend {
    Q_OBJECT

public:
    ControlApiBridge(CameraListView* cameras, CameraCommandRouter* router, ArrayLink* link,
                     TrackingEngine* engine, DecisionLog* log, QObject* parent = nullptr);
    ~ControlApiBridge() override;

    // The frame pump of a connected camera (by location, any case; null: none); set once by
    // the main window.
    using PumpLookup = std::function<FramePump*(const QString& location)>;
    void setFramePumpLookup(PumpLookup lookup) { _pumpLookup = std::move(lookup); }
    // The feed of a camera's pictures (null: nobody wants them); tests and diagnostics.
    PictureFeed* pictureFeed(const QString& location) const;

    // The server whose clients hear the events; set once by the main window. Not owned.
    void setServer(ControlApiServer* server) { _server = server; }
    // The worker is wired: commands sent from now on reach the camera.
    void setCommandRouteReady(bool ready) { _commandRoute = ready; }

    // The camera the PTZ panel steers (empty: it has none); announced when it changes.
    void setSteeredCamera(const QString& location);

    // ControlApiBackend
    QJsonObject state() override;
    QString commandCamera(const QString& requested) override;
    int connectCamera(const QString& location, QString& message) override;
    int disconnectCamera(const QString& location, QString& message) override;
    void sendCameraCommand(int commandId, int value, const QString& camera) override;
    bool setTracking(bool on, QString& message) override;
    bool pauseTracking(int seconds, QString& message) override;
    QJsonArray trackingLog(int count) override;
    void setPictureDemand(const QList<PictureWant>& wants) override;

    // The parts of "state", as the events carry them.
    QJsonArray cameraList() const;
    // The cameras awaited after an unplug: {location, serial, model} each.
    QJsonArray awaitedList() const;
    QJsonValue connectedValue() const;
    QJsonArray connectedCameras() const;
    // The location identity of the camera the panel steers, as its row spells it; empty when
    // none is connected.
    QString steeredLocation() const;
    QJsonObject arrayObject() const;
    QString trackingText() const;
    // The positions whose lights are on, in order.
    QJsonArray litPositions() const;
    // The seconds a pause of the tracking still lasts (rounded up); null when not paused.
    QJsonValue pauseSeconds() const;

public slots:
    void slot_CamerasChanged();
    void slot_ConnectUSBCamera(DC_Recv* recv);
    // A camera's receiver came or went.
    void slot_CameraReceiver(const QString& location, DC_Recv* recv);
    // A command the router sent: a preset call is reported to the clients.
    void slot_CommandRouted(const CameraCommand& command);

private:
    void broadcast(const QString& name, const QJsonObject& data);
    // The "camera" event, when the steered camera or the connected ones differ from what the
    // clients last heard.
    void announceCameras();
    // The row's spelling of a connected camera's location (any case); empty when it is not
    // connected.
    QString connectedSpelling(const QString& location) const;
    // Makes, updates and ends the feeds after _pictureWants, each on its camera's pump now.
    void applyPictureDemand();

    CameraListView* _cameras;            // not owned
    CameraCommandRouter* _router;        // not owned
    ArrayLink* _link;                    // not owned
    TrackingEngine* _engine;             // not owned
    DecisionLog* _log;                   // not owned
    QPointer<ControlApiServer> _server;  // not owned; null once it is gone
    bool _commandRoute = false;
    QString _steered;              // the panel's camera, as the main window last told
    QString _announcedConnected;   // the steered camera the clients last heard of
    QJsonArray _announcedCameras;  // the connected cameras the clients last heard of
    QString _announcedTracking;    // the tracking state the clients last heard of
    PumpLookup _pumpLookup;
    std::array<bool, 9> _lights{};     // [position], as the tracking last lit them; [0] unused
    QList<PictureWant> _pictureWants;  // as the server last told
    std::map<QString, std::unique_ptr<PictureFeed>> _feeds;  // by lower-case location
};
