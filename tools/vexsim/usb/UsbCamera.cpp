#include "UsbCamera.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "RawGadget.h"
#include "SimServer.h"
#include "UvcFrameSource.h"
#include "UvcPayload.h"

using kxjson::Json;
using uvcsim::Bytes;

namespace {

using Clock = std::chrono::steady_clock;

// The frames of the current stream kept for `sent` (the oldest go first).
constexpr size_t kSentBudgetBytes = 8u << 20;
// The host gives up on a control request after 5 s; a later answer would land on the next one.
constexpr int kMaxCommandDelayMs = 4000;

std::string hex(const uint8_t* data, size_t size) {
    std::string text;
    char byte[3];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(byte, sizeof byte, "%02x", data[i]);
        text += byte;
    }
    return text;
}

bool unhex4(const std::string& text, uint8_t out[4]) {
    if (text.size() != 8) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        unsigned v = 0;
        if (std::sscanf(text.c_str() + 2 * i, "%2x", &v) != 1) {
            return false;
        }
        out[i] = static_cast<uint8_t>(v);
    }
    return true;
}

std::string fnv1a(const Bytes& bytes) {
    uint64_t h = 1469598103934665603ull;
    for (uint8_t b : bytes) {
        h = (h ^ b) * 1099511628211ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

bool isSetConfiguration(const uvcsim::SetupPacket& s) {
    return (s.requestType & 0x60) == 0 && s.request == 0x09 && !s.in();
}

}  // namespace

UsbCamera::UsbCamera(Setup setup, SimServer& server, std::shared_ptr<const SimPicture> picture,
                     Callbacks callbacks)
    : _setup(std::move(setup)),
      _server(server),
      _picture(std::move(picture)),
      _callbacks(std::move(callbacks)),
      _udcIndex(_setup.udcIndex) {}

UsbCamera::~UsbCamera() {
    unplug();
}

bool UsbCamera::plug(std::string& error) {
    if (_fd >= 0) {
        return true;
    }
    const std::string udc = "dummy_udc." + std::to_string(_udcIndex);
    const int fd = rawgadget::open();
    if (fd < 0) {
        error = std::string("cannot open ") + rawgadget::kDevice + ": " + std::strerror(-fd);
        return false;
    }
    int r = rawgadget::init(fd, "dummy_udc", udc);
    if (r >= 0) {
        r = rawgadget::run(fd);
    }
    if (r < 0) {
        error = "camera " + _setup.id + ": cannot bind to " + udc + ": " + std::strerror(-r);
        rawgadget::close(fd);
        return false;
    }
    _fd = fd;
    _function = std::make_unique<uvcsim::UvcFunction>(_setup.desc);
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _stopping = false;
        _endpoint = -1;
        _session.reset();
        _configured = false;
        _streamStalled = false;
    }
    auto wake = [this] { _changed.notify_all(); };
    if (!_controlThread.start([this] { controlLoop(); }, wake, "usb-ep0") ||
        !_streamThread.start([this] { streamLoop(); }, wake, "usb-stream")) {
        error = "camera " + _setup.id + ": cannot start its threads";
        unplug();
        return false;
    }
    return true;
}

void UsbCamera::unplug() {
    if (_fd < 0) {
        return;
    }
    // stop → wake → interrupt (each thread has seen it) → join → close: the last reference to
    // the gadget goes, and the host sees the device leave.
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _stopping = true;
    }
    _changed.notify_all();
    _controlThread.interrupt();
    _streamThread.interrupt();
    _controlThread.join();
    _streamThread.join();
    rawgadget::close(_fd);
    _fd = -1;
    _function.reset();
    std::lock_guard<std::mutex> lock(_mutex);
    _endpoint = -1;
    _session.reset();
    _configured = false;
}

bool UsbCamera::pause(int ms) {
    std::unique_lock<std::mutex> lock(_mutex);
    return !_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return _stopping; });
}

void UsbCamera::setStreamFault(StreamFault fault, int64_t afterFrames) {
    std::lock_guard<std::mutex> lock(_mutex);
    _streamFault = fault;
    _streamFaultAfter = _framesTotal + std::max<int64_t>(0, afterFrames);
    if (fault == StreamFault::None) {
        _streamStalled = false;
    }
    _changed.notify_all();
}

// --- the control thread -----------------------------------------------------------------

