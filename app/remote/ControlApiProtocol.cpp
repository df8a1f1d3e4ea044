#include "ControlApiProtocol.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QRandomGenerator>

#include <cmath>

namespace ControlApi {

namespace {

bool usableId(const QJsonValue& id) {
    return id.isDouble() || id.isString();
}

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

}  // namespace

Message parseMessage(const QByteArray& text) {
    Message message;
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        message.errorCode = NotJson;
        message.errorText = QStringLiteral("not JSON: ") + parseError.errorString();
        return message;
    }
    if (!document.isObject()) {
        message.errorCode = NotRequest;
        message.errorText = QStringLiteral("a message is one JSON object");
        return message;
    }
    const QJsonObject object = document.object();
    if (object.contains(QStringLiteral("auth")) && !object.contains(QStringLiteral("method"))) {
        const QJsonValue token = object.value(QStringLiteral("auth"));
        if (!token.isString()) {
            message.errorCode = NotRequest;
            message.errorText = QStringLiteral("\"auth\" must be a string");
            return message;
        }
        message.kind = Message::Auth;
        message.token = token.toString();
        return message;
    }
    const QJsonValue id = object.value(QStringLiteral("id"));
    if (usableId(id))
        message.id = id;
    if (!usableId(id)) {
        message.errorCode = NotRequest;
        message.errorText = QStringLiteral("a request needs an \"id\" (a number or a string)");
        return message;
    }
    const QJsonValue method = object.value(QStringLiteral("method"));
    if (!method.isString() || method.toString().isEmpty()) {
        message.errorCode = NotRequest;
        message.errorText = QStringLiteral("a request needs a \"method\" (a string)");
        return message;
    }
    const QJsonValue params = object.value(QStringLiteral("params"));
    if (!params.isUndefined() && !params.isNull() && !params.isObject()) {
        message.errorCode = NotRequest;
        message.errorText = QStringLiteral("\"params\" must be an object");
        return message;
    }
    message.kind = Message::Request;
    message.method = method.toString();
    message.params = params.toObject();
    return message;
}

bool wholeNumber(const QJsonValue& value, qint64 min, qint64 max, qint64& out) {
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::floor(number) != number)
        return false;
    if (number < static_cast<double>(min) || number > static_cast<double>(max))
        return false;
    out = static_cast<qint64>(number);
    return true;
}

int directionValue(const QString& direction) {
    static const struct {
        const char* name;
        int value;
    } kDirections[] = {{"up", 21},      {"down", 22},     {"left", 23},      {"right", 24},     {"home", 25},
                       {"up-left", 26}, {"up-right", 27}, {"down-left", 28}, {"down-right", 29}};
    for (const auto& d : kDirections) {
        if (direction == QLatin1String(d.name))
            return d.value;
    }
    return -1;
}

bool durationMs(const QJsonObject& params, int& ms, QString& error) {
    ms = 0;
    const QJsonValue value = params.value(QStringLiteral("ms"));
    if (value.isUndefined() || value.isNull())
        return true;
    qint64 number = 0;
    if (!wholeNumber(value, 1, kMaxMoveMs, number)) {
        error = QStringLiteral("\"ms\" must be a whole number of 1 to %1").arg(kMaxMoveMs);
        return false;
    }
    ms = static_cast<int>(number);
    return true;
}

bool cameraParam(const QJsonObject& params, QString& camera, QString& error) {
    camera.clear();
    const QJsonValue value = params.value(QStringLiteral("camera"));
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isString() || value.toString().isEmpty()) {
        error = QStringLiteral("\"camera\" must be a location identity (a string)");
        return false;
    }
    camera = value.toString();
    return true;
}

bool pictureParams(const QJsonObject& params, PictureRequest& out, QString& error) {
    out = PictureRequest{};
    const QJsonValue width = params.value(QStringLiteral("width"));
    if (!width.isUndefined() && !width.isNull()) {
        qint64 number = 0;
        if (!wholeNumber(width, kMinPictureWidth, kMaxPictureWidth, number)) {
            error = QStringLiteral("\"width\" must be a whole number of %1 to %2")
                        .arg(kMinPictureWidth)
                        .arg(kMaxPictureWidth);
            return false;
        }
        out.width = static_cast<int>(number);
    }
    return cameraParam(params, out.camera, error);
}

