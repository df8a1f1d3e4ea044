#pragma once

#include <QAbstractSocket>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <functional>
#include <string_view>

#include "arrays/NurevaProtocol.h"
#include "arrays/SennheiserProtocol.h"
#include "arrays/ShureProtocol.h"
#include "arrays/YamahaProtocol.h"

class QTcpSocket;
class QTimer;
class QWebSocket;

// One link to a microphone array: the socket of its brand (TCP for Shure, Sennheiser and
// Yamaha, a WebSocket for Nureva), the bounded connect, the polls in the brand's protocol,
// the silence that means a lost link (a TCP array answers every poll; the WebSocket link
// lives on ping frames), and the reconnect back-off. Bytes in become the protocols' events
// out; what they mean for the camera is the tracker's business.
//
// A link the user opens reports a failure ("Device cannot connect.") and ends; the link made
// at start and a link that was up and got lost are retried after 1, 2, 4, 8, 16 s, then every
// 30 s, while "AutoReconnect" is on, with "Connection Loss." once per loss. An address that
// does not parse ends the attempt quietly. Closing ends every attempt without a word.
//
// Threading: interface thread only: the sockets, the timers and every slot run there.
class ArrayLink : public QObject {
    Q_OBJECT

public:
    enum State { Down = 0, Up = 1, Reconnecting = 2 };

    struct Target {
        int brand = 0;
        QString address;
        int port = 0;
    };

    static constexpr int kConnectTimeoutMs = 5000;
    static constexpr int kReplyTimeoutMs = 5000;
    static constexpr int kPingIntervalMs = 2000;
    static constexpr int kPongTimeoutMs = 6000;
    static constexpr int kPollIntervalMs = 100;
    static constexpr int kYamahaWaitingPollIntervalMs = 1000;
    static constexpr int kReconnectDelaysMs[] = {1000, 2000, 4000, 8000, 16000, 30000};
    static constexpr int kReconnectLogPeriodMs = 30000;

    explicit ArrayLink(QObject* parent = nullptr);
    // Aborts both sockets without reporting anything.
    ~ArrayLink() override;

    void setClock(std::function<qint64()> clock);
    // Off: a lost link ends; a retry under way ends at once.
    void setAutoReconnect(bool on);
    bool autoReconnect() const { return _autoReconnect; }
    // The array chosen (its protocol starts from scratch).
    void setBrand(int brand);

    // Links to `target`. retryOnFailure: the connect at start, which retries until the array
    // answers (the array may boot after the computer); otherwise a failure warns and ends.
    void open(const Target& target, bool retryOnFailure);
    // The user ended the link.
    void close();

    State state() const { return _state; }
    const Target& target() const { return _target; }
    bool isUp() const { return _deviceConnected; }
    // An attempt is under way (its 5 s are running).
    bool isConnecting() const;
    // The user wants the link: it is up, being made or being retried.
    bool isWanted() const { return _wanted; }
    bool isRetrying() const { return _retrying; }
    bool isPolling() const;
    int pollIntervalMs() const;
    bool isYamahaRunning() const { return _yamahaRunning; }
    int reconnectAttemptCount() const { return _reconnectAttempts; }
    // The wait before the next attempt, 0 when none is scheduled.
    int reconnectDelayMs() const;

public slots:
    void slot_ConnectedDevice();
    void slot_DisconnectedDevice();
    void slot_ReceiveFromDevice();
    void slot_ConnectError(QAbstractSocket::SocketError error);
    void slot_ReceiveNurveaMessage(QString message);
    void slot_SoundArrayPolling();
    // The next reconnect attempt (the back-off timer calls it).
    void slot_Reconnect();

signals:
    void signal_Up();
    void signal_Down();
    void signal_StateChanged(int state);  // a State
    // The link is over and nothing will retry it: the page is idle again.
    void signal_Ended();
    void signal_Warning(QString message);
    void signal_ShureEvent(ShureEvent event);
    void signal_SennheiserEvent(SennheiserEvent event);
    void signal_NurevaReport(NurevaReport report);
    void signal_YamahaEvent(YamahaEvent event);

private:
    bool isTcpBrand() const;
    // True when the signal being handled comes from the socket of the brand not linked: a
    // slow close of the previous link must not act on the current one.
    bool isFromOtherLink() const;
    void startAttempt();
    void connectAttemptFailed();
    void setState(State state);
    void scheduleReconnect();
    void stopReconnecting();
    void warnLoss();
    void linkLost();
    void pingDevice();
    bool writeToDevice(std::string_view bytes);
    void resetProtocols();
    void handleYamaha(const YamahaEvent& event);
    qint64 now() const { return _clock(); }

    QTcpSocket* _tcpSocket = nullptr;   // child, "tcpSocket"
    QWebSocket* _webSocket = nullptr;   // child, "nurvea_webSocket"
    QTimer* _pollTimer = nullptr;       // runs while the link is up
    QTimer* _connectTimer = nullptr;    // bounds an attempt; runs only during one
    QTimer* _pingTimer = nullptr;       // the WebSocket link's pings
    QTimer* _reconnectTimer = nullptr;  // single shot: the back-off wait
    std::function<qint64()> _clock;
    Target _target;
    QHostAddress _hostAddress;
    QUrl _webSocketUrl;
    QUuid _requestId;
    State _state = Down;
    bool _autoReconnect = true;
    bool _wanted = false;
    bool _deviceConnected = false;
    bool _yamahaRunning = false;
    bool _shureAutoCoverage = false;  // as the Shure array last reported its mode
    bool _retrying = false;           // the link being attempted retries on failure
    bool _addressUsable = true;       // an address that does not parse is never retried
    bool _lossWarned = false;         // "Connection Loss." was shown for the current loss
    bool _inDisconnect = false;       // slot_DisconnectedDevice runs (a close may re-enter it)
    int _reconnectAttempts = 0;
    qint64 _lastReplyMs = 0;  // when the TCP link last delivered bytes (or came up)
    qint64 _lastPongMs = 0;   // when the WebSocket link last answered a ping (or came up)
    qint64 _lastReconnectLogMs = 0;
    int _suppressedReconnectLogs = 0;

    ShureProtocol _shure;
    SennheiserProtocol _sennheiser;
    YamahaProtocol _yamaha;
};
