#include "SimServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace {

bool sendLine(int fd, const std::string& text) {
    std::string line = text + "\n";
    size_t sent = 0;
    while (sent < line.size()) {
        ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        } else {
            return false;
        }
    }
    return true;
}

std::string hex4(const uint8_t b[4]) {
    char t[9];
    std::snprintf(t, sizeof t, "%02x%02x%02x%02x", b[0], b[1], b[2], b[3]);
    return t;
}

bool parseHex4(const std::string& s, uint8_t b[4]) {
    if (s.size() != 8) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        char* end = nullptr;
        std::string byte = s.substr(static_cast<size_t>(2 * i), 2);
        long v = std::strtol(byte.c_str(), &end, 16);
        if (end == nullptr || *end != '\0') {
            return false;
        }
        b[i] = static_cast<uint8_t>(v);
    }
    return true;
}

using kxjson::Json;

Json error(const std::string& text) {
    return Json{{"ok", false}, {"error", text}};
}

}  // namespace

SimServer::SimServer() {
    char folder[] = "/tmp/vexsim-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    _folder = folder;
    _socketPath = _folder + "/sim.sock";
    start();
}

SimServer::SimServer(const std::string& socketPath) : _socketPath(socketPath) {
    start();
}

void SimServer::start() {
    sockaddr_un addr{};
    if (_socketPath.empty() || _socketPath.size() >= sizeof addr.sun_path) {
        throw std::runtime_error("simulator: socket path empty or too long: " + _socketPath);
    }
    // A socket file left by a simulator that was killed would make bind fail; only a socket
    // is replaced, never another kind of file.
    struct stat st {};
    if (::lstat(_socketPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        ::unlink(_socketPath.c_str());
    }
    _listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, _socketPath.c_str(), sizeof addr.sun_path - 1);
    if (_listenFd < 0 || ::bind(_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(_listenFd, 16) != 0 || ::pipe2(_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        const std::string reason = std::strerror(errno);
        if (_listenFd >= 0) {
            ::close(_listenFd);
        }
        throw std::runtime_error("simulator: cannot listen on " + _socketPath + ": " + reason);
    }
    _thread = std::thread([this] { serve(); });
}

SimServer::~SimServer() {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _stop = true;
    }
    wake();
    _thread.join();
    for (Client& c : _clients) {
        ::close(c.fd);
    }
    ::close(_listenFd);
    ::close(_wakePipe[0]);
    ::close(_wakePipe[1]);
    ::unlink(_socketPath.c_str());
    if (!_folder.empty()) {
        ::rmdir(_folder.c_str());
    }
}

bool SimServer::publishAs(const std::string& path, std::string& error) {
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        error = "simulator: socket path empty or too long: " + path;
        return false;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
        error = "simulator: " + path + " exists and is not a socket";
        return false;
    }
    if (::rename(_socketPath.c_str(), path.c_str()) != 0) {
        error = "simulator: cannot move the socket to " + path + ": " + std::strerror(errno);
        return false;
    }
    _socketPath = path;
    return true;
}

std::string SimServer::devicePathFor(const std::string& vid, const std::string& pid,
                                     const std::string& location) {
    return "\\\\?\\usb#vid_" + vid + "&pid_" + pid + "&mi_00#" + location +
           "#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";
}

void SimServer::wake() {
    char c = 1;
    (void)!::write(_wakePipe[1], &c, 1);
}

void SimServer::addCamera(const Camera& camera, bool announceIt) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _cameras.push_back(camera);
        auto model = _models.find(camera.devicePath);
        if (model == _models.end()) {
            _models.emplace(camera.devicePath, SimCamera(camera.registers));
        } else {
            // Plugged in again: the head starts over, the camera's memory stays.
            model->second.powerOn(steadyNowMs());
            for (const auto& [reg, value] : camera.registers) {
                model->second.setRegister(reg, value);
            }
        }
    }
    if (announceIt) {
        announce("arrival", camera.devicePath);
    }
}

void SimServer::removeCamera(const std::string& devicePath, bool announceIt) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        for (auto it = _cameras.begin(); it != _cameras.end(); ++it) {
            if (it->devicePath == devicePath) {
                _cameras.erase(it);
                break;
            }
        }
        _busy.erase(devicePath);
    }
    if (announceIt) {
        announce("removal", devicePath);
    }
}

