#include "SimWorld.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEvent>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>

#include "SimMarker.h"

using kxjson::Json;

namespace {

Json failure(const std::string& text) {
    return Json{{"ok", false}, {"error", text}};
}

std::string hexRegister(uint16_t reg) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", reg);
    return text;
}

bool parseHexData(const std::string& data, uint16_t& first, uint16_t& second) {
    if (data.size() != 8)
        return false;
    unsigned b[4];
    for (int i = 0; i < 4; ++i) {
        char* end = nullptr;
        const std::string byte = data.substr(static_cast<size_t>(2 * i), 2);
        b[i] = static_cast<unsigned>(std::strtoul(byte.c_str(), &end, 16));
        if (end == nullptr || *end != '\0')
            return false;
    }
    first = static_cast<uint16_t>(b[0] | (b[1] << 8));
    second = static_cast<uint16_t>(b[2] | (b[3] << 8));
    return true;
}

Json viewJson(const SimView& v) {
    return Json{{"pan", v.panDeg},    {"tilt", v.tiltDeg}, {"zoom", v.zoom},    {"focus", v.focus},
                {"mirror", v.mirror}, {"flip", v.flip},    {"moving", v.moving}};
}

std::optional<double> numberMember(const Json& o, const char* key) {
    const Json* m = kxjson::member(o, key);
    if (m == nullptr || !m->is_number())
        return std::nullopt;
    return m->get<double>();
}

}  // namespace

SimControlInbox::SimControlInbox(Handler handler, Json refusal)
    : _handler(std::move(handler)), _refusal(std::move(refusal)) {}

Json SimControlInbox::call(const Json& request) {
    auto pending = std::make_shared<Pending>();
    pending->request = request;
    std::unique_lock<std::mutex> lock(_mutex);
    if (_closed)
        return _refusal;
    _queue.push_back(pending);
    // postEvent is thread-safe; the event carries nothing but the wake-up.
    QCoreApplication::postEvent(this, new QEvent(QEvent::User));
    _answered.wait(lock, [&] { return pending->done || _closed; });
    return pending->done ? pending->answer : _refusal;
}

void SimControlInbox::close() {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _closed = true;
        _queue.clear();
    }
    _answered.notify_all();
}

size_t SimControlInbox::pendingCount() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _queue.size();
}

void SimControlInbox::customEvent(QEvent*) {
    for (;;) {
        std::shared_ptr<Pending> pending;
        {
            std::lock_guard<std::mutex> lock(_mutex);
            if (_closed || _queue.empty())
                return;
            pending = std::move(_queue.front());
            _queue.pop_front();
        }
        // Run without the lock: an operation may take a while (a plug announces itself to
        // the server, which takes its own lock) and callers keep queueing meanwhile.
        Json answer = _handler(pending->request);
        {
            std::lock_guard<std::mutex> lock(_mutex);
            pending->answer = std::move(answer);
            pending->done = true;
        }
        _answered.notify_all();
    }
}

std::string SimWorld::devicePathOf(const SimScenario::Camera& camera) {
    return SimServer::devicePathFor(camera.vid, camera.pid, SimServer::locationFor(camera.busPort, 0));
}

SimWorld::SimWorld(const SimScenario& scenario, const std::string& socketPath)
    : SimWorld(scenario, socketPath, Options{}) {}

