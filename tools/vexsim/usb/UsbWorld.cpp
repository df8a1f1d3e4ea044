#include "UsbWorld.h"

#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>

#include "SimMarker.h"

using kxjson::Json;

namespace {

Json failure(const std::string& text) {
    return Json{{"ok", false}, {"error", text}};
}

uvcsim::FormatKind kindOf(const std::string& subtype) {
    return subtype == "YUY2"   ? uvcsim::FormatKind::Uncompressed
           : subtype == "H264" ? uvcsim::FormatKind::FrameBased
                               : uvcsim::FormatKind::Mjpeg;
}

uint32_t intervalOf(int fps) {
    return static_cast<uint32_t>(10000000 / std::max(1, fps));
}

}  // namespace

uvcsim::DeviceDesc UsbWorld::deviceDesc(const SimScenario::Camera& c) {
    uvcsim::DeviceDesc desc;
    desc.vendorId = static_cast<uint16_t>(std::stoul(c.vid, nullptr, 16));
    desc.productId = static_cast<uint16_t>(std::stoul(c.pid, nullptr, 16));
    desc.product = c.friendlyName;
    desc.serial = c.serial;
    desc.extensionUnit = c.extensionUnit;
    // One format per subtype, in the order the scenario first names each; its frames in the
    // scenario's order.
    for (const SimScenario::Capability& cap : c.capabilities) {
        const uvcsim::FormatKind kind = kindOf(cap.subtype);
        auto format = std::find_if(desc.formats.begin(), desc.formats.end(),
                                   [&](const uvcsim::FormatDesc& f) { return f.kind == kind; });
        if (format == desc.formats.end()) {
            desc.formats.push_back(uvcsim::FormatDesc{kind, {}});
            format = desc.formats.end() - 1;
        }
        uvcsim::FrameDesc frame;
        frame.width = static_cast<uint16_t>(cap.width);
        frame.height = static_cast<uint16_t>(cap.height);
        for (int rate : cap.rates.empty() ? std::vector<int>{cap.fps} : cap.rates) {
            frame.intervals.push_back(intervalOf(rate));
        }
        frame.defaultInterval = intervalOf(cap.fps);
        format->frames.push_back(frame);
    }
    return desc;
}

UsbWorld::UsbWorld(const SimScenario& scenario, const std::string& socketPath, const std::string& readyFile)
    : _readyFile(readyFile) {
    SimScenario cameras = scenario;
    if (!cameras.arrays.empty() || !cameras.timeline.empty()) {
        std::fprintf(
            stderr,
            "vexsim: --usb serves the scenario's cameras only (its arrays and timeline are left out)\n");
    }
    cameras.arrays.clear();
    cameras.timeline.clear();
    // Each camera on its bus: its place is the one the host sees (bus B, root port 1), so
    // its model, journal and registers are its own, under the device path the host's side
    // gives it too.
    std::vector<int> udcIndex;
    for (size_t k = 0; k < cameras.cameras.size(); ++k) {
        SimScenario::Camera& c = cameras.cameras[k];
        udcIndex.push_back(c.usbBus > 0 ? c.usbBus - 1 : static_cast<int>(k));
        c.busPort = std::to_string(udcIndex.back() + 1) + "&1";
    }
    for (const SimScenario::Camera& c : cameras.cameras) {
        for (const SimScenario::Capability& cap : c.capabilities) {
            if (cap.width % 2 != 0 || cap.height % 2 != 0) {
                _error = "camera " + c.id + ": USB pictures need even sizes";
                return;
            }
        }
    }
    // The world listens under a name of its own until the USB side has taken over its control
    // operations; only then does the socket appear at its path.
    SimWorld::Options options;
    options.liveStreams = false;
    _world = std::make_unique<SimWorld>(cameras, socketPath + ".usb", options);
    if (!_world->ok()) {
        _error = _world->error();
        return;
    }
    // Small pictures: a coarse room is sharp enough.
    for (const SimScenario::Camera& c : cameras.cameras)
        if (_pictures.count(c.room) == 0)
            _pictures[c.room] = std::make_shared<SimPicture>(4, c.room);

    std::set<int> udcs;
    for (size_t k = 0; k < cameras.cameras.size(); ++k) {
        const SimScenario::Camera& c = cameras.cameras[k];
        UsbCamera::Setup setup;
        setup.id = c.id;
        setup.devicePath = SimWorld::devicePathOf(c);
        setup.udcIndex = udcIndex[k];
        setup.desc = deviceDesc(c);
        if (setup.udcIndex > 10) {
            _error = "camera " + c.id + ": no bus left (11 at most; give it a \"usb_bus\")";
            return;
        }
        if (!udcs.insert(setup.udcIndex).second) {
            _error =
                "camera " + c.id + ": bus " + std::to_string(setup.udcIndex + 1) + " already has a camera";
            return;
        }
        // The camera's place in the scenario, as the socket simulator's streams mark it.
        setup.markerCamera = static_cast<int>(_cameras.size()) % (simmarker::kMaxCamera + 1);
        UsbCamera::Callbacks callbacks;
        callbacks.configured = [this](const std::string& id) { cameraConfigured(id); };
        callbacks.lost = [this](const std::string& id) {
            QMetaObject::invokeMethod(
                &_context,
                [this, id] {
                    control(Json{{"op", "unplug"}, {"camera", id}});
                },
                Qt::QueuedConnection);
        };
        _cameras.push_back(
            std::make_unique<UsbCamera>(setup, _world->server(), _pictures.at(c.room), callbacks));
        _plugAtStart.push_back(c.plugged);
    }
    _inbox = std::make_unique<SimControlInbox>([this](const Json& request) { return control(request); },
                                               failure("shutting down"));
    _world->server().setControlHandler(
        [inbox = _inbox.get()](const Json& request) { return inbox->call(request); });
    std::string why;
    if (!_world->server().publishAs(socketPath, why)) {
        _error = why;
    }
}

