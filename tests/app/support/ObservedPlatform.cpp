#include "ObservedPlatform.h"

namespace {

class ObservedUnit : public KXExtensionUnit {
public:
    ObservedUnit(std::shared_ptr<KXControlInterface> inner, std::shared_ptr<EventLog> log, int id)
        : _inner(std::move(inner)), _log(std::move(log)), _id(id) {
        _log->add(QStringLiteral("unit %1 bound").arg(_id));
    }
    ~ObservedUnit() override { _log->add(QStringLiteral("unit %1 released").arg(_id)); }

    int query(KXXuQuery query, uint8_t selector, uint8_t data[4]) override {
        auto* unit = dynamic_cast<KXExtensionUnit*>(_inner.get());
        return unit ? unit->query(query, selector, data) : -1;
    }

private:
    std::shared_ptr<KXControlInterface> _inner;
    std::shared_ptr<EventLog> _log;
    const int _id;
};

class ObservedFilter : public KXCaptureFilter {
public:
    ObservedFilter(std::unique_ptr<KXCaptureFilter> inner, std::shared_ptr<EventLog> log,
                   std::shared_ptr<std::atomic<int>> next)
        : _inner(std::move(inner)), _log(std::move(log)), _next(std::move(next)) {}

    const KXCaptureDevice& device() const override { return _inner->device(); }

    KXInterfaceResult queryInterface(KXControlInterfaceKind kind) override {
        KXInterfaceResult r = _inner->queryInterface(kind);
        if (kind == KXControlInterfaceKind::ExtensionUnit && r.interface)
            r.interface = std::make_shared<ObservedUnit>(r.interface, _log, ++*_next);
        return r;
    }

private:
    std::unique_ptr<KXCaptureFilter> _inner;
    std::shared_ptr<EventLog> _log;
    std::shared_ptr<std::atomic<int>> _next;
};

}  // namespace

void EventLog::add(const QString& event) {
    std::lock_guard<std::mutex> lock(_mutex);
    _events.append(event);
}

QStringList EventLog::events() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _events;
}

int EventLog::indexOf(const QString& event, int from) const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _events.indexOf(event, from);
}

void EventLog::clear() {
    std::lock_guard<std::mutex> lock(_mutex);
    _events.clear();
}

ObservedPlatform::ObservedPlatform(std::shared_ptr<KXPlatform> inner, std::shared_ptr<EventLog> log)
    : _inner(std::move(inner)), _log(std::move(log)) {}

bool ObservedPlatform::usbDevices(std::vector<KXUsbDevice>& out) {
    return _inner->usbDevices(out);
}

bool ObservedPlatform::captureDevices(KXDeviceClass deviceClass, std::vector<KXCaptureDevice>& out) {
    return _inner->captureDevices(deviceClass, out);
}

std::unique_ptr<KXCaptureFilter> ObservedPlatform::bindFilter(const KXCaptureDevice& device) {
    auto inner = _inner->bindFilter(device);
    if (!inner)
        return nullptr;
    return std::make_unique<ObservedFilter>(std::move(inner), _log, _nextUnit);
}

bool ObservedPlatform::resolveVideoInput(const KXVideoInputRequest& request, KXCaptureInput& out) {
    return _inner->resolveVideoInput(request, out);
}

bool ObservedPlatform::resolveAudioInput(const std::string& friendlyName, KXCaptureInput& out) {
    return _inner->resolveAudioInput(friendlyName, out);
}

std::unique_ptr<KXHotplugSource> ObservedPlatform::openHotplugSource() {
    return _inner->openHotplugSource();
}