SimWorld::SimWorld(const SimScenario& scenario, const std::string& socketPath, const Options& options) {
    // The server listens under a private name until everything is set up; then the socket
    // appears at its path, so a client that sees it finds cameras, arrays and controls ready.
    try {
        _server = std::make_unique<SimServer>(socketPath + ".starting");
    } catch (const std::exception& e) {
        _error = e.what();
        return;
    }
    if (options.liveStreams)
        for (const SimScenario::Camera& setup : scenario.cameras)
            if (_pictures.count(setup.room) == 0)
                _pictures[setup.room] = std::make_shared<SimPicture>(10, setup.room);

    for (const SimScenario::Camera& setup : scenario.cameras) {
        CameraEntry entry;
        entry.setup = setup;
        entry.devicePath = devicePathOf(setup);
        entry.viewPath = std::make_shared<ViewPath>(entry.devicePath);
        std::shared_ptr<ViewPath> path = entry.viewPath;
        SimServer* server = _server.get();
        for (const SimScenario::Capability& cap : setup.capabilities) {
            if (!options.liveStreams)
                break;
            SimVideoServer::Options o;
            o.codec = cap.subtype == "H264" ? "h264" : "mjpeg";
            o.width = cap.width;
            o.height = cap.height;
            o.fps = cap.fps;
            o.port = cap.port;
            o.startDelayMs = cap.startDelayMs;
            // The camera's place in the scenario, so readers of a switched picture tell them apart.
            o.markerCamera = static_cast<int>(_cameras.size()) % (simmarker::kMaxCamera + 1);
            auto stream = std::make_unique<SimVideoServer>(
                _pictures.at(setup.room), [server, path](SimView& view) { return server->view(path->get(), view); },
                o);
            if (!stream->ok()) {
                _error = "camera " + setup.id + ": " + stream->error();
                return;
            }
            stream->setEnabled(false);
            entry.streams.push_back(std::move(stream));
        }
        _cameras.push_back(std::move(entry));
    }
    for (const SimScenario::Array& a : scenario.arrays) {
        SimArray::Options o;
        SimArray::brandFromName(QString::fromStdString(a.brand), o.brand);
        o.model = QString::fromStdString(a.model);
        o.address = QHostAddress(QString::fromStdString(a.address));
        o.port = a.port;
        o.autoCoverage = a.autoCoverage;
        o.splitWrites = a.splitWrites;
        o.channels = a.channels;
        if (o.address.isNull()) {
            _error = "array " + a.id + ": \"" + a.address + "\" is not an IP address";
            return;
        }
        auto array = std::make_unique<SimArray>(o);
        QString why;
        if (!array->listen(&why)) {
            _error = why.toStdString();
            if (o.port == 0 && o.brand == SimArray::Brand::Sennheiser)
                _error += " (port 45 needs root or CAP_NET_BIND_SERVICE)";
            return;
        }
        _arrays.emplace_back(a.id, std::move(array));
    }
    for (CameraEntry& c : _cameras)
        if (c.setup.plugged)
            plug(c, false);
    _timeline = scenario.timeline;
    _loopMs = scenario.loopMs;

    _timelineTimer.setSingleShot(true);
    QObject::connect(&_timelineTimer, &QTimer::timeout, &_context, [this] { runTimelineFrom(_nextEvent); });

    _inbox = std::make_unique<SimControlInbox>([this](const Json& request) { return control(request); },
                                               failure("shutting down"));
    _server->setControlHandler([inbox = _inbox.get()](const Json& request) { return inbox->call(request); });
    std::string why;
    if (!_server->publishAs(socketPath, why))
        _error = why;
}

SimWorld::~SimWorld() {
    if (_inbox)
        _inbox->close();
    _timelineTimer.stop();
    _arrays.clear();
    for (CameraEntry& c : _cameras) c.streams.clear();
    _server.reset();
}

const std::string& SimWorld::socketPath() const {
    static const std::string none;
    return _server ? _server->socketPath() : none;
}

SimArray* SimWorld::array(const std::string& id) {
    for (auto& [name, a] : _arrays)
        if (name == id)
            return a.get();
    return nullptr;
}

SimVideoServer* SimWorld::stream(const std::string& cameraId, size_t index) {
    for (CameraEntry& c : _cameras)
        if (c.setup.id == cameraId && index < c.streams.size())
            return c.streams[index].get();
    return nullptr;
}

