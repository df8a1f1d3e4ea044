// The control interface in the main window with simulated cameras: what a client hears and
// what its requests do to the camera, through the camera list and the command worker.

#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>

#include <memory>

#include "CamUSBControlThread.h"
#include "CameraListView.h"
#include "ControlApiBridge.h"
#include "ControlApiServer.h"
#include "FramePump.h"
#include "MainWindow.h"
#include "MediaGenerator.h"
#include "MediaStreamServer.h"
#include "PictureFeed.h"
#include "PTZControlForm.h"
#include "SettingsDocument.h"
#include "SimCameraRig.h"
#include "SoundDeviceSetting.h"
#include "TrackingEngine.h"

namespace {

QString uniqueInstanceName() {
    static int counter = 0;
    return QStringLiteral("vantor-bridge-test-%1-%2").arg(QCoreApplication::applicationPid()).arg(++counter);
}

// A client that keeps replies and events apart.
class Client {
public:
    explicit Client(quint16 port) {
        QObject::connect(&_socket, &QWebSocket::textMessageReceived, [this](const QString& text) {
            const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
            (message.contains(QStringLiteral("event")) ? _events : _replies).append(message);
        });
        QObject::connect(&_socket, &QWebSocket::binaryMessageReceived,
                         [this](const QByteArray& bytes) { _pictures.append(bytes); });
        _socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
    }
    bool waitOpen() {
        return QTest::qWaitFor([this] { return _socket.state() == QAbstractSocket::ConnectedState; }, 5000);
    }
    QJsonObject request(int id, const QString& method, const QJsonObject& params = {}) {
        _socket.sendTextMessage(
            QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("id"), id},
                                                        {QStringLiteral("method"), method},
                                                        {QStringLiteral("params"), params}})
                                  .toJson(QJsonDocument::Compact)));
        QJsonObject found;
        (void)QTest::qWaitFor(
            [&] {
                for (const QJsonObject& r : std::as_const(_replies)) {
                    if (r.value(QStringLiteral("id")).toInt() == id)
                        found = r;
                }
                return !found.isEmpty();
            },
            20000);
        return found;
    }
    // Waits for an event of that name and answers its data (empty when none came).
    QJsonObject event(const QString& name) {
        QJsonObject data;
        (void)QTest::qWaitFor(
            [&] {
                for (int i = 0; i < _events.size(); ++i) {
                    if (_events[i].value(QStringLiteral("event")).toString() == name) {
                        data = _events.takeAt(i).value(QStringLiteral("data")).toObject();
                        return true;
                    }
                }
                return false;
            },
            10000);
        return data;
    }
    int events(const QString& name) const {
        int n = 0;
        for (const QJsonObject& e : _events) n += e.value(QStringLiteral("event")).toString() == name;
        return n;
    }

    const QList<QByteArray>& pictures() const { return _pictures; }
    void close() { _socket.close(); }

private:
    QWebSocket _socket;
    QList<QByteArray> _pictures;
    QList<QJsonObject> _replies;
    QList<QJsonObject> _events;
};

QJsonObject result(const QJsonObject& reply) {
    return reply.value(QStringLiteral("result")).toObject();
}

int errorCode(const QJsonObject& reply) {
    return reply.value(QStringLiteral("error")).toObject().value(QStringLiteral("code")).toInt();
}

}  // namespace

class tst_ControlApiBridge : public QObject {
    Q_OBJECT

private slots:
    void init() {
        _dir = std::make_unique<QTemporaryDir>();
        QVERIFY(_dir->isValid());
        qputenv("ALLUSERSPROFILE", _dir->path().toLocal8Bit());
        _rig = std::make_unique<SimCameraRig>();
    }
    void cleanup() {
        _rig.reset();
        _dir.reset();
    }