UsbWorld::~UsbWorld() {
    if (_inbox) {
        _inbox->close();
    }
    for (auto& c : _cameras) {
        c->unplug();
    }
    _cameras.clear();
    _world.reset();
}

bool UsbWorld::start() {
    {
        std::lock_guard<std::mutex> lock(_readyMutex);
        for (size_t k = 0; k < _cameras.size(); ++k) {
            if (_plugAtStart[k]) {
                _awaited.insert(_cameras[k]->setup().id);
            }
        }
        _readyCount = _awaited.size();
    }
    for (size_t k = 0; k < _cameras.size(); ++k) {
        if (_plugAtStart[k] && !_cameras[k]->plug(_error)) {
            return false;
        }
    }
    std::lock_guard<std::mutex> lock(_readyMutex);
    if (_awaited.empty() && !_readyWritten) {
        writeReadyFile(0);
    }
    return true;
}

void UsbWorld::cameraConfigured(const std::string& id) {
    std::lock_guard<std::mutex> lock(_readyMutex);
    if (_readyWritten || _awaited.erase(id) == 0 || !_awaited.empty()) {
        return;
    }
    writeReadyFile(_readyCount);
}

void UsbWorld::writeReadyFile(size_t count) {
    _readyWritten = true;
    if (_readyFile.empty()) {
        return;
    }
    const std::string temporary = _readyFile + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << count << "\n";
        if (!out) {
            std::fprintf(stderr, "vexsim: cannot write %s\n", temporary.c_str());
            return;
        }
    }
    if (std::rename(temporary.c_str(), _readyFile.c_str()) != 0) {
        std::fprintf(stderr, "vexsim: cannot write %s: %s\n", _readyFile.c_str(), std::strerror(errno));
    }
}

UsbCamera* UsbWorld::camera(const Json& request, std::string& error) {
    const std::string id = kxjson::text(request, "camera");
    for (auto& c : _cameras) {
        if (c->setup().id == id || (id.empty() && _cameras.size() == 1)) {
            return c.get();
        }
    }
    error = "no camera \"" + id + "\"";
    return nullptr;
}

Json UsbWorld::control(const Json& request) {
    const std::string op = kxjson::text(request, "op");
    std::string error;
    if (op == "plug" || op == "unplug" || op == "sent" ||
        (op == "fault" && kxjson::text(request, "request_op") == "stream")) {
        UsbCamera* c = camera(request, error);
        if (c == nullptr) {
            return failure(error);
        }
        if (op == "sent") {
            return c->sent(kxjson::text(request, "file"));
        }
        if (op == "fault") {
            static const std::map<std::string, UsbCamera::StreamFault> kFaults = {
                {"none", UsbCamera::StreamFault::None},
                {"stall", UsbCamera::StreamFault::Stall},
                {"close", UsbCamera::StreamFault::Close}};
            const auto fault = kFaults.find(kxjson::text(request, "fault"));
            if (fault == kFaults.end()) {
                return failure("a stream fault is none, stall or close");
            }
            const int64_t after = kxjson::integerMember(request, "after").value_or(0);
            c->setStreamFault(fault->second, std::clamp<int64_t>(after, 0, 1 << 30));
            return Json{{"ok", true}};
        }
        Json forwarded = request;
        forwarded["camera"] = c->setup().id;
        if (op == "unplug") {
            c->unplug();  // the device leaves the bus first, then the model's listing
            return _world->control(forwarded);
        }
        if (request.contains("usb_bus")) {
            // Plugged back on another bus: a new place for the host (another location, another
            // capture node), the same device with its serial, registers and journal.
            const std::optional<int64_t> bus = kxjson::integerMember(request, "usb_bus");
            if (!bus || *bus < 1 || *bus > 11) {
                return failure("usb_bus is a bus number from 1 to 11");
            }
            if (c->plugged() && c->udcIndex() != *bus - 1) {
                return failure("camera " + c->setup().id + " is plugged in elsewhere: unplug it first");
            }
            for (auto& other : _cameras) {
                if (other.get() != c && other->udcIndex() == *bus - 1) {
                    return failure("bus " + std::to_string(*bus) + " already has a camera");
                }
            }
            c->moveTo(static_cast<int>(*bus - 1));
            forwarded.erase("usb_bus");
        }
        const Json answer = _world->control(forwarded);
        if (!c->plug(error)) {
            _world->control(Json{{"op", "unplug"}, {"camera", c->setup().id}});
            return failure(error);
        }
        return answer;
    }
    if (op == "busy") {
        // The listing's flag would mislead nobody here: the host opens the real capture node,
        // which the kernel itself refuses while another program streams it.
        return failure("in USB mode a camera is busy while a program streams its capture node");
    }
    if (op == "status") {
        Json answer = _world->control(request);
        if (Json* list = answer.contains("cameras") ? &answer["cameras"] : nullptr) {
            for (Json& entry : *list) {
                for (auto& c : _cameras) {
                    if (c->setup().id == kxjson::text(entry, "id")) {
                        entry["usb"] = c->status();
                    }
                }
            }
        }
        return answer;
    }
    if (op == "quit") {
        if (onQuit) {
            QTimer::singleShot(0, &_context, [this] { onQuit(); });
        }
        return Json{{"ok", true}};
    }
    return _world->control(request);
}
