#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// The control interface's wire format as plain functions: one JSON object per text message.
//
//   {"auth": "TOKEN"}                                   -> {"auth": "ok"}
//   {"id": N, "method": "NAME", "params": {...}}        -> {"id": N, "result": {...}}
//                                                        | {"id": N, "error": {"code": C, "message": "..."}}
//   event                                               <- {"event": "NAME", "data": {...}}
//   picture                                             <- one binary message: a JPEG
//
// Pictures ("picture.start") go as binary messages on the same connection rather than as a
// separate MJPEG stream: the connection has passed the token and origin checks already, and
// the server decides per client which picture goes out and which is skipped (newest only),
// which a stream over its own HTTP connection would leave to the socket's buffers. A binary
// message carries nothing but the JPEG: a client has at most one picture running.
//
// Everything here takes bytes or JSON and answers records; nothing touches a socket or a
// page, so every rule is tested on bytes.
namespace ControlApi {

// Error codes of a reply.
enum ErrorCode {
    NotJson = -32700,
    NotRequest = -32600,
    UnknownMethod = -32601,
    BadParams = -32602,
    NoCameraConnected = 1,
    NoSuchCamera = 2,
    NotAuthenticated = 3,
    TooManyClients = 4,
};

// Places for authenticated clients. Connections still to authenticate, and connections being
// closed, have places of their own (kMaxWaitingClients), so they can never keep out a client
// that knows the token.
constexpr int kMaxClients = 8;
// When these are all taken, a new connection pushes the oldest of them out.
constexpr int kMaxWaitingClients = 8;
constexpr qint64 kMaxMessageBytes = 64 * 1024;
// Wherever a token is set, whatever the address: a page in a browser on this machine may
// try tokens against loopback too.
constexpr int kMinTokenLength = 16;
// A connection that has not authenticated by then is closed: a silent client would keep one
// of the few places for ever.
constexpr int kAuthTimeoutMs = 10000;
// A connection the server closes is dropped by then, whether or not its peer answered the
// close: a peer that does not read would otherwise keep it (and its queued output) for ever.
constexpr int kCloseTimeoutMs = 1000;
// Longest timed movement a request may ask for.
constexpr int kMaxMoveMs = 60000;
// Longest tracking pause a request may ask for (one day).
constexpr int kMaxPauseSeconds = 86400;
// Most decisions "tracking.log" answers with (all the application keeps).
constexpr int kMaxLogEntries = 500;

// Pictures: at most this wide (a wider request is refused), this narrow, this many a second.
constexpr int kMaxPictureWidth = 640;
constexpr int kMinPictureWidth = 16;
constexpr int kMaxPicturesPerSecond = 15;
// A larger picture is not sent: no 640-wide JPEG comes near it, so it is a broken one.
constexpr qint64 kMaxPictureBytes = 1024 * 1024;

// The camera commands of the command worker that requests turn into.
enum Command {
    CmdCallPreset = 1,
    CmdSavePreset = 2,
    CmdResetPreset = 3,
    CmdPanTilt = 4,
    CmdFocusMode = 5,
    CmdFocusFar = 6,
    CmdFocusNear = 7,
    CmdFocusStop = 8,
    CmdZoomIn = 9,
    CmdZoomOut = 10,
    CmdZoomStop = 11,
};
constexpr int kPanStop = 20;
constexpr int kPanHome = 25;

// What one incoming text message is.
struct Message {
    enum Kind { Auth, Request, Invalid };
    Kind kind = Invalid;
    QString token;       // Auth
    QJsonValue id;       // Request, and Invalid when the message carried a usable id
    QString method;      // Request
    QJsonObject params;  // Request (empty when absent)
    int errorCode = 0;   // Invalid: NotJson or NotRequest
    QString errorText;   // Invalid
};

Message parseMessage(const QByteArray& text);

// One camera command a request stands for, and the command that ends it when it is a
// continuous movement (stopId < 0: a single command).
struct CameraAction {
    int commandId = -1;
    int value = 0;
    int stopId = -1;
    int stopValue = 0;
    // Which movement it starts or stops (movements of the same axis replace each other).
    enum Axis { None, PanTilt, Zoom, Focus };
    Axis axis = None;
    bool isStop = false;
    // How long a movement runs before it is stopped (0: until a stop).
    int ms = 0;
    // The camera it is for, as the request named it (location identity, any case); empty:
    // the camera the PTZ panel steers.
    QString camera;
};

// The pan/tilt value of a direction name ("up", "down-left", "home"); -1 when unknown.
int directionValue(const QString& direction);

// A request's params checked and turned into a camera action. Methods: "ptz.move",
// "ptz.stop", "zoom", "focus", "preset.call", "preset.save", "preset.reset"; each takes an
// optional "camera" (see cameraParam).
// false with `error` naming the faulty parameter; false with `error` empty for a method that
// is none of these (whatever its params). The "ms" of "ptz.move", "zoom" and "focus" is
// checked for every action of theirs; it counts only for a movement (stopId >= 0).
bool cameraAction(const QString& method, const QJsonObject& params, CameraAction& out, QString& error);

// The optional "ms" of a movement: 0 when absent; false when present but not a whole
// number of 1 to kMaxMoveMs.
bool durationMs(const QJsonObject& params, int& ms, QString& error);

// The optional "camera" of a camera command: empty when absent or null; false when present
// but not a non-empty string. Whether that camera is connected is the backend's to say.
bool cameraParam(const QJsonObject& params, QString& camera, QString& error);

// The params of "picture.start": the optional "camera" (see cameraParam; empty: the camera
// the PTZ panel steers) and the optional "width" (kMinPictureWidth to kMaxPictureWidth;
// kMaxPictureWidth when absent). false with `error` naming the faulty parameter.
struct PictureRequest {
    QString camera;
    int width = kMaxPictureWidth;
};
bool pictureParams(const QJsonObject& params, PictureRequest& out, QString& error);

// Whole numbers only: 3 and 3.0 are 3, 3.5 and "3" are not.
bool wholeNumber(const QJsonValue& value, qint64 min, qint64 max, qint64& out);

QByteArray authOk();
QByteArray result(const QJsonValue& id, const QJsonObject& result);
QByteArray error(const QJsonValue& id, int code, const QString& message);
QByteArray event(const QString& name, const QJsonObject& data);

// Comparison whose time does not depend on where the texts differ.
bool tokensEqual(const QString& a, const QString& b);
// A fresh random token of `length` characters from [A-Za-z0-9].
QString newToken(int length = 32);

}  // namespace ControlApi