void SimServer::setBusy(const std::string& devicePath, bool busy) {
    std::lock_guard<std::mutex> lock(_mutex);
    if (busy) {
        _busy.insert(devicePath);
    } else {
        _busy.erase(devicePath);
    }
}

bool SimServer::isBusy(const std::string& devicePath) const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _busy.count(devicePath) != 0;
}

void SimServer::addAudioDevice(const AudioDevice& device) {
    std::lock_guard<std::mutex> lock(_mutex);
    _audio.push_back(device);
}

void SimServer::addUsbDevice(const Json& entry) {
    std::lock_guard<std::mutex> lock(_mutex);
    _usb.push_back(entry);
}

void SimServer::setRegister(const std::string& devicePath, uint16_t reg, uint16_t value) {
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _models.find(devicePath);
    if (it != _models.end()) {
        it->second.setRegister(reg, value);
    }
}

uint16_t SimServer::registerValue(const std::string& devicePath, uint16_t reg) const {
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _models.find(devicePath);
    return it == _models.end() ? 0 : it->second.read(reg);
}

std::map<uint16_t, uint16_t> SimServer::registers(const std::string& devicePath) const {
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _models.find(devicePath);
    return it == _models.end() ? std::map<uint16_t, uint16_t>() : it->second.registers();
}

bool SimServer::hasCamera(const std::string& devicePath) const {
    std::lock_guard<std::mutex> lock(_mutex);
    for (const Camera& c : _cameras) {
        if (c.devicePath == devicePath) {
            return true;
        }
    }
    return false;
}

bool SimServer::view(const std::string& devicePath, SimView& out) const {
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _models.find(devicePath);
    if (it == _models.end()) {
        return false;
    }
    out = it->second.view(steadyNowMs());
    return true;
}

bool SimServer::withCamera(const std::string& devicePath,
                           const std::function<void(SimCamera&, double nowMs)>& action) {
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _models.find(devicePath);
    if (it == _models.end()) {
        return false;
    }
    action(it->second, steadyNowMs());
    return true;
}

double SimServer::steadyNowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double SimServer::wallNowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
}

void SimServer::setControlHandler(ControlHandler handler) {
    std::lock_guard<std::mutex> lock(_mutex);
    _control = std::move(handler);
}

void SimServer::setFault(const std::string& op, Fault fault, int afterCount, int delayMs) {
    std::lock_guard<std::mutex> lock(_mutex);
    _faults[op] = FaultState{fault, afterCount, delayMs};
}

std::string SimServer::locationFor(const std::string& busPort, int interfaceNumber) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "&1&%04x", interfaceNumber & 0xFFFF);
    std::string location = busPort + suffix;
    for (char& c : location) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return location;
}