void UsbCamera::controlLoop() {
    int lastError = 0;
    for (;;) {
        _controlThread.takeInterrupt();
        {
            std::lock_guard<std::mutex> lock(_mutex);
            if (_stopping) {
                return;
            }
        }
        rawgadget::Event event = rawgadget::Event::Other;
        uint8_t raw[8] = {};
        const int r = rawgadget::fetchEvent(_fd, event, raw);
        if (r == -EINTR) {
            continue;
        }
        if (r < 0) {
            if (r != lastError) {
                std::fprintf(stderr, "vexsim: camera %s: no event from the gadget: %s\n", _setup.id.c_str(),
                             std::strerror(-r));
                lastError = r;
            }
            if (!pause(100)) {
                return;
            }
            continue;
        }
        if (event == rawgadget::Event::Control) {
            handleSetup(uvcsim::SetupPacket::fromBytes(raw));
        }
    }
}

void UsbCamera::endStream(bool interruptWriter) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _session.reset();
    }
    _changed.notify_all();
    if (interruptWriter) {
        _streamThread.interrupt();
    }
}

void UsbCamera::prepareConfiguration(uint16_t value) {
    int old;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        old = _endpoint;
        _endpoint = -1;
    }
    if (old >= 0) {
        rawgadget::epDisable(_fd, old);
    }
    if (value == 0) {
        return;
    }
    const int handle =
        rawgadget::epEnable(_fd, uvcsim::kStreamingEndpoint, 0x02 /* bulk */, uvcsim::kBulkMaxPacket);
    if (handle < 0) {
        std::fprintf(stderr, "vexsim: camera %s: cannot enable the streaming endpoint: %s\n",
                     _setup.id.c_str(), std::strerror(-handle));
    }
    rawgadget::vbusDraw(_fd, 250);
    rawgadget::configure(_fd);
    std::lock_guard<std::mutex> lock(_mutex);
    _endpoint = handle;
}

void UsbCamera::handleSetup(const uvcsim::SetupPacket& setup) {
    const uvcsim::Ep0Plan plan = _function->plan(setup);
    if (plan.endsStream) {
        // Before the request completes: once it has, the host may read the new stream, and a
        // transfer of the old one still queued would be the first thing it got.
        endStream(true);
    }
    int r = 0;
    switch (plan.kind) {
        case uvcsim::Ep0Kind::Send:
            r = rawgadget::ep0Write(_fd, plan.data.data(), plan.data.size());
            break;
        case uvcsim::Ep0Kind::Stall:
            r = rawgadget::ep0Stall(_fd);
            break;
        case uvcsim::Ep0Kind::CommandGet:
        case uvcsim::Ep0Kind::CommandSet:
            handleCommand(setup, plan.kind == uvcsim::Ep0Kind::CommandSet);
            return;
        case uvcsim::Ep0Kind::Receive: {
            if (isSetConfiguration(setup)) {
                prepareConfiguration(setup.value);
            }
            Bytes data(setup.length);
            r = rawgadget::ep0Read(_fd, data.data(), data.size());
            if (r < 0) {
                break;
            }
            data.resize(static_cast<size_t>(r));
            const uvcsim::Ep0Event event = _function->received(setup, data);
            if (event.kind == uvcsim::Ep0Event::Kind::Configured) {
                {
                    std::lock_guard<std::mutex> lock(_mutex);
                    _configured = true;
                }
                if (_callbacks.configured) {
                    _callbacks.configured(_setup.id);
                }
            } else if (event.kind == uvcsim::Ep0Event::Kind::Committed) {
                std::lock_guard<std::mutex> lock(_mutex);
                _session = Session{event.params, ++_sessions};
                _streamStalled = false;
                _framesSent = 0;
                _sent.clear();
                _sentBytes = 0;
                _sentSession = _session->number;
                _changed.notify_all();
            }
            break;
        }
    }
    if (r < 0 && r != -EINTR) {
        std::fprintf(stderr, "vexsim: camera %s: request %02x %02x: %s\n", _setup.id.c_str(),
                     setup.requestType, setup.request, std::strerror(-r));
    }
}