    void requestsReachTheCameraAndChangesAreHeard() {
        MainWindow window(nullptr, uniqueInstanceName());
        ControlApiSettings settings;
        settings.enabled = true;
        settings.port = 0;
        QVERIFY(window.controlApiServer()->apply(settings));
        Client client(window.controlApiServer()->serverPort());
        QVERIFY(client.waitOpen());
        const QString location = QString::fromStdString(SimCameraRig::location(_camera));

        // Before the worker runs, no command can reach a camera.
        QCOMPARE(errorCode(client.request(1, QStringLiteral("preset.call"), {{QStringLiteral("preset"), 1}})),
                 1);

        _rig->plug(_camera);
        CameraListView* list = window.cameraListPage();
        QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 1, 10000);
        const QJsonArray cameras =
            client.event(QStringLiteral("cameras")).value(QStringLiteral("cameras")).toArray();
        QCOMPARE(cameras.size(), 1);
        QCOMPARE(cameras.at(0).toObject().value(QStringLiteral("location")).toString(), location);
        QCOMPARE(cameras.at(0).toObject().value(QStringLiteral("connected")).toBool(), false);
        QTRY_VERIFY_WITH_TIMEOUT(window.commandWorker() && window.commandWorker()->isRunning(), 5000);

        // Connected by its location in any case, once: a second connect changes nothing.
        QJsonObject reply = client.request(2, QStringLiteral("camera.connect"),
                                           {{QStringLiteral("location"), location.toUpper()}});
        QCOMPARE(result(reply).value(QStringLiteral("connected")).toString(), location);
        QCOMPARE(client.event(QStringLiteral("camera")).value(QStringLiteral("connected")).toString(),
                 location);
        QVERIFY(list->currentReceiver());
        DC_Recv* receiver = list->currentReceiver();
        QVERIFY(result(client.request(3, QStringLiteral("camera.connect"),
                                      {{QStringLiteral("location"), location}}))
                    .contains(QStringLiteral("connected")));
        QCOMPARE(list->currentReceiver(), receiver);
        const QJsonObject state = result(client.request(4, QStringLiteral("state")));
        QCOMPARE(state.value(QStringLiteral("connected")).toString(), location);
        QCOMPARE(state.value(QStringLiteral("cameras"))
                     .toArray()
                     .at(0)
                     .toObject()
                     .value(QStringLiteral("connected")),
                 QJsonValue(true));
        QVERIFY(state.value(QStringLiteral("lastPreset")).isNull());

        // A preset call reaches the camera through the worker and is heard as called by the API.
        QVERIFY(result(client.request(5, QStringLiteral("preset.call"), {{QStringLiteral("preset"), 3}}))
                    .isEmpty());
        const auto presetWrites = [this] {
            const auto writes = _rig->writes(_camera);
            return std::count(writes.begin(), writes.end(), std::make_pair(uint16_t(0x1D), uint16_t(3)));
        };
        QTRY_COMPARE_WITH_TIMEOUT(presetWrites(), 1, 5000);
        const QJsonObject preset = client.event(QStringLiteral("preset"));
        QCOMPARE(preset.value(QStringLiteral("lastPreset")).toInt(), 3);
        QCOMPARE(preset.value(QStringLiteral("by")).toString(), QStringLiteral("api"));
        QCOMPARE(
            result(client.request(6, QStringLiteral("state"))).value(QStringLiteral("lastPreset")).toInt(),
            3);