namespace {

// The method's own params ("camera" is common to all of them).
bool cameraActionFor(const QString& method, const QJsonObject& params, CameraAction& out, QString& error) {
    // The method before its params: an unknown one is unknown whatever it carries.
    if (method == QLatin1String("preset.call"))
        out.commandId = CmdCallPreset;
    else if (method == QLatin1String("preset.save"))
        out.commandId = CmdSavePreset;
    else if (method == QLatin1String("preset.reset"))
        out.commandId = CmdResetPreset;
    if (out.commandId >= 0) {
        qint64 preset = 0;
        if (!wholeNumber(params.value(QStringLiteral("preset")), 0, 9, preset)) {
            error = QStringLiteral("\"preset\" must be a whole number of 0 to 9");
            return false;
        }
        out.value = static_cast<int>(preset);
        return true;
    }
    if (method == QLatin1String("ptz.stop")) {
        out.commandId = CmdPanTilt;
        out.value = kPanStop;
        out.axis = CameraAction::PanTilt;
        out.isStop = true;
        return true;
    }
    if (method == QLatin1String("ptz.move")) {
        // Checked for home too: a time that is wrong is wrong where it means nothing.
        if (!durationMs(params, out.ms, error))
            return false;
        const QJsonValue direction = params.value(QStringLiteral("direction"));
        const int value = direction.isString() ? directionValue(direction.toString()) : -1;
        if (value < 0) {
            error = QStringLiteral(
                "\"direction\" must be one of up, down, left, right, up-left, up-right, down-left, "
                "down-right, home");
            return false;
        }
        out.commandId = CmdPanTilt;
        out.value = value;
        out.axis = CameraAction::PanTilt;
        // Home is one command: the camera stops there by itself.
        if (value != kPanHome) {
            out.stopId = CmdPanTilt;
            out.stopValue = kPanStop;
        }
        return true;
    }
    const bool zoom = method == QLatin1String("zoom");
    const bool focus = method == QLatin1String("focus");
    if (!zoom && !focus)
        return false;
    // Checked for every action; only a movement (in, out, near, far) runs for it.
    if (!durationMs(params, out.ms, error))
        return false;
    const QString action = params.value(QStringLiteral("action")).toString();
    out.axis = zoom ? CameraAction::Zoom : CameraAction::Focus;
    if (zoom) {
        out.stopId = CmdZoomStop;
        if (action == QLatin1String("in")) {
            out.commandId = CmdZoomIn;
        } else if (action == QLatin1String("out")) {
            out.commandId = CmdZoomOut;
        } else if (action == QLatin1String("stop")) {
            out.commandId = CmdZoomStop;
            out.stopId = -1;
            out.isStop = true;
        } else {
            error = QStringLiteral("\"action\" of zoom must be in, out or stop");
            return false;
        }
        return true;
    }
    out.stopId = CmdFocusStop;
    if (action == QLatin1String("near")) {
        out.commandId = CmdFocusNear;
    } else if (action == QLatin1String("far")) {
        out.commandId = CmdFocusFar;
    } else if (action == QLatin1String("stop")) {
        out.commandId = CmdFocusStop;
        out.stopId = -1;
        out.isStop = true;
    } else if (action == QLatin1String("auto") || action == QLatin1String("manual")) {
        // Switching the focus mode is no movement.
        out.commandId = CmdFocusMode;
        out.value = action == QLatin1String("auto") ? 1 : 0;
        out.stopId = -1;
        out.axis = CameraAction::None;
    } else {
        error = QStringLiteral("\"action\" of focus must be near, far, stop, auto or manual");
        return false;
    }
    return true;
}

}  // namespace

bool cameraAction(const QString& method, const QJsonObject& params, CameraAction& out, QString& error) {
    out = CameraAction{};
    if (!cameraActionFor(method, params, out, error))
        return false;
    return cameraParam(params, out.camera, error);
}

QByteArray authOk() {
    return compact(QJsonObject{{QStringLiteral("auth"), QStringLiteral("ok")}});
}

QByteArray result(const QJsonValue& id, const QJsonObject& result) {
    return compact(QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("result"), result}});
}

QByteArray error(const QJsonValue& id, int code, const QString& message) {
    const QJsonObject body{{QStringLiteral("code"), code}, {QStringLiteral("message"), message}};
    return compact(QJsonObject{{QStringLiteral("id"), id.isUndefined() ? QJsonValue(QJsonValue::Null) : id},
                               {QStringLiteral("error"), body}});
}

QByteArray event(const QString& name, const QJsonObject& data) {
    return compact(QJsonObject{{QStringLiteral("event"), name}, {QStringLiteral("data"), data}});
}

bool tokensEqual(const QString& a, const QString& b) {
    const QByteArray x = a.toUtf8();
    const QByteArray y = b.toUtf8();
    // The length is no secret worth hiding; the content is compared in full either way.
    unsigned difference = x.size() == y.size() ? 0u : 1u;
    const qsizetype n = qMax(x.size(), y.size());
    for (qsizetype i = 0; i < n; ++i) {
        const unsigned char p = i < x.size() ? static_cast<unsigned char>(x[i]) : 0;
        const unsigned char q = i < y.size() ? static_cast<unsigned char>(y[i]) : 0;
        difference |= static_cast<unsigned>(p ^ q);
    }
    return difference == 0;
}

QString newToken(int length) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QString token;
    token.reserve(length);
    QRandomGenerator* random = QRandomGenerator::system();
    for (int i = 0; i < length; ++i) token.append(QLatin1Char(kAlphabet[random->bounded(62)]));
    return token;
}

}  // namespace ControlApi