void SimWorld::plug(CameraEntry& c, bool announce) {
    if (c.plugged)
        return;
    const SimScenario::Camera& s = c.setup;
    SimServer::Camera camera;
    camera.friendlyName = s.friendlyName;
    camera.devicePath = c.devicePath;
    if (!s.extensionUnit)
        camera.interfaces = {"camera_control", "video_processing"};
    for (size_t i = 0; i < s.firmware.size(); ++i)
        camera.registers[static_cast<uint16_t>(0x80 + i)] = static_cast<uint8_t>(s.firmware[i]);
    for (size_t i = 0; i < s.modelName.size(); ++i)
        camera.registers[static_cast<uint16_t>(0x1A8 + i)] = static_cast<uint8_t>(s.modelName[i]);
    for (size_t i = 0; i < s.capabilities.size(); ++i) {
        const SimScenario::Capability& cap = s.capabilities[i];
        SimServer::Capability out;
        out.subtype = cap.subtype;
        out.width = cap.width;
        out.height = cap.height;
        out.minInterval = 10000000 / (cap.rates.empty() ? cap.fps : cap.rates.front());
        out.maxInterval = 10000000 / (cap.rates.empty() ? cap.fps : cap.rates.back());
        out.inputFormat = cap.subtype == "H264" ? "h264" : "mjpeg";
        out.inputUrl = i < c.streams.size() ? c.streams[i]->url() : std::string();
        camera.capabilities.push_back(out);
    }
    for (auto& stream : c.streams) stream->setEnabled(true);
    _server->addUsbDevice(SimServer::usbDeviceEntry(s.vid, s.pid, s.busPort, s.serial));
    _server->addUsbDevice(SimServer::usbInterfaceEntry(s.vid, s.pid, s.busPort, 0, s.friendlyName));
    // Arrival is announced only once the camera is listed (addCamera lists, then announces).
    _server->addCamera(camera, announce);
    if (!c.configured) {
        _server->withCamera(c.devicePath, [&s](SimCamera& model, double nowMs) {
            model.place(s.start.panDeg, s.start.tiltDeg, s.start.zoom, nowMs);
            for (const auto& [number, place] : s.presets)
                model.storePreset(static_cast<uint16_t>(number), place.panDeg, place.tiltDeg, place.zoom);
        });
        c.configured = true;
    }
    c.plugged = true;
}

bool SimWorld::plugAt(CameraEntry& c, const std::string& busPort, std::string& error) {
    if (busPort == c.setup.busPort)
        return true;
    const size_t amp = busPort.find('&');
    const bool wellFormed = busPort.size() <= 32 && amp != std::string::npos && amp > 0 &&
                            amp + 1 < busPort.size() && busPort.find('&', amp + 1) == std::string::npos &&
                            std::all_of(busPort.begin(), busPort.end(), [](char ch) {
                                return std::isdigit(static_cast<unsigned char>(ch)) || ch == '&' || ch == '.';
                            });
    if (!wellFormed) {
        error = "\"bus_port\" must look like \"1&2.4\" (bus & port path)";
        return false;
    }
    if (c.plugged) {
        error = "camera \"" + c.setup.id + "\" is plugged in at " + c.setup.busPort + "; unplug it first";
        return false;
    }
    for (const CameraEntry& other : _cameras) {
        if (&other != &c && other.plugged && other.setup.busPort == busPort) {
            error = "camera \"" + other.setup.id + "\" is plugged in at " + busPort;
            return false;
        }
    }
    SimScenario::Camera moved = c.setup;
    moved.busPort = busPort;
    const std::string path = devicePathOf(moved);
    // Its memory (presets, registers) goes with it; a camera not yet configured has none.
    if (c.configured && !_server->moveCameraModel(c.devicePath, path)) {
        error = "another camera was once plugged in at " + busPort;
        return false;
    }
    c.setup.busPort = busPort;
    c.devicePath = path;
    c.viewPath->set(path);
    return true;
}

void SimWorld::unplug(CameraEntry& c, bool announce) {
    if (!c.plugged)
        return;
    for (auto& stream : c.streams) stream->setEnabled(false);
    _server->removeUsbDevices(c.setup.busPort);
    _server->removeCamera(c.devicePath, announce);
    c.plugged = false;
}

