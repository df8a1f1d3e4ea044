#include "ArrayLink.h"

#include <QDateTime>
#include <QDebug>
#include <QSignalBlocker>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <iterator>

#include "ArrayDevices.h"

namespace {

const QString kCannotConnect = QStringLiteral("Device cannot connect.");
const QString kConnectionLoss = QStringLiteral("Connection Loss.");

qint64 systemClock() {
    return QDateTime::currentMSecsSinceEpoch();
}

}  // namespace

ArrayLink::ArrayLink(QObject* parent) : QObject(parent), _clock(systemClock) {
    _tcpSocket = new QTcpSocket(this);
    _tcpSocket->setObjectName(QStringLiteral("tcpSocket"));
    connect(_tcpSocket, &QTcpSocket::connected, this, &ArrayLink::slot_ConnectedDevice);
    connect(_tcpSocket, &QTcpSocket::disconnected, this, &ArrayLink::slot_DisconnectedDevice);
    connect(_tcpSocket, &QTcpSocket::readyRead, this, &ArrayLink::slot_ReceiveFromDevice);
    connect(_tcpSocket, &QTcpSocket::errorOccurred, this, &ArrayLink::slot_ConnectError);

    _webSocket = new QWebSocket(QString(), QWebSocketProtocol::Version13, this);
    _webSocket->setObjectName(QStringLiteral("nurvea_webSocket"));
    connect(_webSocket, &QWebSocket::connected, this, &ArrayLink::slot_ConnectedDevice);
    connect(_webSocket, &QWebSocket::disconnected, this, &ArrayLink::slot_DisconnectedDevice);
    connect(_webSocket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            &ArrayLink::slot_ConnectError);
    connect(_webSocket, &QWebSocket::textMessageReceived, this, &ArrayLink::slot_ReceiveNurveaMessage);
    connect(_webSocket, &QWebSocket::pong, this, [this] { _lastPongMs = now(); });

    _pollTimer = new QTimer(this);
    _pollTimer->setObjectName(QStringLiteral("pollTimer"));
    connect(_pollTimer, &QTimer::timeout, this, &ArrayLink::slot_SoundArrayPolling);
    _connectTimer = new QTimer(this);
    _connectTimer->setObjectName(QStringLiteral("connectTimer"));
    _connectTimer->setSingleShot(true);
    connect(_connectTimer, &QTimer::timeout, this, &ArrayLink::connectAttemptFailed);
    _pingTimer = new QTimer(this);
    _pingTimer->setObjectName(QStringLiteral("pingTimer"));
    connect(_pingTimer, &QTimer::timeout, this, &ArrayLink::pingDevice);
    _reconnectTimer = new QTimer(this);
    _reconnectTimer->setObjectName(QStringLiteral("reconnectTimer"));
    _reconnectTimer->setSingleShot(true);
    connect(_reconnectTimer, &QTimer::timeout, this, &ArrayLink::slot_Reconnect);
}

ArrayLink::~ArrayLink() {
    // The sockets report their own shutdown synchronously; nobody may hear of it any more.
    blockSignals(true);
    for (QTimer* timer : {_pollTimer, _connectTimer, _pingTimer, _reconnectTimer}) timer->stop();
    _tcpSocket->disconnect(this);
    _webSocket->disconnect(this);
    _tcpSocket->abort();
    _webSocket->abort();
    if (_webSocket->state() != QAbstractSocket::UnconnectedState)
        _webSocket->close(QWebSocketProtocol::CloseCodeNormal, QString());
}

void ArrayLink::setClock(std::function<qint64()> clock) {
    _clock = clock ? std::move(clock) : std::function<qint64()>(systemClock);
}

bool ArrayLink::isTcpBrand() const {
    return _target.brand != ArrayDevices::Nureva;
}

bool ArrayLink::isConnecting() const {
    return _connectTimer->isActive();
}

bool ArrayLink::isPolling() const {
    return _pollTimer->isActive();
}

int ArrayLink::pollIntervalMs() const {
    return _pollTimer->interval();
}

int ArrayLink::reconnectDelayMs() const {
    return _reconnectTimer->isActive() ? _reconnectTimer->interval() : 0;
}

void ArrayLink::resetProtocols() {
    _shure.reset();
    _sennheiser.reset();
    _yamaha.reset();
}

void ArrayLink::setBrand(int brand) {
    _target.brand = brand;
    // A new array speaks another protocol; nothing half-read belongs to it.
    resetProtocols();
    if (brand == ArrayDevices::Yamaha)
        _yamahaRunning = false;
}

