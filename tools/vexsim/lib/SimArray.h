#pragma once

// One simulated microphone array of a brand, on a loopback address: answers the
// application's polls in the brand's wire protocol with who talks now (SimArrayReplies),
// pushes what the brand pushes (Yamaha beam notifications once metering runs, Nureva
// audio-location reports once subscribed), and takes the scenario's and the tests' orders:
// a talker, silence, a dropped link, garbage.
//
// Threading: lives on one thread with a Qt event loop (vexsim's main thread, a test's
// thread); every call comes from that thread.

#include <QHostAddress>
#include <QString>
#include <QTimer>

#include <memory>

#include "SimArrayReplies.h"
#include "SimTcpArray.h"
#include "SimWebSocketArray.h"

class SimArray {
public:
    enum class Brand { Shure, Sennheiser, Nureva, Yamaha };

    struct Options {
        Brand brand = Brand::Shure;
        QString model = "MXA910";  // shown in status; "MXA920" may run automatic coverage
        QHostAddress address = QHostAddress::LocalHost;
        int port = 0;               // 0: the brand's port (Nureva: 8931); -1: any free port
        bool autoCoverage = false;  // Shure only
        int channels = 8;           // Shure only
        bool splitWrites = false;   // TCP brands: each reply in two writes
        int pushIntervalMs = 100;   // Nureva: reports while subscribed
    };

    explicit SimArray(Options options);
    ~SimArray();
    SimArray(const SimArray&) = delete;
    SimArray& operator=(const SimArray&) = delete;

    // Starts listening; false with `error` set when the address or port is not available.
    bool listen(QString* error = nullptr);
    int port() const;
    const Options& options() const { return _options; }
    static int defaultPort(Brand brand);
    static bool brandFromName(const QString& name, Brand& brand);
    static QString brandName(Brand brand);

    void setTalker(const SimTalker& talker) { _talker = talker; }
    const SimTalker& talker() const { return _talker; }
    // The connected client is cut off (the array's link drops).
    void dropLink();
    // Sends raw bytes (TCP) or a text message (Nureva) to the connected client.
    void sendRaw(const QByteArray& bytes);
    bool hasClient() const;
    int connections() const;
    // What the application sent: TCP bytes, or the WebSocket text messages joined by "\n".
    QByteArray received() const;

private:
    void pushNureva();

    Options _options;
    SimTalker _talker;
    std::unique_ptr<SimTcpArray> _tcp;
    std::unique_ptr<SimWebSocketArray> _ws;
    QTimer _meterTimer;  // Yamaha notifications while metering
    QTimer _pushTimer;   // Nureva reports while subscribed
    bool _subscribed = false;
};