SimWorld::CameraEntry* SimWorld::camera(const Json& request, std::string& error) {
    const std::string id = kxjson::text(request, "camera");
    for (CameraEntry& c : _cameras)
        if (c.setup.id == id || (id.empty() && _cameras.size() == 1))
            return &c;
    error = "no camera \"" + id + "\"";
    return nullptr;
}

SimArray* SimWorld::arrayFor(const Json& request, std::string& error) {
    const std::string id = kxjson::text(request, "array");
    if (id.empty() && _arrays.size() == 1)
        return _arrays.front().second.get();
    if (SimArray* a = array(id))
        return a;
    error = "no array \"" + id + "\"";
    return nullptr;
}

void SimWorld::start() {
    _timelineStartMs = QDateTime::currentMSecsSinceEpoch();
    _nextEvent = 0;
    if (!_timeline.empty())
        runTimelineFrom(0);
}

void SimWorld::runTimelineFrom(size_t index) {
    const int64_t elapsed = QDateTime::currentMSecsSinceEpoch() - _timelineStartMs;
    while (index < _timeline.size() && _timeline[index].atMs <= elapsed) {
        const Json result = control(_timeline[index].operation);
        if (!kxjson::flag(result, "ok"))
            std::fprintf(stderr, "vexsim: timeline %s: %s\n",
                         kxjson::dump(_timeline[index].operation).c_str(),
                         kxjson::text(result, "error").c_str());
        ++index;
    }
    if (index >= _timeline.size()) {
        if (_loopMs <= 0)
            return;
        _timelineStartMs += _loopMs;
        index = 0;
    }
    _nextEvent = index;
    const int64_t wait = _timeline[index].atMs - (QDateTime::currentMSecsSinceEpoch() - _timelineStartMs);
    _timelineTimer.start(static_cast<int>(std::max<int64_t>(0, wait)));
}

Json SimWorld::control(const Json& request) {
    const std::string op = kxjson::text(request, "op");
    std::string error;
    if (op == "status")
        return status();
    if (op == "journal")
        return journal(request);
    if (op == "registers")
        return registers(request);
    if (op == "plug" || op == "unplug") {
        CameraEntry* c = camera(request, error);
        if (c == nullptr)
            return failure(error);
        if (op == "plug") {
            const std::string busPort = kxjson::text(request, "bus_port");
            if (!busPort.empty() && !plugAt(*c, busPort, error))
                return failure(error);
            plug(*c, true);
        } else
            unplug(*c, true);
        return Json{{"ok", true}, {"time_ms", SimServer::wallNowMs()}};
    }
    if (op == "busy")
        return busy(request);
    if (op == "talk" || op == "silence")
        return talk(request, op == "talk");
    if (op == "drop") {
        SimArray* a = arrayFor(request, error);
        if (a == nullptr)
            return failure(error);
        a->dropLink();
        return Json{{"ok", true}, {"time_ms", SimServer::wallNowMs()}};
    }
    if (op == "received") {
        SimArray* a = arrayFor(request, error);
        if (a == nullptr)
            return failure(error);
        // The latest of what the application sent (bytes that are not UTF-8 are replaced).
        return Json{{"ok", true}, {"text", a->received().right(16384).toStdString()}};
    }
    if (op == "garbage") {
        SimArray* a = arrayFor(request, error);
        if (a == nullptr)
            return failure(error);
        QByteArray bytes = QByteArray::fromStdString(kxjson::text(request, "text"));
        const int64_t extra = kxjson::integerMember(request, "bytes").value_or(0);
        if (extra < 0 || extra > (64 << 20))
            return failure("\"bytes\" must lie in 0 .. 67108864");
        // An oversized line: that many bytes with no line end, reply end or JSON close.
        bytes += QByteArray(static_cast<qsizetype>(extra), 'x');
        a->sendRaw(bytes);
        return Json{{"ok", true}, {"sent", bytes.size()}};
    }
    if (op == "fault") {
        static const std::map<std::string, SimServer::Fault> kFaults = {
            {"none", SimServer::Fault::None},       {"error", SimServer::Fault::Error},
            {"garbage", SimServer::Fault::Garbage}, {"stall", SimServer::Fault::Stall},
            {"close", SimServer::Fault::Close},     {"delay", SimServer::Fault::Delay}};
        const auto fault = kFaults.find(kxjson::text(request, "fault"));
        const std::string target = kxjson::text(request, "request_op");
        if (fault == kFaults.end() || target.empty())
            return failure(
                "fault needs \"fault\" (none, error, garbage, stall, close, delay) and \"request_op\"");
        const int64_t after = kxjson::integerMember(request, "after").value_or(0);
        const int64_t delay = kxjson::integerMember(request, "delay_ms").value_or(0);
        _server->setFault(target, fault->second, static_cast<int>(std::clamp<int64_t>(after, 0, 1 << 30)),
                          static_cast<int>(std::clamp<int64_t>(delay, 0, 60000)));
        return Json{{"ok", true}};
    }
    if (op == "quit") {
        if (onQuit)
            QTimer::singleShot(0, &_context, [this] { onQuit(); });
        return Json{{"ok", true}};
    }
    return failure("unknown op \"" + op + "\"");
}