void UsbCamera::handleCommand(const uvcsim::SetupPacket&, bool set) {
    int delayMs = 0;
    const SimServer::Fault fault = _server.takeFault("xu", delayMs);
    {
        std::lock_guard<std::mutex> lock(_mutex);
        ++_commandRequests;
    }
    Json request{{"op", "xu"},
                 {"device_path", _setup.devicePath},
                 {"query", set ? "set_cur" : "get_cur"},
                 {"selector", uvcsim::kCommandSelector}};
    // What fails a host-to-device request must be decided before its data is read: the data
    // stage also ends the request.
    const bool stall = fault == SimServer::Fault::Error || fault == SimServer::Fault::Stall ||
                       (fault == SimServer::Fault::Garbage && set);
    if (stall) {
        request["fault"] = "stall";
        _server.handleLocal(request, fault);
        _function->commandFinished(true, uvcsim::kErrorNotReady);
        rawgadget::ep0Stall(_fd);
        return;
    }
    if (fault == SimServer::Fault::Close) {
        // The camera drops off the bus with the request unanswered.
        request["fault"] = "close";
        _server.handleLocal(request, fault);
        if (_callbacks.lost) {
            _callbacks.lost(_setup.id);
        }
        return;
    }
    if (fault == SimServer::Fault::Delay && !pause(std::min(delayMs, kMaxCommandDelayMs))) {
        return;
    }
    const SimServer::Fault journalled = fault == SimServer::Fault::Delay ? fault : SimServer::Fault::None;
    if (set) {
        uint8_t data[4] = {};
        const int r = rawgadget::ep0Read(_fd, data, sizeof data);
        if (r < 0) {
            return;  // unplugged meanwhile
        }
        request["data"] = hex(data, static_cast<size_t>(r));
        _server.handleLocal(request, journalled);
        _function->commandFinished(false, uvcsim::kErrorNone);
        return;
    }
    request["data"] = "00000000";
    if (fault == SimServer::Fault::Garbage) {
        // A short answer: one byte where the host asked for four.
        request["fault"] = "garbage";
        _server.handleLocal(request, fault);
        const uint8_t shortAnswer[1] = {0xFF};
        rawgadget::ep0Write(_fd, shortAnswer, sizeof shortAnswer);
        _function->commandFinished(false, uvcsim::kErrorNone);
        return;
    }
    const Json reply = _server.handleLocal(request, journalled);
    uint8_t answer[4] = {};
    if (!kxjson::flag(reply, "ok") || !unhex4(kxjson::text(reply, "data"), answer)) {
        _function->commandFinished(true, uvcsim::kErrorInvalidRequest);
        rawgadget::ep0Stall(_fd);
        return;
    }
    rawgadget::ep0Write(_fd, answer, sizeof answer);
    _function->commandFinished(false, uvcsim::kErrorNone);
}

// --- the streaming thread ---------------------------------------------------------------

bool UsbCamera::sessionCurrent(uint64_t number) const {
    std::lock_guard<std::mutex> lock(_mutex);
    return !_stopping && _session && _session->number == number;
}

void UsbCamera::streamLoop() {
    uint64_t finished = 0;  // the last session that ended by itself (its endpoint failed)
    for (;;) {
        Session session;
        int handle = -1;
        {
            std::unique_lock<std::mutex> lock(_mutex);
            for (;;) {
                _streamThread.takeInterrupt();
                if (_stopping) {
                    return;
                }
                if (_session && _session->number != finished) {
                    break;
                }
                _changed.wait(lock);
            }
            session = *_session;
            handle = _endpoint;
        }
        if (handle < 0 || !streamSession(session, handle)) {
            finished = session.number;
        }
        std::lock_guard<std::mutex> lock(_mutex);
        if (_stopping) {
            return;
        }
    }
}

bool UsbCamera::streamSession(const Session& session, int handle) {
    const uvcsim::StreamParams& p = session.params;
    const int fps = p.interval > 0 ? std::max(1, static_cast<int>(std::lround(1e7 / p.interval))) : 30;
    const auto interval =
        std::chrono::nanoseconds(static_cast<int64_t>(p.interval > 0 ? p.interval : 333333) * 100);
    uvcsim::UvcFrameSource source(_picture, p.kind, p.width, p.height, fps, _setup.markerCamera);
    if (!source.ok()) {
        std::fprintf(stderr, "vexsim: camera %s: %s\n", _setup.id.c_str(), source.error().c_str());
        return false;
    }
    auto next = Clock::now();
    for (int64_t index = 0;; ++index) {
        bool cutShort = false;
        {
            std::unique_lock<std::mutex> lock(_mutex);
            for (;;) {
                _streamThread.takeInterrupt();
                if (_stopping || !_session || _session->number != session.number) {
                    return true;
                }
                if (_streamFault != StreamFault::None && _framesTotal >= _streamFaultAfter) {
                    _streamStalled = _streamFault == StreamFault::Stall;
                    cutShort = _streamFault == StreamFault::Close;
                    _streamFault = StreamFault::None;
                }
                if (cutShort || (!_streamStalled && Clock::now() >= next)) {
                    break;
                }
                if (_streamStalled) {
                    _changed.wait(lock);
                } else {
                    _changed.wait_until(lock, next);
                }
            }
        }
        next += interval;
        if (next < Clock::now()) {
            next = Clock::now() + interval;  // fell behind: keep the rate, drop the backlog
        }
        SimView view;
        _server.view(_setup.devicePath, view);
        Bytes frame;
        if (!source.next(view, index, index == 0, frame)) {
            continue;
        }
        const WriteResult written = writePayloads(session, handle, frame, _fid, cutShort);
        if (cutShort) {
            // Half a frame went out; the camera is gone before the rest.
            if (_callbacks.lost) {
                _callbacks.lost(_setup.id);
            }
            std::unique_lock<std::mutex> lock(_mutex);
            while (!_stopping && _session && _session->number == session.number) {
                _streamThread.takeInterrupt();
                _changed.wait(lock);
            }
            return true;
        }
        if (written == WriteResult::Ended) {
            return true;
        }
        if (written == WriteResult::Failed) {
            return false;
        }
        recordSent(session.number, index, frame);
        _fid = !_fid;
    }
}

