#include "Receiver/ReceiverCore.h"
#include "Receiver/ZoomProcessor.h"
#include "vexsdk.h"

// The digital-zoom commands of the exported receiver. Each only writes the zoom state; the
// video decoder applies it, one step per frame, while digital zoom is on (ZoomProcessor).

void DC_Recv::setDigitalZoomIn() {
    _core->zoomProcessor()->setCommand(1);
}

void DC_Recv::setDigitalZoomOut() {
    _core->zoomProcessor()->setCommand(2);
}

void DC_Recv::setDigitalZoomStop() {
    _core->zoomProcessor()->setCommand(0);
}

void DC_Recv::setDigitalZoomMoveLeft() {
    _core->zoomProcessor()->setCommand(3);
}

void DC_Recv::setDigitalZoomMoveRight() {
    _core->zoomProcessor()->setCommand(4);
}

void DC_Recv::setDigitalZoomMoveUp() {
    _core->zoomProcessor()->setCommand(5);
}

void DC_Recv::setDigitalZoomMoveDown() {
    _core->zoomProcessor()->setCommand(6);
}

void DC_Recv::setDigitalZoomHome() {
    _core->zoomProcessor()->home();
}
