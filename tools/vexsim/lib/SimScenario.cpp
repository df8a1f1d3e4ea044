#include "SimScenario.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>

using kxjson::Json;

namespace {

// Reads the members of one object, remembering where it is for messages.
class Reader {
public:
    Reader(const Json& object, std::string where, std::string& error)
        : _o(object), _where(std::move(where)), _error(error) {
        if (!_o.is_object())
            fail("", "must be an object");
    }

    bool ok() const { return _error.empty(); }

    void fail(const std::string& key, const std::string& what) {
        if (_error.empty())
            _error = _where + (key.empty() ? "" : (_where.empty() ? "" : ".") + key) + ": " + what;
    }

    void text(const char* key, std::string& out, bool required = false) {
        const Json* m = kxjson::member(_o, key);
        if (m == nullptr) {
            if (required)
                fail(key, "missing");
            return;
        }
        if (!m->is_string())
            return fail(key, "must be a string");
        out = m->get<std::string>();
        if (out.size() > 256)
            fail(key, "longer than 256 characters");
    }

    void flag(const char* key, bool& out) {
        const Json* m = kxjson::member(_o, key);
        if (m == nullptr)
            return;
        if (!m->is_boolean())
            return fail(key, "must be true or false");
        out = m->get<bool>();
    }

    template <typename T>
    void number(const char* key, T& out, double lo, double hi) {
        const Json* m = kxjson::member(_o, key);
        if (m == nullptr)
            return;
        if (!m->is_number())
            return fail(key, "must be a number");
        const double v = m->get<double>();
        if (!std::isfinite(v) || v < lo || v > hi) {
            std::ostringstream s;
            s << "must lie in " << lo << " .. " << hi;
            return fail(key, s.str());
        }
        if constexpr (std::is_integral_v<T>) {
            if (v != std::floor(v))
                return fail(key, "must be a whole number");
        }
        out = static_cast<T>(v);
    }