UsbCamera::WriteResult UsbCamera::writePayloads(const Session& session, int handle, const Bytes& frame,
                                                bool fid, bool cutShort) {
    std::vector<uvcsim::Payload> payloads = uvcsim::splitFrame(
        frame.data(), frame.size(), fid, uvcsim::kMaxPayloadTransfer, uvcsim::kBulkMaxPacket);
    if (cutShort) {
        // The first half of the frame, without its end.
        const size_t half = std::max<size_t>(1, frame.size() / 2);
        payloads =
            uvcsim::splitFrame(frame.data(), half, fid, uvcsim::kMaxPayloadTransfer, uvcsim::kBulkMaxPacket);
        payloads.back().bytes[1] &= static_cast<uint8_t>(~uvcsim::kHeaderEof);
        payloads.back().zeroLengthPacket = false;
    }
    for (const uvcsim::Payload& payload : payloads) {
        for (;;) {
            if (!sessionCurrent(session.number)) {
                return WriteResult::Ended;
            }
            const int r = rawgadget::epWrite(_fd, handle, payload.bytes.data(), payload.bytes.size(),
                                             payload.zeroLengthPacket);
            if (r >= 0) {
                break;
            }
            if (r == -EINTR) {
                continue;  // the loop looks at the session again
            }
            std::fprintf(stderr, "vexsim: camera %s: the stream ends: %s\n", _setup.id.c_str(),
                         std::strerror(-r));
            return WriteResult::Failed;
        }
    }
    return WriteResult::Done;
}

void UsbCamera::recordSent(uint64_t session, int64_t index, const Bytes& frame) {
    std::lock_guard<std::mutex> lock(_mutex);
    ++_framesSent;
    ++_framesTotal;
    if (_sentSession != session) {
        _sent.clear();
        _sentBytes = 0;
        _sentSession = session;
    }
    _sent.push_back(SentFrame{index, frame});
    _sentBytes += frame.size();
    while (_sentBytes > kSentBudgetBytes && _sent.size() > 1) {
        _sentBytes -= _sent.front().bytes.size();
        _sent.pop_front();
    }
}

// --- reads for the owner ----------------------------------------------------------------

Json UsbCamera::status() const {
    std::lock_guard<std::mutex> lock(_mutex);
    Json stream;
    if (_session) {
        const uvcsim::StreamParams& p = _session->params;
        stream = Json{{"session", _session->number},
                      {"subtype", uvcsim::subtypeName(p.kind)},
                      {"width", p.width},
                      {"height", p.height},
                      {"interval", p.interval},
                      {"frames", _framesSent},
                      {"stalled", _streamStalled}};
    }
    return Json{{"plugged", _fd >= 0},
                {"udc", "dummy_udc." + std::to_string(_udcIndex)},
                {"bus", _udcIndex + 1},
                {"serial", _setup.desc.serial},
                {"configured", _configured},
                {"command_requests", _commandRequests},
                {"stream", stream}};
}

Json UsbCamera::sent(const std::string& file) const {
    std::deque<SentFrame> frames;
    Json stream;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        frames = _sent;
        if (_session && _session->number == _sentSession) {
            const uvcsim::StreamParams& p = _session->params;
            stream = Json{{"subtype", uvcsim::subtypeName(p.kind)}, {"width", p.width}, {"height", p.height}};
        }
    }
    Json list = Json::array();
    for (const SentFrame& f : frames) {
        list.push_back({{"index", f.index}, {"bytes", f.bytes.size()}, {"fnv", fnv1a(f.bytes)}});
    }
    if (!file.empty()) {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        for (const SentFrame& f : frames) {
            out.write(reinterpret_cast<const char*>(f.bytes.data()),
                      static_cast<std::streamsize>(f.bytes.size()));
        }
        if (!out) {
            return Json{{"ok", false}, {"error", "cannot write " + file}};
        }
    }
    return Json{{"ok", true}, {"stream", stream}, {"frames", list}};
}