bool ArrayLink::isFromOtherLink() const {
    const QObject* origin = sender();
    if (origin != _tcpSocket && origin != _webSocket)
        return false;  // called directly
    return origin != (isTcpBrand() ? static_cast<const QObject*>(_tcpSocket) : _webSocket);
}

void ArrayLink::setState(State state) {
    if (state == _state)
        return;
    _state = state;
    emit signal_StateChanged(state);
}

// ---- opening and closing -------------------------------------------------------------------------

void ArrayLink::open(const Target& target, bool retryOnFailure) {
    _target = target;
    _wanted = true;
    _retrying = retryOnFailure && _autoReconnect;
    if (retryOnFailure)
        _reconnectAttempts = 0;
    startAttempt();
}

void ArrayLink::startAttempt() {
    _deviceConnected = false;
    _reconnectTimer->stop();
    // An address that does not parse ends the attempt quietly for every brand, so a saved
    // empty address never leaves the page locked with nothing connecting (nor retrying).
    _addressUsable = _hostAddress.setAddress(_target.address);
    if (!_addressUsable) {
        slot_DisconnectedDevice();
        return;
    }

    if (!isTcpBrand()) {
        _webSocketUrl = QUrl(QStringLiteral("ws://%1:%2").arg(_hostAddress.toString()).arg(_target.port));
        // Neither a retry nor the user's own connect may hang on an unreachable array or one
        // that accepts and never answers the handshake: the same 5 s as the TCP brands.
        _connectTimer->start(kConnectTimeoutMs);
        _webSocket->open(_webSocketUrl);
        return;
    }

    _yamahaRunning = false;
    {
        // A previous link still flushing its close would report its end from abort(); that
        // end is not this attempt's.
        const QSignalBlocker blocker(_tcpSocket);
        _tcpSocket->abort();
    }
    resetProtocols();
    // The attempt runs in the background: waiting for it here would freeze the window for as
    // long as an unreachable address takes to fail. The connected signal, a socket error or
    // the connect timer settles it.
    _connectTimer->start(kConnectTimeoutMs);
    _tcpSocket->connectToHost(_hostAddress.toString(), static_cast<quint16>(_target.port),
                              QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

void ArrayLink::close() {
    _wanted = false;
    _deviceConnected = false;
    stopReconnecting();
    if (isTcpBrand()) {
        if (_connectTimer->isActive()) {
            // An attempt still under way is dropped; the user ended it, so no warning.
            _connectTimer->stop();
            const QSignalBlocker blocker(_tcpSocket);
            _tcpSocket->abort();
        }
        _tcpSocket->disconnectFromHost();
        _yamahaRunning = false;
    } else {
        _connectTimer->stop();
        _pingTimer->stop();
        _webSocket->close(QWebSocketProtocol::CloseCodeNormal, QString());
    }
    setState(Down);
    emit signal_Ended();
}

void ArrayLink::connectAttemptFailed() {
    _connectTimer->stop();
    {
        // The attempt is over; its socket must not report anything more about it.
        const QSignalBlocker tcpBlocker(_tcpSocket);
        const QSignalBlocker webSocketBlocker(_webSocket);
        if (isTcpBrand())
            _tcpSocket->abort();
        else
            _webSocket->abort();
    }
    // A failed retry is expected until the array is back: it only schedules the next one.
    const bool wasRetrying = _retrying;
    slot_DisconnectedDevice();
    if (!wasRetrying)
        emit signal_Warning(kCannotConnect);
}

void ArrayLink::setAutoReconnect(bool on) {
    _autoReconnect = on;
    // Nothing is linked and nothing will be: back to idle as after a loss without
    // reconnecting.
    if (!on && _retrying)
        close();
}

// ---- reconnecting --------------------------------------------------------------------------------

void ArrayLink::scheduleReconnect() {
    setState(Reconnecting);
    if (_reconnectTimer->isActive())
        return;
    constexpr int steps = static_cast<int>(std::size(kReconnectDelaysMs));
    _reconnectTimer->start(kReconnectDelaysMs[std::min(_reconnectAttempts, steps - 1)]);
}

void ArrayLink::stopReconnecting() {
    _reconnectTimer->stop();
    _retrying = false;
    _reconnectAttempts = 0;
}

void ArrayLink::slot_Reconnect() {
    _reconnectTimer->stop();
    if (!_retrying || !_wanted)
        return;
    ++_reconnectAttempts;
    // An array that stays away for a day must not fill the log: one line per period, with
    // the number of attempts it stands for.
    const qint64 timeMs = now();
    if (_lastReconnectLogMs == 0 || timeMs - _lastReconnectLogMs >= kReconnectLogPeriodMs) {
        qInfo().noquote() << QStringLiteral(
                                 "ArrayLink: reconnect attempt %1 to %2 (%3 more since the last line)")
                                 .arg(_reconnectAttempts)
                                 .arg(_target.address)
                                 .arg(_suppressedReconnectLogs);
        _lastReconnectLogMs = timeMs;
        _suppressedReconnectLogs = 0;
    } else {
        ++_suppressedReconnectLogs;
    }
    startAttempt();
}

void ArrayLink::warnLoss() {
    if (_lossWarned)
        return;
    _lossWarned = true;
    emit signal_Warning(kConnectionLoss);
}

// ---- the sockets' news ---------------------------------------------------------------------------

void ArrayLink::slot_ConnectedDevice() {
    if (isFromOtherLink())
        return;
    _connectTimer->stop();
    _reconnectTimer->stop();
    _reconnectAttempts = 0;
    _retrying = false;
    _lossWarned = false;
    _pollTimer->stop();
    if (_target.brand == ArrayDevices::Nureva) {
        _requestId = QUuid::createUuid();
        _webSocket->sendTextMessage(NurevaProtocol::subscribeRequest(_requestId));
    }
    _pollTimer->start(_target.brand == ArrayDevices::Yamaha ? kYamahaWaitingPollIntervalMs : kPollIntervalMs);
    _lastReplyMs = now();
    _lastPongMs = now();
    if (_target.brand == ArrayDevices::Nureva)
        _pingTimer->start(kPingIntervalMs);
    _deviceConnected = true;
    emit signal_Up();
    // A Yamaha array meters only once asked, and only after it said it runs: the first
    // question goes out now rather than a whole waiting poll later, or a talker in the first
    // second of a link would wait for it.
    if (_target.brand == ArrayDevices::Yamaha)
        slot_SoundArrayPolling();
    setState(Up);
}

void ArrayLink::slot_DisconnectedDevice() {
    qDebug() << "SoundDeviceSetting::slot_DisconnectedDevice";
    if (isFromOtherLink() || _inDisconnect)
        return;
    _inDisconnect = true;
    const bool wasUp = _deviceConnected;
    const bool wanted = _wanted;
    _deviceConnected = false;
    _pollTimer->stop();
    _connectTimer->stop();
    _pingTimer->stop();
    if (_target.brand == ArrayDevices::Nureva) {
        if (_webSocket->state() == QAbstractSocket::ConnectedState) {
            _webSocket->close(QWebSocketProtocol::CloseCodeNormal, QString());
        } else {
            // Closing a socket that is not connected reports "not connected" later, when a
            // retry may already have linked again, and would tear down the new link.
            const QSignalBlocker blocker(_webSocket);
            _webSocket->abort();
        }
    } else {
        // May report its own end (that call returns at once: the slot is running).
        _tcpSocket->disconnectFromHost();
    }
    resetProtocols();
    _yamahaRunning = false;
    emit signal_Down();
    _inDisconnect = false;
    // A link that was up, or the connect at start, comes back by itself: the page keeps
    // Connect on while the link retries.
    if (_autoReconnect && wanted && _addressUsable && (wasUp || _retrying)) {
        _retrying = true;
        if (wasUp)
            warnLoss();
        scheduleReconnect();
        return;
    }
    stopReconnecting();
    _wanted = false;
    setState(Down);
    emit signal_Ended();
}

void ArrayLink::slot_ConnectError(QAbstractSocket::SocketError error) {
    if (isFromOtherLink())
        return;
    const QString text = isTcpBrand() ? _tcpSocket->errorString() : _webSocket->errorString();
    if (_connectTimer->isActive() && !_deviceConnected) {
        // The attempt under way failed before its time was up: settled once, here.
        qDebug() << "SoundDeviceSetting::slot_ConnectError" << error << text;
        connectAttemptFailed();
        return;
    }
    _pollTimer->stop();
    _pingTimer->stop();
    qDebug() << "SoundDeviceSetting::slot_ConnectError" << error << text;
    if (_deviceConnected) {
        warnLoss();
    } else if (_retrying) {
        // A failed retry of the WebSocket link: on to the next one.
        _connectTimer->stop();
        slot_DisconnectedDevice();
    } else {
        emit signal_Warning(kCannotConnect);
    }
}

void ArrayLink::pingDevice() {
    if (now() - _lastPongMs >= kPongTimeoutMs) {
        linkLost();
        return;
    }
    _webSocket->ping();
}

void ArrayLink::linkLost() {
    qDebug() << "ArrayLink::linkLost"
             << "no answer from the array";
    {
        // A polite close would wait for an answer that is not coming; the socket's own end
        // must not be reported on top of this one.
        const QSignalBlocker tcpBlocker(_tcpSocket);
        const QSignalBlocker webSocketBlocker(_webSocket);
        if (_target.brand == ArrayDevices::Nureva)
            _webSocket->abort();
        else
            _tcpSocket->abort();
    }
    slot_DisconnectedDevice();
    warnLoss();
}

// ---- polling and receiving -----------------------------------------------------------------------

bool ArrayLink::writeToDevice(std::string_view bytes) {
    return _tcpSocket->write(bytes.data(), static_cast<qint64>(bytes.size())) >= 0;
}

void ArrayLink::slot_SoundArrayPolling() {
    // The Nureva array pushes its reports; its link is kept by the ping timer. (A text
    // message used as a heartbeat is a request to the array, which it may take badly.)
    if (_target.brand == ArrayDevices::Nureva)
        return;
    if (_tcpSocket->state() != QAbstractSocket::ConnectedState)
        return;
    // Every poll is answered, so an array that has said nothing for this long is gone, even
    // though its connection may stay open for minutes.
    if (now() - _lastReplyMs >= kReplyTimeoutMs) {
        linkLost();
        return;
    }

    bool lastWriteOk = true;
    switch (_target.brand) {
        case ArrayDevices::Shure:
            for (const std::string& request : ShureProtocol::pollRequests(_shureAutoCoverage))
                lastWriteOk = writeToDevice(request);
            break;
        case ArrayDevices::Sennheiser:
            lastWriteOk = _tcpSocket->write(SennheiserProtocol::pollRequest()) >= 0;
            break;
        case ArrayDevices::Yamaha:
            lastWriteOk = writeToDevice(YamahaProtocol::pollRequest(_yamahaRunning));
            break;
        default:
            return;
    }
    if (!_tcpSocket->flush() || !lastWriteOk)
        slot_DisconnectedDevice();
}

void ArrayLink::handleYamaha(const YamahaEvent& event) {
    if (event.kind == YamahaEvent::RunModeNormal) {
        _yamahaRunning = true;
        writeToDevice(YamahaProtocol::kMeteringRequest);
        writeToDevice(YamahaProtocol::kKeepAliveRequest);
        _pollTimer->start(kPollIntervalMs);
        return;
    }
    emit signal_YamahaEvent(event);
}

void ArrayLink::slot_ReceiveFromDevice() {
    if (!sender() || sender()->objectName() != QLatin1String("tcpSocket"))
        return;
    while (_tcpSocket->bytesAvailable() > 0) {
        const QByteArray chunk = _tcpSocket->readAll();
        if (chunk.isEmpty())
            break;
        _lastReplyMs = now();
        const std::string_view bytes(chunk.constData(), static_cast<std::size_t>(chunk.size()));
        switch (_target.brand) {
            case ArrayDevices::Shure:
                for (const ShureEvent& event : _shure.feed(bytes)) {
                    // The polls follow the array's mode: in automatic coverage the gates are
                    // the coverage areas'.
                    if (event.kind == ShureEvent::AutoCoverage)
                        _shureAutoCoverage = event.on;
                    emit signal_ShureEvent(event);
                }
                break;
            case ArrayDevices::Sennheiser:
                for (const SennheiserEvent& event : _sennheiser.feed(bytes))
                    emit signal_SennheiserEvent(event);
                break;
            case ArrayDevices::Yamaha:
                for (const YamahaEvent& event : _yamaha.feed(bytes)) {
                    handleYamaha(event);
                    if (_tcpSocket->state() != QAbstractSocket::ConnectedState)
                        break;
                }
                break;
            default:
                break;
        }
        // A reaction above may have ended the link.
        if (_tcpSocket->state() != QAbstractSocket::ConnectedState)
            break;
    }
}

void ArrayLink::slot_ReceiveNurveaMessage(QString message) {
    if (!sender() || sender()->objectName() != QLatin1String("nurvea_webSocket"))
        return;
    if (const std::optional<NurevaReport> report = NurevaProtocol::parse(message))
        emit signal_NurevaReport(*report);
}
