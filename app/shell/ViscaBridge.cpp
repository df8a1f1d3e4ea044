#include "ViscaBridge.h"

#include <QDebug>
#include <QHostAddress>

#include "CameraCommandRouter.h"
#include "CameraListView.h"

namespace {

CameraCommand::Kind kindOf(ViscaAction::Kind kind) {
    using V = ViscaAction::Kind;
    using C = CameraCommand::Kind;
    switch (kind) {
        case V::MirrorFlip:
            return C::MirrorFlip;
        case V::CallPreset:
            return C::CallPreset;
        case V::SavePreset:
            return C::SavePreset;
        case V::ResetPreset:
            return C::ResetPreset;
        case V::PanTilt:
            return C::PanTilt;
        case V::FocusMode:
            return C::FocusMode;
        case V::FocusFar:
            return C::FocusFar;
        case V::FocusNear:
            return C::FocusNear;
        case V::FocusStop:
            return C::FocusStop;
        case V::ZoomIn:
            return C::ZoomIn;
        case V::ZoomOut:
            return C::ZoomOut;
        case V::ZoomStop:
            return C::ZoomStop;
    }
    return C::ZoomStop;
}

CameraCommand::Direction directionOf(int value) {
    using V = ViscaAction::Direction;
    using C = CameraCommand::Direction;
    switch (static_cast<V>(value)) {
        case V::Stop:
            return C::Stop;
        case V::Up:
            return C::Up;
        case V::Down:
            return C::Down;
        case V::Left:
            return C::Left;
        case V::Right:
            return C::Right;
        case V::Home:
            return C::Home;
        case V::UpLeft:
            return C::UpLeft;
        case V::UpRight:
            return C::UpRight;
        case V::DownLeft:
            return C::DownLeft;
        case V::DownRight:
            return C::DownRight;
    }
    return C::Stop;
}

}  // namespace

// One camera's side of its port pair.
class ViscaBridge::Camera : public ViscaCamera {
public:
    Camera(ViscaBridge& bridge, QString location) : _bridge(bridge), _location(std::move(location)) {}

    bool connected() const override {
        for (const QString& l : _bridge._cameras->connectedLocations()) {
            if (l.compare(_location, Qt::CaseInsensitive) == 0)
                return true;
        }
        return false;
    }

    Result send(const ViscaAction& action, int) override {
        if (!connected())
            return Result::Refused;
        const int value = action.kind == ViscaAction::Kind::PanTilt
                              ? static_cast<int>(directionOf(action.value))
                              : action.value;
        // Handed to the camera's worker queue: completed once queued, so a controller's next
        // command follows it in order and never waits for the USB round trip.
        _bridge._router->submit(CameraCommand::make(kindOf(action.kind), value, CameraCommand::Origin::Visca,
                                                    _bridge.spelling(_location)));
        return Result::Done;
    }

    std::optional<int> focusMode() const override { return known(_bridge._focusModes); }
    std::optional<int> lastPreset() const override { return known(_bridge._lastPresets); }

private:
    std::optional<int> known(const std::map<QString, int>& values) const {
        const auto it = values.find(_location);
        return it == values.end() ? std::nullopt : std::optional<int>(it->second);
    }

    ViscaBridge& _bridge;
    const QString _location;  // lower case
};

ViscaBridge::ViscaBridge(CameraListView* cameras, CameraCommandRouter* router, QObject* parent)
    : QObject(parent), _cameras(cameras), _router(router) {
    connect(_router, &CameraCommandRouter::signal_Routed, this, &ViscaBridge::routed);
    connect(&_server, &ViscaServer::logLine, this, &ViscaBridge::signal_Log);
}

ViscaBridge::~ViscaBridge() {
    _server.stop();
}

QString ViscaBridge::spelling(const QString& location) const {
    const QString spelled =
        _cameras->cameraData(location).value(QStringLiteral("LocationIdentity")).toString();
    return spelled.isEmpty() ? location : spelled;
}

void ViscaBridge::routed(const CameraCommand& command) {
    // A command without a camera goes to the default one.
    const QString location =
        (command.camera.isEmpty() ? _cameras->connectedLocation() : command.camera).toLower();
    if (location.isEmpty())
        return;
    if (command.kind == CameraCommand::Kind::FocusMode)
        _focusModes[location] = command.value == 1 ? 1 : 0;
    else if (command.kind == CameraCommand::Kind::CallPreset)
        _lastPresets[location] = command.value;
}

QString ViscaBridge::apply(const ViscaSettings& settings) {
    _server.stop();
    _served.clear();
    _settings = settings;
    _problem = settings.enabled ? settings.problem() : QString();
    if (!settings.enabled || !_problem.isEmpty())
        return _problem;
    ViscaPeers peers;
    std::vector<std::string> entries;
    for (const QString& p : settings.allowedPeers) entries.push_back(p.toStdString());
    std::string why;
    peers.setEntries(entries, &why);  // checked by problem()
    QString error;
    if (!_server.start(QHostAddress(settings.address), {}, peers, error)) {
        _problem = error;
        return _problem;
    }
    for (auto it = _settings.ports.begin(); it != _settings.ports.end(); ++it) serve(it.key());
    camerasChanged();
    if (!_problem.isEmpty())
        _server.stop();
    return _problem;
}

void ViscaBridge::serve(const QString& location) {
    if (_served.count(location))
        return;
    const int udp = _settings.ports.value(location);
    auto camera = std::make_unique<Camera>(*this, location);
    QString error;
    ViscaServer::Endpoint endpoint{static_cast<uint16_t>(udp),
                                   static_cast<uint16_t>(_settings.tcpPortFor(udp)), camera.get()};
    if (!_server.addEndpoint(endpoint, error)) {
        _problem = error;
        emit signal_Log(QStringLiteral("VISCA: ") + error);
        return;
    }
    _served.emplace(location, std::move(camera));
}

void ViscaBridge::camerasChanged() {
    if (!_server.isRunning())
        return;
    bool added = false;
    for (const QString& connected : _cameras->connectedLocations()) {
        const QString location = connected.toLower();
        if (!_settings.ports.contains(location)) {
            if (_settings.assignPort(location) == 0) {
                emit signal_Log(QStringLiteral("VISCA: no port pair left for %1").arg(location));
                continue;
            }
            added = true;
        }
        serve(location);
    }
    if (added)
        emit signal_SettingsChanged();
}

QString ViscaBridge::statusText() const {
    if (!_settings.enabled)
        return tr("VISCA is off.");
    if (!_problem.isEmpty())
        return tr("Not serving: %1").arg(_problem);
    return tr("Serving %1 camera(s) on %2 from UDP %3 and TCP %4.")
        .arg(_served.size())
        .arg(_settings.address)
        .arg(_settings.udpPort)
        .arg(_settings.tcpPort);
}