        // A timed move: the camera hears the start and, when the time is up, the stop.
        const size_t before = _rig->writes(_camera).size();
        QVERIFY(result(client.request(7, QStringLiteral("ptz.move"),
                                      {{QStringLiteral("direction"), QStringLiteral("right")},
                                       {QStringLiteral("ms"), 50}}))
                    .isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(_rig->writes(_camera).size() >= before + 2, 5000);
        const auto writes = _rig->writes(_camera);
        QCOMPARE(writes[before].first, writes.back().first);
        QVERIFY(writes[before].second != writes.back().second);

        // Disconnected: heard once, and camera commands are refused.
        QCOMPARE(
            result(client.request(8, QStringLiteral("camera.disconnect"))).value(QStringLiteral("connected")),
            QJsonValue(QJsonValue::Null));
        QVERIFY(client.event(QStringLiteral("camera")).value(QStringLiteral("connected")).isNull());
        QVERIFY(!list->currentReceiver());
        QCOMPARE(errorCode(client.request(9, QStringLiteral("zoom"),
                                          {{QStringLiteral("action"), QStringLiteral("in")}})),
                 1);
        QCOMPARE(errorCode(client.request(10, QStringLiteral("camera.disconnect"),
                                          {{QStringLiteral("location"), QStringLiteral("9&9&9&0000")}})),
                 2);
        QCOMPARE(client.events(QStringLiteral("camera")), 0);

        // Unplugged: the list is heard empty.
        QVERIFY(_rig->sim().waitForWatchers(1, 5000));
        _rig->unplug(_camera, true);
        QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 0, 5000);
        QVERIFY(client.event(QStringLiteral("cameras")).value(QStringLiteral("cameras")).toArray().isEmpty());
    }

    void trackingSwitchPauseAndTheOperatorsHold() {
        _rig->plug(_camera);
        MainWindow window(nullptr, uniqueInstanceName());
        ControlApiSettings settings;
        settings.enabled = true;
        settings.port = 0;
        QVERIFY(window.controlApiServer()->apply(settings));
        Client client(window.controlApiServer()->serverPort());
        QVERIFY(client.waitOpen());
        SoundDeviceSetting* page = window.soundDevicePage();
        QTRY_COMPARE_WITH_TIMEOUT(window.cameraListPage()->rowCount(), 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(window.commandWorker(), 5000);
        QVERIFY(client
                    .request(1, QStringLiteral("camera.connect"),
                             {{QStringLiteral("location"),
                               QString::fromStdString(SimCameraRig::location(_camera))}})
                    .contains(QStringLiteral("result")));

        // The switch: the page follows, and the clients hear it once.
        QCOMPARE(result(client.request(2, QStringLiteral("tracking.set"), {{QStringLiteral("on"), false}})),
                 (QJsonObject{{QStringLiteral("tracking"), QStringLiteral("off")}}));
        QVERIFY(!page->isTrackingEnabled());
        QCOMPARE(client.event(QStringLiteral("tracking")).value(QStringLiteral("tracking")).toString(),
                 QStringLiteral("off"));
        QVERIFY(result(client.request(3, QStringLiteral("tracking.set"), {{QStringLiteral("on"), true}}))
                    .contains(QStringLiteral("tracking")));
        QVERIFY(page->isTrackingEnabled());

        // A long pause asked for is not cut short by the operator's hold of a later command;
        // 0 ends it.
        QCOMPARE(
            result(client.request(4, QStringLiteral("tracking.pause"), {{QStringLiteral("seconds"), 600}}))
                .value(QStringLiteral("tracking"))
                .toString(),
            QStringLiteral("paused"));
        QVERIFY(page->trackingPauseRemainingMs() > 590000);
        // The page counts the pause down from what state and the event say is left.
        const int left =
            result(client.request(40, QStringLiteral("state"))).value(QStringLiteral("pauseSeconds")).toInt();
        QVERIFY2(left > 590 && left <= 600, QByteArray::number(left).constData());
        QVERIFY(
            client.event(QStringLiteral("tracking")).value(QStringLiteral("pauseSeconds")).isNull());  // "on"
        const QJsonObject paused = client.event(QStringLiteral("tracking"));
        QCOMPARE(paused.value(QStringLiteral("tracking")).toString(), QStringLiteral("paused"));
        QVERIFY(paused.value(QStringLiteral("pauseSeconds")).toInt() > 590);
        QVERIFY(client.request(5, QStringLiteral("preset.call"), {{QStringLiteral("preset"), 2}})
                    .contains(QStringLiteral("result")));
        QCOMPARE(client.event(QStringLiteral("preset")).value(QStringLiteral("by")).toString(),
                 QStringLiteral("api"));
        QVERIFY(page->trackingPauseRemainingMs() > 590000);
        QCOMPARE(result(client.request(6, QStringLiteral("tracking.pause"), {{QStringLiteral("seconds"), 0}}))
                     .value(QStringLiteral("tracking"))
                     .toString(),
                 QStringLiteral("on"));
        QVERIFY(result(client.request(41, QStringLiteral("state")))
                    .value(QStringLiteral("pauseSeconds"))
                    .isNull());

        // The position lights: heard as they change (once), and in state; positions that are
        // none are ignored.
        TrackingEngine* engine = window.trackingEngine();
        emit engine->signal_Light(3, true);
        emit engine->signal_Light(3, true);
        emit engine->signal_Light(9, true);
        emit engine->signal_Light(0, true);
        emit engine->signal_Light(8, true);
        QCOMPARE(client.event(QStringLiteral("lights")).value(QStringLiteral("lights")).toArray(),
                 (QJsonArray{3}));
        QCOMPARE(client.event(QStringLiteral("lights")).value(QStringLiteral("lights")).toArray(),
                 (QJsonArray{3, 8}));
        emit engine->signal_Light(3, false);
        QCOMPARE(client.event(QStringLiteral("lights")).value(QStringLiteral("lights")).toArray(),
                 (QJsonArray{8}));
        QCOMPARE(
            result(client.request(42, QStringLiteral("state"))).value(QStringLiteral("lights")).toArray(),
            (QJsonArray{8}));
        QCOMPARE(client.events(QStringLiteral("lights")), 0);

        // A preset the panel sends is heard as the panel's.
        window.slot_PTZControlClicked(true, QJsonObject{});
        QVERIFY(window.ptzControlForm());
        emit window.ptzControlForm()->signal_AddUSBCommand(
            CameraCommand::preset(4, CameraCommand::Origin::Panel));
        const QJsonObject panelPreset = client.event(QStringLiteral("preset"));
        QCOMPARE(panelPreset.value(QStringLiteral("by")).toString(), QStringLiteral("panel"));
        QCOMPARE(panelPreset.value(QStringLiteral("lastPreset")).toInt(), 4);
        // It named no camera: it went to the default one, and the event says which.
        QCOMPARE(panelPreset.value(QStringLiteral("camera")).toString(),
                 QString::fromStdString(SimCameraRig::location(_camera)));
        window.ptzControlForm()->slot_CloseButtonClicked();
        QVERIFY(result(client.request(9, QStringLiteral("tracking.pause"), {{QStringLiteral("seconds"), 0}}))
                    .contains(QStringLiteral("tracking")));

        // Without a pause, a camera command holds tracking off for the manual-override time.
        if (page->manualOverrideTimeMs() > 0) {
            QVERIFY(client
                        .request(7, QStringLiteral("ptz.move"),
                                 {{QStringLiteral("direction"), QStringLiteral("home")}})
                        .contains(QStringLiteral("result")));
            QVERIFY(page->trackingPauseRemainingMs() > 0);
            QCOMPARE(result(client.request(8, QStringLiteral("state")))
                         .value(QStringLiteral("tracking"))
                         .toString(),
                     QStringLiteral("paused"));
        }
    }

    void decisionsAreHeardAndListedNewestFirst() {
        MainWindow window(nullptr, uniqueInstanceName());
        ControlApiSettings settings;
        settings.enabled = true;
        settings.port = 0;
        QVERIFY(window.controlApiServer()->apply(settings));
        Client client(window.controlApiServer()->serverPort());
        QVERIFY(client.waitOpen());
        QCOMPARE(result(client.request(1, QStringLiteral("tracking.log"))),
                 (QJsonObject{{QStringLiteral("decisions"), QJsonArray{}}}));

        // Without a camera a return home goes nowhere: the clients hear why, with the shape
        // every decision has.
        window.trackingEngine()->returnHomeNow();
        const QJsonObject decision = client.event(QStringLiteral("decision"));
        QCOMPARE(decision.value(QStringLiteral("action")).toString(), QStringLiteral("dropped"));
        QCOMPARE(decision.value(QStringLiteral("reason")).toString(), QStringLiteral("no camera"));
        for (const char* key :
             {"time", "action", "position", "preset", "camera", "reason", "talkingMs", "level"})
            QVERIFY2(decision.contains(QLatin1String(key)), key);
        QVERIFY(decision.value(QStringLiteral("time")).toDouble() > 1.6e12);
        QVERIFY(decision.value(QStringLiteral("position")).isNull());
        QVERIFY(decision.value(QStringLiteral("camera")).isNull());

        // Newest first, as many as asked for; a count that is no whole number of 1-500 is
        // refused.
        window.trackingEngine()->setTrackingEnabled(false);
        window.trackingEngine()->returnHomeNow();
        QCOMPARE(client.event(QStringLiteral("decision")).value(QStringLiteral("reason")).toString(),
                 QStringLiteral("tracking off"));
        const QJsonArray all = result(client.request(2, QStringLiteral("tracking.log")))
                                   .value(QStringLiteral("decisions"))
                                   .toArray();
        QCOMPARE(all.size(), 2);
        QCOMPARE(all.at(0).toObject().value(QStringLiteral("reason")).toString(),
                 QStringLiteral("tracking off"));
        QCOMPARE(all.at(1).toObject(), decision);
        const QJsonArray one =
            result(client.request(3, QStringLiteral("tracking.log"), {{QStringLiteral("count"), 1}}))
                .value(QStringLiteral("decisions"))
                .toArray();
        QCOMPARE(one.size(), 1);
        for (const QJsonValue& bad :
             {QJsonValue(0), QJsonValue(501), QJsonValue(1.5), QJsonValue(QStringLiteral("1"))})
            QCOMPARE(errorCode(
                         client.request(4, QStringLiteral("tracking.log"), {{QStringLiteral("count"), bad}})),
                     -32602);
    }

    // "SeveralCameras": the clients see every connected camera, name the one a command is
    // for, and without a name steer the panel's camera, which "connected" reports.
    void severalCamerasAreListedAndNamed() {
        SimCameraRig::CameraSpec second;
        second.busPort = "1&3";
        second.pid = "600e";
        _rig->plug(_camera);
        _rig->plug(second);
        const QString locA = QString::fromStdString(SimCameraRig::location(_camera));
        const QString locB = QString::fromStdString(SimCameraRig::location(second));
        QVERIFY(QDir().mkpath(SettingsDocument::configDir()));
        SettingsDocument::write(SettingsDocument::configFile(SettingsDocument::configDir()),
                                QJsonObject{{QStringLiteral("SeveralCameras"), true}});

        MainWindow window(nullptr, uniqueInstanceName());
        ControlApiSettings settings;
        settings.enabled = true;
        settings.port = 0;
        QVERIFY(window.controlApiServer()->apply(settings));
        Client client(window.controlApiServer()->serverPort());
        QVERIFY(client.waitOpen());
        CameraListView* list = window.cameraListPage();
        QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 2, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(window.commandWorker() && window.commandWorker()->isRunning(), 5000);
        int id = 0;
        for (const QString& location : {locA, locB})
            QVERIFY(
                client
                    .request(++id, QStringLiteral("camera.connect"), {{QStringLiteral("location"), location}})
                    .contains(QStringLiteral("result")));
        QCOMPARE(list->connectedLocations(), (QStringList{locA, locB}));

        // Both listed in connect order; before the panel has a camera the default one is
        // steered. The second connect was heard with the list.
        (void)client.event(QStringLiteral("camera"));
        const QJsonObject heard = client.event(QStringLiteral("camera"));
        QCOMPARE(heard.value(QStringLiteral("connected")).toString(), locA);
        const QJsonObject state = result(client.request(++id, QStringLiteral("state")));
        QCOMPARE(state.value(QStringLiteral("connectedCameras")),
                 heard.value(QStringLiteral("connectedCameras")));
        const QJsonArray cameras = state.value(QStringLiteral("connectedCameras")).toArray();
        QCOMPARE(cameras.size(), 2);
        const QJsonObject first = cameras.at(0).toObject();
        const QJsonObject other = cameras.at(1).toObject();
        QCOMPARE(first.value(QStringLiteral("location")).toString(), locA);
        QCOMPARE(other.value(QStringLiteral("location")).toString(), locB);
        QCOMPARE(first.value(QStringLiteral("default")), QJsonValue(true));
        QCOMPARE(other.value(QStringLiteral("default")), QJsonValue(false));
        QCOMPARE(first.value(QStringLiteral("steered")), QJsonValue(true));
        QCOMPARE(other.value(QStringLiteral("steered")), QJsonValue(false));
        QVERIFY(other.value(QStringLiteral("shortName")).isString());
        QCOMPARE(other.value(QStringLiteral("model")).toString(),
                 CameraListView::displayModelName(
                     list->cameraData(locB).value(QStringLiteral("ModelName")).toString()));
        for (const QJsonValue& row : state.value(QStringLiteral("cameras")).toArray())
            QCOMPARE(row.toObject().value(QStringLiteral("connected")), QJsonValue(true));

        const auto wrote = [this](const SimCameraRig::CameraSpec& camera, uint16_t preset) {
            const auto writes = _rig->writes(camera);
            return std::count(writes.begin(), writes.end(), std::make_pair(uint16_t(0x1D), preset));
        };
        // Named (in another case): that camera alone, and the event names it.
        QVERIFY(result(client.request(
                           ++id, QStringLiteral("preset.call"),
                           {{QStringLiteral("preset"), 3}, {QStringLiteral("camera"), locB.toUpper()}}))
                    .isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(wrote(second, 3), 1, 5000);
        QCOMPARE(client.event(QStringLiteral("preset")).value(QStringLiteral("camera")).toString(), locB);
        QCOMPARE(wrote(_camera, 3), 0);
        const QJsonObject unknown =
            client.request(++id, QStringLiteral("ptz.move"),
                           {{QStringLiteral("direction"), QStringLiteral("home")},
                            {QStringLiteral("camera"), QStringLiteral("9&9&9&0000")}});
        QCOMPARE(errorCode(unknown), 1);

        // The panel opens on the camera connected last: it is steered now, and a command naming
        // no camera goes there.
        window.slot_PTZControlClicked(true, QJsonObject{});
        QCOMPARE(window.ptzControlForm()->cameraLocation(), locB);
        const QJsonObject steered = client.event(QStringLiteral("camera"));
        QCOMPARE(steered.value(QStringLiteral("connected")).toString(), locB);
        QCOMPARE(steered.value(QStringLiteral("connectedCameras"))
                     .toArray()
                     .at(1)
                     .toObject()
                     .value(QStringLiteral("steered")),
                 QJsonValue(true));
        QCOMPARE(result(client.request(++id, QStringLiteral("state")))
                     .value(QStringLiteral("connected"))
                     .toString(),
                 locB);
        QVERIFY(result(client.request(++id, QStringLiteral("preset.call"), {{QStringLiteral("preset"), 4}}))
                    .isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(wrote(second, 4), 1, 5000);
        QCOMPARE(client.event(QStringLiteral("preset")).value(QStringLiteral("camera")).toString(), locB);
        QCOMPARE(wrote(_camera, 4), 0);

        // The named camera goes, though it is not the default one; the panel, and with it
        // "connected", moves to the one left.
        QVERIFY(
            client.request(++id, QStringLiteral("camera.disconnect"), {{QStringLiteral("location"), locB}})
                .contains(QStringLiteral("result")));
        QCOMPARE(list->connectedLocations(), QStringList{locA});
        const QJsonObject left = client.event(QStringLiteral("camera"));
        QCOMPARE(left.value(QStringLiteral("connected")).toString(), locA);
        QCOMPARE(left.value(QStringLiteral("connectedCameras")).toArray().size(), 1);
        QCOMPARE(result(client.request(++id, QStringLiteral("state")))
                     .value(QStringLiteral("connected"))
                     .toString(),
                 locA);
        window.ptzControlForm()->slot_CloseButtonClicked();
    }

    // A camera unplugged while connected and plugged back: awaited meanwhile (the state says
    // so), connected again on its return, and a preset reaches it again. The saved switch is
    // followed from the start; switched off in the timing dialog, nothing is awaited; a camera
    // disconnected by hand while it is away is awaited no more.
    void aCameraBackFromAnUnplugTakesCommandsAgain() {
        SimCameraRig::CameraSpec camera;
        camera.serial = "VX100001";
        _rig->plug(camera);
        const QString location = QString::fromStdString(SimCameraRig::location(camera));
        QVERIFY(QDir().mkpath(SettingsDocument::configDir()));
        SettingsDocument::write(SettingsDocument::configFile(SettingsDocument::configDir()),
                                QJsonObject{{QStringLiteral("AutoReconnect"), false}});
        MainWindow window(nullptr, uniqueInstanceName());
        CameraListView* list = window.cameraListPage();
        QVERIFY(!list->autoReconnect());
        window.soundDevicePage()->slot_AutoReconnectChange(true);
        QVERIFY(list->autoReconnect());
        ControlApiSettings settings;
        settings.enabled = true;
        settings.port = 0;
        QVERIFY(window.controlApiServer()->apply(settings));
        Client client(window.controlApiServer()->serverPort());
        QVERIFY(client.waitOpen());
        QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(window.commandWorker() && window.commandWorker()->isRunning(), 5000);
        QVERIFY(_rig->sim().waitForWatchers(1, 5000));
        int id = 0;
        QVERIFY(result(client.request(++id, QStringLiteral("camera.connect"),
                                      {{QStringLiteral("location"), location}}))
                    .contains(QStringLiteral("connected")));

        _rig->unplug(camera, true);
        QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 0, 5000);
        const QJsonArray awaited =
            result(client.request(++id, QStringLiteral("state"))).value(QStringLiteral("awaited")).toArray();
        QCOMPARE(awaited.size(), 1);
        QCOMPARE(awaited.at(0).toObject(),
                 (QJsonObject{{QStringLiteral("location"), location},
                              {QStringLiteral("serial"), QStringLiteral("VX100001")},
                              {QStringLiteral("model"), QStringLiteral("ZM-150")}}));
        _rig->plug(camera, true);
        QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(list->currentReceiver() != nullptr, 2000);
        QVERIFY(result(client.request(++id, QStringLiteral("state")))
                    .value(QStringLiteral("awaited"))
                    .toArray()
                    .isEmpty());
        QVERIFY(result(client.request(++id, QStringLiteral("preset.call"), {{QStringLiteral("preset"), 3}}))
                    .isEmpty());
        const auto presetWrites = [&] {
            const auto writes = _rig->writes(camera);
            return std::count(writes.begin(), writes.end(), std::make_pair(uint16_t(0x1D), uint16_t(3)));
        };
        QTRY_COMPARE_WITH_TIMEOUT(presetWrites(), 1, 5000);

        // Disconnected by hand (by the control interface) while it is away.
        _rig->unplug(camera, true);
        QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 0, 5000);
        QCOMPARE(list->awaitedCameras().size(), 1);
        QVERIFY(
            client
                .request(++id, QStringLiteral("camera.disconnect"), {{QStringLiteral("location"), location}})
                .contains(QStringLiteral("result")));
        QVERIFY(list->awaitedCameras().isEmpty());
        _rig->plug(camera, true);
        QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 1, 10000);
        QVERIFY(!list->currentReceiver());

        // Switched off in the timing dialog: the list follows.
        window.soundDevicePage()->slot_AutoReconnectChange(false);
        QVERIFY(!list->autoReconnect());
    }

    // The live picture of a camera that streams 1280x720 MJPEG: JPEGs at most as wide as
    // asked, which change; a stop ends them and lets go of the camera's stream, and so does a
    // client that goes away.
    void picturesOfTheSteeredCamera() {
        MediaRecipe recipe;
        recipe.video = MediaVideo::MJPEG;
        recipe.container = "mjpeg";
        recipe.width = 1280;
        recipe.height = 720;
        recipe.frames = 30;
        auto clip = std::make_shared<MediaClip>(recipe);
        QVERIFY(clip->ok());
        MediaStreamServer::Options options;
        options.loop = true;
        MediaStreamServer stream(clip, options);
        QVERIFY(stream.ok());
        SimCameraRig::CameraSpec camera;
        SimServer::Capability mjpeg = SimCameraRig::capability("MJPG", 1280, 720, 30.0);
        mjpeg.inputUrl = stream.url();
        camera.capabilities = {mjpeg};
        _rig->plug(camera);

        MainWindow window(nullptr, uniqueInstanceName());
        ControlApiSettings settings;
        settings.enabled = true;
        settings.port = 0;
        QVERIFY(window.controlApiServer()->apply(settings));
        CameraListView* list = window.cameraListPage();
        QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(window.commandWorker() && window.commandWorker()->isRunning(), 5000);
        const QString location = QString::fromStdString(SimCameraRig::location(camera));
        Client client(window.controlApiServer()->serverPort());
        QVERIFY(client.waitOpen());
        QVERIFY(result(client.request(1, QStringLiteral("camera.connect"),
                                      {{QStringLiteral("location"), location}}))
                    .contains(QStringLiteral("connected")));
        FramePump* pump = window.framePump(location);
        QVERIFY(pump);
        QCOMPARE(pump->consumerCount(), 0);

        const QJsonObject started =
            result(client.request(2, QStringLiteral("picture.start"), {{QStringLiteral("width"), 320}}));
        QCOMPARE(started.value(QStringLiteral("camera")).toString(), location);
        QVERIFY(window.controlApiBridge()->pictureFeed(location));
        QCOMPARE(pump->consumerCount(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(client.pictures().size() >= 5, 15000);
        bool changed = false;
        for (const QByteArray& jpeg : client.pictures()) {
            QVERIFY(jpeg.startsWith("\xff\xd8"));
            QImage image;
            QVERIFY(image.loadFromData(jpeg, "JPEG"));
            QCOMPARE(image.size(), QSize(320, 180));
            changed = changed || jpeg != client.pictures().first();
        }
        QVERIFY(changed);

        // Stopped: no feed, no consumer, and nothing more after the stop's reply.
        QVERIFY(client.request(3, QStringLiteral("picture.stop")).contains(QStringLiteral("result")));
        const qsizetype afterStop = client.pictures().size();
        QVERIFY(!window.controlApiBridge()->pictureFeed(location));
        QCOMPARE(pump->consumerCount(), 0);
        // With no feed nothing can make a picture; a round trip shows none was on its way.
        QVERIFY(client.request(4, QStringLiteral("state")).contains(QStringLiteral("result")));
        QCOMPARE(client.pictures().size(), afterStop);

        // Started again, then the client goes: the feed goes with it.
        QVERIFY(client.request(5, QStringLiteral("picture.start")).contains(QStringLiteral("result")));
        QCOMPARE(pump->consumerCount(), 1);
        client.close();
        QTRY_VERIFY_WITH_TIMEOUT(!window.controlApiBridge()->pictureFeed(location), 5000);
        QCOMPARE(pump->consumerCount(), 0);
    }

private:
    std::unique_ptr<QTemporaryDir> _dir;
    std::unique_ptr<SimCameraRig> _rig;
    SimCameraRig::CameraSpec _camera;
};

QTEST_MAIN(tst_ControlApiBridge)
#include "tst_ControlApiBridge.moc"