Json SimWorld::status() {
    Json cameras = Json::array();
    for (const CameraEntry& c : _cameras) {
        Json streams = Json::array();
        for (size_t i = 0; i < c.streams.size(); ++i)
            streams.push_back({{"subtype", c.setup.capabilities[i].subtype},
                               {"url", c.streams[i]->url()},
                               {"clients", c.streams[i]->clients()},
                               {"frames", c.streams[i]->framesEncoded()}});
        SimView view;
        const bool known = _server->view(c.devicePath, view);
        cameras.push_back({{"id", c.setup.id},
                           {"plugged", c.plugged},
                           {"device_path", c.devicePath},
                           {"location", SimServer::locationFor(c.setup.busPort, 0)},
                           {"room", simRoomName(c.setup.room)},
                           {"view", known ? viewJson(view) : Json()},
                           {"streams", streams}});
    }
    Json arrays = Json::array();
    for (const auto& [id, a] : _arrays)
        arrays.push_back({{"id", id},
                          {"brand", SimArray::brandName(a->options().brand).toStdString()},
                          {"address", a->options().address.toString().toStdString()},
                          {"port", a->port()},
                          {"connected", a->hasClient()},
                          {"connections", a->connections()},
                          {"talking", a->talker().talking}});
    return Json{{"ok", true}, {"cameras", cameras}, {"arrays", arrays}, {"time_ms", SimServer::wallNowMs()}};
}

Json SimWorld::journal(const Json& request) {
    const int64_t since = std::max<int64_t>(0, kxjson::integerMember(request, "since").value_or(0));
    Json entries = Json::array();
    uint64_t next = static_cast<uint64_t>(since);
    for (const SimServer::JournalEntry& e : _server->timedJournal(static_cast<uint64_t>(since))) {
        next = e.seq + 1;
        Json out{{"seq", e.seq}, {"time_ms", e.timeMs}};
        if (!e.request.is_object()) {
            out["line"] = e.request;
            entries.push_back(out);
            continue;
        }
        const std::string op = kxjson::text(e.request, "op");
        out["op"] = op;
        // A request that a fault answered instead of the camera (the USB device's stalls).
        if (const Json* fault = kxjson::member(e.request, "fault"))
            out["fault"] = *fault;
        if (op == "xu") {
            const std::string path = kxjson::text(e.request, "device_path");
            out["device_path"] = path;
            for (const CameraEntry& c : _cameras)
                if (c.devicePath == path)
                    out["camera"] = c.setup.id;
            out["query"] = kxjson::text(e.request, "query");
            uint16_t first = 0, second = 0;
            if (out["query"] == "set_cur" && parseHexData(kxjson::text(e.request, "data"), first, second)) {
                // (0, register) selects a register for the next read; anything else writes.
                if (first == 0) {
                    out["select"] = hexRegister(second);
                } else {
                    out["register"] = hexRegister(first);
                    out["value"] = second;
                }
            }
        }
        entries.push_back(out);
    }
    return Json{{"ok", true}, {"entries", entries}, {"next", next}};
}