    const Json* member(const char* key) const { return kxjson::member(_o, key); }
    const std::string& where() const { return _where; }

private:
    const Json& _o;
    std::string _where;
    std::string& _error;
};

bool isHex4(const std::string& s) {
    return s.size() == 4 && std::all_of(s.begin(), s.end(),
                                        [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

// "rates": every frame rate a capability offers (its "fps" among them), kept fastest first.
void readRates(Reader& r, SimScenario::Capability& cap) {
    cap.rates = {cap.fps};
    const Json* rates = r.member("rates");
    if (rates == nullptr || !r.ok())
        return;
    if (!rates->is_array() || rates->empty() || rates->size() > 16)
        return r.fail("rates", "must be a list of 1 to 16 frame rates");
    cap.rates.clear();
    for (const Json& rate : *rates) {
        if (!rate.is_number_integer() || rate.get<int64_t>() < 1 || rate.get<int64_t>() > 60)
            return r.fail("rates", "each rate must be a whole number in 1 .. 60");
        cap.rates.push_back(rate.get<int>());
    }
    std::sort(cap.rates.begin(), cap.rates.end(), std::greater<int>());
    cap.rates.erase(std::unique(cap.rates.begin(), cap.rates.end()), cap.rates.end());
    if (std::find(cap.rates.begin(), cap.rates.end(), cap.fps) == cap.rates.end())
        r.fail("rates", "must hold \"fps\"");
}

void readPlace(Reader& r, SimScenario::Place& place) {
    r.number("pan", place.panDeg, -170, 170);
    r.number("tilt", place.tiltDeg, -30, 90);
    r.number("zoom", place.zoom, 1, 12);
}

}  // namespace

std::optional<SimScenario> SimScenario::fromJson(const Json& document, std::string& error) {
    error.clear();
    SimScenario scenario;
    Reader top(document, "", error);
    if (!top.ok())
        return std::nullopt;

    std::set<std::string> ids;
    const Json* cameras = top.member("cameras");
    if (cameras != nullptr && !cameras->is_array())
        top.fail("cameras", "must be an array");
    for (size_t i = 0; cameras != nullptr && cameras->is_array() && i < cameras->size() && error.empty();
         ++i) {
        Camera c;
        Reader r((*cameras)[i], "cameras[" + std::to_string(i) + "]", error);
        c.id = "cam" + std::to_string(i + 1);
        r.text("id", c.id);
        r.text("friendly_name", c.friendlyName);
        r.text("vid", c.vid);
        r.text("pid", c.pid);
        r.text("bus_port", c.busPort);
        r.text("firmware", c.firmware);
        r.text("model_name", c.modelName);
        r.flag("plugged", c.plugged);
        r.flag("extension_unit", c.extensionUnit);
        r.number("usb_bus", c.usbBus, 1, 11);
        c.serial = "VX" + std::to_string(100001 + i);
        r.text("serial", c.serial);
        std::string room = simRoomName(c.room);
        r.text("room", room);
        if (!r.ok())
            break;
        if (const std::optional<SimRoom> named = simRoomFromName(room))
            c.room = *named;
        else
            r.fail("room", "must be \"default\", \"blue\" or \"green\"");
        std::transform(c.vid.begin(), c.vid.end(), c.vid.begin(), ::tolower);
        std::transform(c.pid.begin(), c.pid.end(), c.pid.begin(), ::tolower);
        if (!isHex4(c.vid) || !isHex4(c.pid))
            r.fail("vid", "vid and pid must be four hexadecimal digits");
        if (c.busPort.find('&') == std::string::npos)
            r.fail("bus_port", "must look like \"1&2.4\" (bus & port path)");
        if (c.firmware.size() > 7)
            r.fail("firmware", "at most 7 characters");
        if (c.modelName.size() > 24)
            r.fail("model_name", "at most 24 characters");
        if (c.serial.size() > 126)
            r.fail("serial", "at most 126 characters");
        if (!ids.insert(c.id).second)
            r.fail("id", "\"" + c.id + "\" is used twice");
        if (const Json* caps = r.member("capabilities")) {
            if (!caps->is_array())
                r.fail("capabilities", "must be an array");
            for (size_t k = 0; caps->is_array() && k < caps->size() && error.empty(); ++k) {
                Capability cap;
                Reader cr((*caps)[k], r.where() + ".capabilities[" + std::to_string(k) + "]", error);
                cr.text("subtype", cap.subtype);
                cr.number("width", cap.width, 16, 3840);
                cr.number("height", cap.height, 16, 2160);
                cr.number("fps", cap.fps, 1, 60);
                cr.number("port", cap.port, 0, 65535);
                cr.number("start_delay_ms", cap.startDelayMs, 0, 60000);
                if (cr.ok() && cap.subtype != "MJPG" && cap.subtype != "H264" && cap.subtype != "YUY2")
                    cr.fail("subtype", "must be \"MJPG\", \"H264\" or \"YUY2\"");
                readRates(cr, cap);
                c.capabilities.push_back(cap);
            }
        } else {
            Capability cap;
            cap.rates = {cap.fps};
            c.capabilities.push_back(cap);
        }
        if (const Json* start = r.member("start")) {
            Reader sr(*start, r.where() + ".start", error);
            readPlace(sr, c.start);
        }
        if (const Json* presets = r.member("presets")) {
            if (presets->is_string() && presets->get<std::string>() == "seats") {
                // Preset n looks at seat n of the drawn room (SimPicture).
                for (int n = 1; n <= 8; ++n)
                    c.presets.emplace_back(n, Place{-140.0 + 40.0 * (n - 1), 6.0, 1.8});
            } else if (presets->is_object()) {
                for (const auto& [key, value] : presets->items()) {
                    int number = -1;
                    try {
                        number = std::stoi(key);
                    } catch (...) {
                    }
                    if (number < 0 || number > 255 || std::to_string(number) != key) {
                        r.fail("presets", "keys must be preset numbers 0 .. 255");
                        break;
                    }
                    Place p;
                    Reader pr(value, r.where() + ".presets." + key, error);
                    readPlace(pr, p);
                    c.presets.emplace_back(number, p);
                }
            } else {
                r.fail("presets", "must be an object or \"seats\"");
            }
        }
        scenario.cameras.push_back(c);
    }

    const Json* arrays = top.member("arrays");
    if (error.empty() && arrays != nullptr && !arrays->is_array())
        top.fail("arrays", "must be an array");
    for (size_t i = 0; error.empty() && arrays != nullptr && arrays->is_array() && i < arrays->size(); ++i) {
        Array a;
        Reader r((*arrays)[i], "arrays[" + std::to_string(i) + "]", error);
        r.text("brand", a.brand, true);
        a.id = a.brand;
        r.text("id", a.id);
        r.text("model", a.model);
        r.text("address", a.address);
        r.number("port", a.port, 0, 65535);
        r.flag("auto_coverage", a.autoCoverage);
        r.flag("split_writes", a.splitWrites);
        r.number("channels", a.channels, 1, 64);
        if (!r.ok())
            break;
        std::transform(a.brand.begin(), a.brand.end(), a.brand.begin(), ::tolower);
        if (a.brand != "shure" && a.brand != "sennheiser" && a.brand != "nureva" && a.brand != "yamaha")
            r.fail("brand", "must be shure, sennheiser, nureva or yamaha");
        if (!ids.insert(a.id).second)
            r.fail("id", "\"" + a.id + "\" is used twice");
        scenario.arrays.push_back(a);
    }

    if (const Json* timeline = error.empty() ? top.member("timeline") : nullptr) {
        Reader tr(*timeline, "timeline", error);
        tr.number("loop_ms", scenario.loopMs, 0, 86400000);
        const Json* events = tr.member("events");
        if (tr.ok() && events != nullptr && !events->is_array())
            tr.fail("events", "must be an array");
        for (size_t i = 0; error.empty() && events != nullptr && events->is_array() && i < events->size();
             ++i) {
            Event e;
            Reader er((*events)[i], "timeline.events[" + std::to_string(i) + "]", error);
            er.number("at_ms", e.atMs, 0, 86400000);
            std::string op;
            er.text("op", op, true);
            if (!er.ok())
                break;
            e.operation = (*events)[i];
            e.operation.erase("at_ms");
            scenario.timeline.push_back(e);
        }
        std::stable_sort(scenario.timeline.begin(), scenario.timeline.end(),
                         [](const Event& a, const Event& b) { return a.atMs < b.atMs; });
        if (error.empty() && scenario.loopMs > 0 && !scenario.timeline.empty() &&
            scenario.timeline.back().atMs >= scenario.loopMs)
            tr.fail("loop_ms", "must be later than the last event");
    }
    if (!error.empty())
        return std::nullopt;
    return scenario;
}

std::optional<SimScenario> SimScenario::fromFile(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be read";
        return std::nullopt;
    }
    std::string text;
    constexpr size_t kMaxBytes = 4u << 20;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxBytes) {
            error = path + ": larger than 4 MB";
            return std::nullopt;
        }
    }
    const std::optional<Json> document = kxjson::parse(text, kMaxBytes);
    if (!document) {
        error = path + ": not a JSON document";
        return std::nullopt;
    }
    std::optional<SimScenario> scenario = fromJson(*document, error);
    if (!scenario)
        error = path + ": " + error;
    return scenario;
}
