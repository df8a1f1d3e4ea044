#include "CameraCommandRouter.h"

#include "TrackingEngine.h"

CameraCommandRouter::CameraCommandRouter(QObject* parent) : QObject(parent) {
    qRegisterMetaType<CameraCommand>("CameraCommand");
}

void CameraCommandRouter::setTrackingEngine(TrackingEngine* engine) {
    _engine = engine;
}

void CameraCommandRouter::submit(const CameraCommand& command) {
    emit signal_Command(command);
    emit signal_Routed(command);
    if (command.fromOperator() && _engine)
        _engine->operatorCommand(command);
}