Json SimWorld::registers(const Json& request) {
    std::string error;
    CameraEntry* c = camera(request, error);
    if (c == nullptr)
        return failure(error);
    if (const Json* set = kxjson::member(request, "set")) {
        if (!set->is_object())
            return failure("\"set\" must be an object of register: value");
        for (const auto& [key, value] : set->items()) {
            char* end = nullptr;
            const unsigned long reg = std::strtoul(key.c_str(), &end, 0);
            if (end == key.c_str() || *end != '\0' || reg == 0 || reg > 0xFFFF ||
                !value.is_number_unsigned() || value.get<uint64_t>() > 0xFFFF)
                return failure("bad register or value: " + key);
            _server->setRegister(c->devicePath, static_cast<uint16_t>(reg),
                                 static_cast<uint16_t>(value.get<uint64_t>()));
        }
    }
    Json regs = Json::object();
    for (const auto& [reg, value] : _server->registers(c->devicePath)) regs[hexRegister(reg)] = value;
    SimView view;
    const bool known = _server->view(c->devicePath, view);
    return Json{{"ok", true}, {"registers", regs}, {"view", known ? viewJson(view) : Json()}};
}

Json SimWorld::talk(const Json& request, bool talking) {
    std::string error;
    SimArray* a = arrayFor(request, error);
    if (a == nullptr)
        return failure(error);
    SimTalker t = a->talker();
    t.talking = talking;
    if (talking) {
        switch (a->options().brand) {
            case SimArray::Brand::Shure:
                t.level = 40;
                break;
            case SimArray::Brand::Sennheiser:
                t.level = -20;
                break;
            case SimArray::Brand::Nureva:
                t.level = 80;
                break;
            case SimArray::Brand::Yamaha:
                t.level = 1;
                break;
        }
        if (auto v = numberMember(request, "level"))
            t.level = *v;
        // A Shure array gates every channel someone talks at: "positions" lists several
        // talkers at once, the first of them standing for the talker.
        if (auto v = numberMember(request, "position")) {
            t.position = static_cast<int>(std::clamp(*v, 0.0, 64.0));
            t.alsoAt.clear();
        }
        if (const Json* list = kxjson::member(request, "positions")) {
            if (!list->is_array() || list->empty() || list->size() > 64)
                return failure("positions: a list of 1 to 64 numbers");
            std::vector<int> positions;
            for (const Json& p : *list) {
                if (!p.is_number())
                    return failure("positions: a list of 1 to 64 numbers");
                positions.push_back(static_cast<int>(std::clamp(p.get<double>(), 0.0, 64.0)));
            }
            t.position = positions.front();
            t.alsoAt.assign(positions.begin() + 1, positions.end());
        }
        if (auto v = numberMember(request, "azimuth"))
            t.azimuth = static_cast<int>(std::clamp(*v, -360.0, 360.0));
        if (auto v = numberMember(request, "elevation"))
            t.elevation = static_cast<int>(std::clamp(*v, -90.0, 90.0));
    }
    a->setTalker(t);
    return Json{{"ok", true}, {"time_ms", SimServer::wallNowMs()}};
}

Json SimWorld::busy(const Json& request) {
    std::string error;
    CameraEntry* c = camera(request, error);
    if (c == nullptr)
        return failure(error);
    const Json* on = kxjson::member(request, "on");
    if (on == nullptr || !on->is_boolean())
        return failure("busy needs \"on\": true or false");
    _server->setBusy(c->devicePath, on->get<bool>());
    return Json{{"ok", true}, {"time_ms", SimServer::wallNowMs()}};
}
