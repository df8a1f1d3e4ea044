#pragma once

#include <QObject>
#include <QString>

#include <map>
#include <memory>
#include <optional>

#include "CameraCommand.h"
#include "ViscaServer.h"
#include "ViscaSettings.h"

class CameraCommandRouter;
class CameraListView;

// The application as a VISCA device: a port pair for every camera it was ever asked to serve
// ("Ports" of the settings), each camera steered through the one command path as an operator
// ("visca"), so tracking pauses for the manual-override time as for the panel. A port whose
// camera is not connected (unplugged, not yet connected) stays open and answers "not
// executable"; a camera connected for the first time gets the next free pair, which is saved.
// The inquiries are answered from what went to the camera through the router (its focus
// mode, the preset called last), whoever sent it.
//
// Threading: interface thread only (the server's sockets, the router and the list live there).
class ViscaBridge : public QObject {
    Q_OBJECT

public:
    ViscaBridge(CameraListView* cameras, CameraCommandRouter* router, QObject* parent = nullptr);
    ~ViscaBridge() override;

    // Serves (or stops serving) with these settings. Empty when they are served as asked; else
    // what stands in the way (the settings' problem, a port that cannot be bound), and nothing
    // is served.
    QString apply(const ViscaSettings& settings);
    const ViscaSettings& settings() const { return _settings; }
    bool isServing() const { return _server.isRunning(); }
    // One line for the dialog: what is served, or why nothing is.
    QString statusText() const;
    const ViscaServer& server() const { return _server; }

public slots:
    // A camera connected or went: a newly connected camera gets its port pair.
    void camerasChanged();

signals:
    // "Ports" gained an entry: the document should be saved.
    void signal_SettingsChanged();
    void signal_Log(QString line);

private:
    class Camera;
    friend class Camera;

    void serve(const QString& location);
    void routed(const CameraCommand& command);
    QString spelling(const QString& location) const;

    CameraListView* _cameras;      // not owned
    CameraCommandRouter* _router;  // not owned
    ViscaSettings _settings;
    QString _problem;
    std::map<QString, std::unique_ptr<Camera>> _served;  // by lower-case location
    // What reached each camera through the router (lower-case location).
    std::map<QString, int> _focusModes;
    std::map<QString, int> _lastPresets;
    ViscaServer _server;  // last: closed before the cameras it calls go
};