namespace {

std::string upper(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

}  // namespace

std::string SimServer::deviceLocationPath(const std::string& busPort) {
    const size_t amp = busPort.find('&');
    const std::string port = amp == std::string::npos ? busPort : busPort.substr(amp + 1);
    return "pci-0000:00:14.0-usb-0:" + port;
}

Json SimServer::usbInterfaceEntry(const std::string& vid, const std::string& pid, const std::string& busPort,
                                  int interfaceNumber, const std::string& friendlyName) {
    char mi[8];
    std::snprintf(mi, sizeof mi, "%02X", interfaceNumber & 0xFF);
    const std::string ids = "USB\\VID_" + upper(vid) + "&PID_" + upper(pid);
    const size_t amp = busPort.find('&');
    const std::string port = amp == std::string::npos ? busPort : busPort.substr(amp + 1);
    const std::string lastPort = port.substr(port.rfind('.') == std::string::npos ? 0 : port.rfind('.') + 1);
    char info[64];
    std::snprintf(info, sizeof info, "Port_#%04d.Hub_#%04d", std::atoi(lastPort.c_str()), 2);
    return Json{{"instance_id", ids + "&MI_" + mi + "\\" + upper(locationFor(busPort, interfaceNumber))},
                {"hardware_ids", Json::array({ids + "&REV_0100&MI_" + mi})},
                {"friendly_name", friendlyName},
                {"description", friendlyName},
                {"location_information", std::string(info)},
                {"location_paths",
                 Json::array({deviceLocationPath(busPort) + ":1." + std::to_string(interfaceNumber)})}};
}

Json SimServer::usbDeviceEntry(const std::string& vid, const std::string& pid, const std::string& busPort,
                               const std::string& serial) {
    const std::string ids = "USB\\VID_" + upper(vid) + "&PID_" + upper(pid);
    return Json{{"instance_id", ids + "\\" + (serial.empty() ? busPort : serial)},
                {"hardware_ids", Json::array({ids + "&REV_0100"})},
                {"location_paths", Json::array({deviceLocationPath(busPort)})}};
}

void SimServer::removeUsbDevices(const std::string& busPort) {
    const std::string devicePath = deviceLocationPath(busPort);
    std::lock_guard<std::mutex> lock(_mutex);
    std::vector<Json> kept;
    for (const Json& e : _usb) {
        const std::string id = kxjson::text(e, "instance_id");
        const std::string tail = id.substr(id.rfind('\\') + 1);
        bool same = tail == upper(busPort) || tail.rfind(upper(busPort) + "&", 0) == 0;
        // A device entry that ends in its serial number is found by its place.
        if (!same && tail.find('&') == std::string::npos && id.find("&MI_") == std::string::npos) {
            const Json* paths = kxjson::member(e, "location_paths");
            same = paths != nullptr && paths->is_array() && !paths->empty() && (*paths)[0].is_string() &&
                   (*paths)[0].get<std::string>() == devicePath;
        }
        if (!same) {
            kept.push_back(e);
        }
    }
    _usb.swap(kept);
}

bool SimServer::moveCameraModel(const std::string& from, const std::string& to) {
    std::lock_guard<std::mutex> lock(_mutex);
    if (from == to) {
        return _models.count(from) != 0;
    }
    auto it = _models.find(from);
    if (it == _models.end() || _models.count(to) != 0) {
        return false;
    }
    SimCamera model = std::move(it->second);
    _models.erase(it);
    _models.emplace(to, std::move(model));
    auto selected = _selected.find(from);
    if (selected != _selected.end()) {
        _selected.erase(selected);
    }
    return true;
}

size_t SimServer::answered(const std::string& op) const {
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _answered.find(op);
    return it == _answered.end() ? 0 : it->second;
}

std::vector<Json> SimServer::journal() const {
    std::lock_guard<std::mutex> lock(_mutex);
    std::vector<Json> requests;
    requests.reserve(_journal.size());
    for (const JournalEntry& e : _journal) {
        requests.push_back(e.request);
    }
    return requests;
}

std::vector<SimServer::JournalEntry> SimServer::timedJournal(uint64_t fromSeq) const {
    std::lock_guard<std::mutex> lock(_mutex);
    std::vector<JournalEntry> entries;
    for (const JournalEntry& e : _journal) {
        if (e.seq >= fromSeq) {
            entries.push_back(e);
        }
    }
    return entries;
}

void SimServer::clearJournal() {
    std::lock_guard<std::mutex> lock(_mutex);
    _journal.clear();
}

bool SimServer::waitForJournal(size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(_mutex);
    return _changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return _journal.size() >= count; });
}

bool SimServer::waitForWatchers(size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(_mutex);
    return _changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return _watchers >= count; });
}

void SimServer::announce(const std::string& event, const std::string& name) {
    sendToWatchers(kxjson::dump(Json{{"event", event},
                                     {"device_type", 5},
                                     {"class_guid", "{65E8773D-8F56-11D0-A3B9-00A0C9223196}"},
                                     {"name", name}}));
}

void SimServer::sendToWatchers(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _outgoing.push_back(text);
    }
    wake();
}

