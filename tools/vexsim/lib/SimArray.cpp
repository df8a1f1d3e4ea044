#include "SimArray.h"

#include <QDateTime>

SimArray::SimArray(Options options) : _options(std::move(options)) {
    if (_options.brand == Brand::Nureva) {
        _ws = std::make_unique<SimWebSocketArray>();
        _ws->maxMessages = 1000;
        _ws->onMessage = [this](const QString& message) {
            // The subscription request starts the reports; the application's "ping" text
            // messages are not requests and get no answer.
            if (message.contains("audioLocation")) {
                if (_ws->client)
                    _ws->client->sendTextMessage(SimArrayReplies::nurevaAcknowledge(message));
                _subscribed = true;
                if (!_pushTimer.isActive())
                    _pushTimer.start(std::max(10, _options.pushIntervalMs));
            }
        };
        QObject::connect(&_ws->server, &QWebSocketServer::newConnection, [this] { _subscribed = false; });
        QObject::connect(&_pushTimer, &QTimer::timeout, [this] { pushNureva(); });
        return;
    }
    _tcp = std::make_unique<SimTcpArray>();
    _tcp->splitWrites = _options.splitWrites;
    _tcp->maxReceived = 64 * 1024;
    switch (_options.brand) {
        case Brand::Shure:
            _tcp->respond('>', [this](const QByteArray& request) {
                return SimArrayReplies::shure(request, _talker, _options.autoCoverage, _options.channels);
            });
            break;
        case Brand::Sennheiser:
            _tcp->respond(QByteArray("\r\n"), [this](const QByteArray& document) {
                return SimArrayReplies::sennheiser(document, _talker);
            });
            break;
        case Brand::Yamaha:
            _tcp->respond('\n', [this](const QByteArray& line) {
                int interval = 0;
                const QByteArray reply = SimArrayReplies::yamaha(line, interval);
                // Metering runs at the asked interval; asking again while it runs changes
                // nothing (restarting would hold the notifications back forever).
                if (interval > 0 && (!_meterTimer.isActive() || _meterTimer.interval() != interval))
                    _meterTimer.start(interval);
                return reply;
            });
            QObject::connect(&_meterTimer, &QTimer::timeout, [this] {
                if (_tcp->hasClient())
                    _tcp->send(SimArrayReplies::yamahaNotification(_talker));
                else
                    _meterTimer.stop();
            });
            break;
        case Brand::Nureva:
            break;
    }
    QObject::connect(&_tcp->server, &QTcpServer::newConnection, [this] { _meterTimer.stop(); });
}

SimArray::~SimArray() {
    _meterTimer.stop();
    _pushTimer.stop();
}

int SimArray::defaultPort(Brand brand) {
    switch (brand) {
        case Brand::Shure:
            return 2202;
        case Brand::Sennheiser:
            return 45;
        case Brand::Nureva:
            return 8931;
        case Brand::Yamaha:
            return 49280;
    }
    return 0;
}

bool SimArray::brandFromName(const QString& name, Brand& brand) {
    const QString n = name.toLower();
    if (n == "shure")
        brand = Brand::Shure;
    else if (n == "sennheiser")
        brand = Brand::Sennheiser;
    else if (n == "nureva")
        brand = Brand::Nureva;
    else if (n == "yamaha")
        brand = Brand::Yamaha;
    else
        return false;
    return true;
}

QString SimArray::brandName(Brand brand) {
    switch (brand) {
        case Brand::Shure:
            return "shure";
        case Brand::Sennheiser:
            return "sennheiser";
        case Brand::Nureva:
            return "nureva";
        case Brand::Yamaha:
            return "yamaha";
    }
    return {};
}

bool SimArray::listen(QString* error) {
    const int port = _options.port > 0 ? _options.port : _options.port == 0 ? defaultPort(_options.brand) : 0;
    bool ok = false;
    QString why;
    if (_ws) {
        ok = _ws->listen(_options.address, static_cast<quint16>(port));
        why = _ws->server.errorString();
    } else {
        ok = _tcp->listen(_options.address, static_cast<quint16>(port));
        why = _tcp->server.errorString();
    }
    if (!ok && error)
        *error = QString("%1 array on %2:%3: %4")
                     .arg(brandName(_options.brand), _options.address.toString())
                     .arg(port)
                     .arg(why);
    return ok;
}

int SimArray::port() const {
    return _ws ? _ws->port() : _tcp->port();
}

void SimArray::dropLink() {
    _meterTimer.stop();
    _pushTimer.stop();
    _subscribed = false;
    if (_ws)
        _ws->dropClient();
    else if (_tcp->client)
        _tcp->client->abort();
}

void SimArray::sendRaw(const QByteArray& bytes) {
    if (_ws) {
        if (_ws->client)
            _ws->client->sendTextMessage(QString::fromUtf8(bytes));
    } else {
        _tcp->send(bytes);
    }
}

bool SimArray::hasClient() const {
    return _ws ? _ws->hasClient() : _tcp->hasClient();
}

int SimArray::connections() const {
    return _ws ? _ws->connections : _tcp->connections;
}

QByteArray SimArray::received() const {
    return _ws ? _ws->messages.join('\n').toUtf8() : _tcp->received;
}

void SimArray::pushNureva() {
    if (!_ws || !_ws->hasClient() || !_subscribed) {
        _pushTimer.stop();
        return;
    }
    _ws->client->sendTextMessage(SimArrayReplies::nurevaReport(_talker, QDateTime::currentMSecsSinceEpoch()));
}
