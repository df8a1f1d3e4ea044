#include "CameraCommand.h"

CameraCommand CameraCommand::make(Kind kind, int value, Origin origin, const QString& camera) {
    CameraCommand command;
    command.kind = kind;
    command.value = value;
    command.origin = origin;
    command.camera = camera;
    return command;
}

CameraCommand CameraCommand::preset(int preset, Origin origin, const QString& camera) {
    return make(Kind::CallPreset, preset, origin, camera);
}

CameraCommand CameraCommand::panTilt(Direction direction, Origin origin, const QString& camera) {
    return make(Kind::PanTilt, static_cast<int>(direction), origin, camera);
}

bool CameraCommand::movesCamera() const {
    switch (kind) {
        case Kind::CallPreset:
        case Kind::PanTilt:
        case Kind::FocusFar:
        case Kind::FocusNear:
        case Kind::FocusStop:
        case Kind::ZoomIn:
        case Kind::ZoomOut:
        case Kind::ZoomStop:
            return true;
        case Kind::MirrorFlip:
        case Kind::SavePreset:
        case Kind::ResetPreset:
        case Kind::FocusMode:
            return false;
    }
    return false;
}

QString CameraCommand::originName(Origin origin) {
    switch (origin) {
        case Origin::Tracking:
            return QStringLiteral("tracking");
        case Origin::Panel:
            return QStringLiteral("panel");
        case Origin::ControlInterface:
            return QStringLiteral("api");
        case Origin::Visca:
            return QStringLiteral("visca");
    }
    return QString();
}

bool CameraCommand::operator==(const CameraCommand& other) const {
    return kind == other.kind && value == other.value && camera == other.camera && origin == other.origin;
}