void SimServer::serve() {
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({_wakePipe[0], POLLIN, 0});
        fds.push_back({_listenFd, POLLIN, 0});
        for (const Client& c : _clients) {
            fds.push_back({c.fd, POLLIN, 0});
        }
        int r = ::poll(fds.data(), fds.size(), -1);
        if (r < 0 && errno != EINTR) {
            return;
        }
        // Drain the wake-up pipe before taking the queued lines: a line queued after the
        // take leaves its wake-up byte in the pipe for the next poll instead of losing it.
        char drain[64];
        while (::read(_wakePipe[0], drain, sizeof drain) > 0) {
        }
        std::vector<std::string> outgoing;
        {
            std::lock_guard<std::mutex> lock(_mutex);
            if (_stop) {
                return;
            }
            outgoing.swap(_outgoing);
        }
        for (const std::string& line : outgoing) {
            for (Client& c : _clients) {
                if (c.watching) {
                    sendLine(c.fd, line);
                }
            }
        }
        if (fds[1].revents & POLLIN) {
            int fd = ::accept4(_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                _clients.push_back(Client{fd, KXLineReader(kMaxRequestBytes), false});
            }
        }
        // Clients accepted in this round are not in `fds` yet; they are polled next round.
        const size_t polled = fds.size() - 2;
        std::vector<Client> kept;
        for (size_t i = 0; i < _clients.size(); ++i) {
            Client& c = _clients[i];
            bool keep = true;
            if (i < polled && (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR))) {
                keep = handleReadable(c);
            }
            if (keep) {
                kept.push_back(std::move(c));
            } else {
                ::close(c.fd);
                if (c.watching) {
                    std::lock_guard<std::mutex> lock(_mutex);
                    --_watchers;
                    _changed.notify_all();
                }
            }
        }
        _clients.swap(kept);
    }
}

bool SimServer::handleReadable(Client& client) {
    char chunk[4096];
    ssize_t n = ::recv(client.fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
        return false;
    }
    client.reader.feed(std::string_view(chunk, static_cast<size_t>(n)));
    std::string line;
    for (;;) {
        switch (client.reader.next(line)) {
            case KXLineReader::Result::Line:
                if (!answer(client, line)) {
                    return false;
                }
                break;
            case KXLineReader::Result::NeedMore:
                return true;
            case KXLineReader::Result::TooLong:
                // Nothing to answer: the line is not read to its end, so the stream is lost.
                return false;
        }
    }
}

bool SimServer::answer(Client& client, const std::string& line) {
    const std::optional<Json> request = kxjson::parse(line);
    Json reply;
    Fault fault = Fault::None;
    int delayMs = 0;
    bool watch = false;
    const std::string op = request ? kxjson::text(*request, "op") : std::string();
    // A request naming none of the protocol's operations is the control handler's; garbage and
    // a request without "op" are the protocol's to refuse.
    if (request && !op.empty() && operation(op) == nullptr) {
        ControlHandler control;
        {
            std::lock_guard<std::mutex> lock(_mutex);
            control = _control;
        }
        if (control) {
            Json result;
            try {
                result = control(*request);
            } catch (const std::exception& e) {
                result = error(std::string("control failed: ") + e.what());
            }
            return sendLine(client.fd, kxjson::dump(result));
        }
    }
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _journal.push_back(JournalEntry{_journalSeq++, wallNowMs(), request ? *request : Json(line)});
        auto it = _faults.find(op);
        if (it != _faults.end() && it->second.fault != Fault::None) {
            if (it->second.normalLeft > 0) {
                --it->second.normalLeft;
            } else {
                fault = it->second.fault;
                delayMs = it->second.delayMs;
            }
        }
        if (fault == Fault::None || fault == Fault::Delay) {
            reply = request ? respond(*request, watch) : error("not JSON");
        }
        _changed.notify_all();
    }
    if (fault == Fault::Delay) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    }
    switch (fault) {
        case Fault::Error:
            return sendLine(client.fd, kxjson::dump(error("injected")));
        case Fault::Garbage:
            return sendLine(client.fd, "{\"ok\":tru");
        case Fault::Stall:
            return true;
        case Fault::Close:
            return false;
        case Fault::None:
        case Fault::Delay:
            break;
    }
    // Counted before the line goes out: a client that has read the answer must find it
    // counted, however late this thread runs after the send.
    {
        std::lock_guard<std::mutex> lock(_mutex);
        ++_answered[op];
        _changed.notify_all();
    }
    if (!sendLine(client.fd, kxjson::dump(reply))) {
        return false;
    }
    if (watch && !client.watching) {
        client.watching = true;
        std::lock_guard<std::mutex> lock(_mutex);
        ++_watchers;
        _changed.notify_all();
    }
    return true;
}

SimServer::Fault SimServer::takeFault(const std::string& op, int& delayMs) {
    std::lock_guard<std::mutex> lock(_mutex);
    delayMs = 0;
    auto it = _faults.find(op);
    if (it == _faults.end() || it->second.fault == Fault::None) {
        return Fault::None;
    }
    if (it->second.normalLeft > 0) {
        --it->second.normalLeft;
        return Fault::None;
    }
    delayMs = it->second.delayMs;
    return it->second.fault;
}

Json SimServer::handleLocal(const Json& request, Fault fault) {
    std::lock_guard<std::mutex> lock(_mutex);
    _journal.push_back(JournalEntry{_journalSeq++, wallNowMs(), request});
    Json reply = error("injected");
    if (fault == Fault::None || fault == Fault::Delay) {
        bool watch = false;
        reply = respond(request, watch);
        ++_answered[kxjson::text(request, "op")];
    }
    _changed.notify_all();
    return reply;
}

const SimServer::Operation* SimServer::operation(const std::string& op) {
    static const Operation kOperations[] = {
        {"usb_devices", &SimServer::answerUsbDevices},
        {"capture_devices", &SimServer::answerCaptureDevices},
        {"xu", &SimServer::answerXu},
        {"watch", &SimServer::answerWatch},
    };
    for (const Operation& o : kOperations) {
        if (op == o.name) {
            return &o;
        }
    }
    return nullptr;
}

Json SimServer::respond(const Json& request, bool& watch) {
    const Operation* o = operation(kxjson::text(request, "op"));
    return o == nullptr ? error("unknown op") : (this->*o->answer)(request, watch);
}

Json SimServer::answerUsbDevices(const Json&, bool&) {
    return Json{{"ok", true}, {"devices", Json(_usb)}};
}

Json SimServer::answerCaptureDevices(const Json& request, bool&) {
    Json list = Json::array();
    if (kxjson::text(request, "class") == "video") {
        for (const Camera& c : _cameras) {
            Json caps = Json::array();
            for (const Capability& cap : c.capabilities) {
                caps.push_back({{"subtype", cap.subtype},
                                {"width", cap.width},
                                {"height", cap.height},
                                {"min_interval", cap.minInterval},
                                {"max_interval", cap.maxInterval},
                                {"input", {{"format", cap.inputFormat}, {"url", cap.inputUrl}}}});
            }
            list.push_back({{"friendly_name", c.friendlyName},
                            {"device_path", c.devicePath},
                            {"interfaces", c.interfaces},
                            {"capabilities", caps}});
            if (_busy.count(c.devicePath) != 0) {
                list.back()["busy"] = true;
            }
        }
    } else {
        for (const AudioDevice& a : _audio) {
            Json cap{{"sample_rate", a.sampleRate}, {"channels", a.channels}, {"bits", a.bits}};
            list.push_back({{"friendly_name", a.friendlyName},
                            {"capabilities", Json::array({cap})},
                            {"input", {{"format", a.inputFormat}, {"url", a.inputUrl}}}});
        }
    }
    return Json{{"ok", true}, {"devices", list}};
}

Json SimServer::answerXu(const Json& request, bool&) {
    const std::string path = kxjson::text(request, "device_path");
    Camera* camera = nullptr;
    for (Camera& c : _cameras) {
        if (c.devicePath == path) {
            camera = &c;
        }
    }
    auto model = _models.find(path);
    if (camera == nullptr || model == _models.end()) {
        return error("no such device");
    }
    bool hasUnit = false;
    for (const std::string& i : camera->interfaces) {
        hasUnit = hasUnit || i == "extension_unit";
    }
    uint8_t data[4];
    if (!hasUnit || !parseHex4(kxjson::text(request, "data"), data)) {
        return error("no extension unit or bad data");
    }
    const std::string query = kxjson::text(request, "query");
    if (query == "set_cur") {
        uint16_t reg = static_cast<uint16_t>(data[0] | (data[1] << 8));
        uint16_t value = static_cast<uint16_t>(data[2] | (data[3] << 8));
        if (reg == 0) {
            _selected[path] = value;
        } else {
            model->second.write(reg, value, steadyNowMs());
        }
        return Json{{"ok", true}, {"data", hex4(data)}};
    }
    if (query == "get_cur") {
        uint16_t value = model->second.read(_selected[path]);
        uint8_t answer[4] = {0, 0, static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
        return Json{{"ok", true}, {"data", hex4(answer)}};
    }
    return error("bad query");
}

Json SimServer::answerWatch(const Json&, bool& watch) {
    watch = true;
    return Json{{"ok", true}};
}
