#pragma once

// A backend that passes everything to another one and writes into an event log when a
// camera's extension unit is bound and when the last holder lets it go. A receiver holds
// the unit of its camera for as long as it lives, so the log shows when receivers go away,
// in one order with whatever else the test writes into the same log.
//
// Threading: any thread (the log is guarded by its mutex).

#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <mutex>

#include "KXPlatform.h"

class EventLog {
public:
    void add(const QString& event);
    QStringList events() const;
    int indexOf(const QString& event, int from = 0) const;
    void clear();

private:
    mutable std::mutex _mutex;
    QStringList _events;  // guarded by _mutex
};

class ObservedPlatform : public KXPlatform {
public:
    ObservedPlatform(std::shared_ptr<KXPlatform> inner, std::shared_ptr<EventLog> log);

    bool usbDevices(std::vector<KXUsbDevice>& out) override;
    bool captureDevices(KXDeviceClass deviceClass, std::vector<KXCaptureDevice>& out) override;
    std::unique_ptr<KXCaptureFilter> bindFilter(const KXCaptureDevice& device) override;
    bool resolveVideoInput(const KXVideoInputRequest& request, KXCaptureInput& out) override;
    bool resolveAudioInput(const std::string& friendlyName, KXCaptureInput& out) override;
    std::unique_ptr<KXHotplugSource> openHotplugSource() override;

private:
    std::shared_ptr<KXPlatform> _inner;
    std::shared_ptr<EventLog> _log;
    // Numbers the units; filters are bound on the search thread and the interface thread.
    std::shared_ptr<std::atomic<int>> _nextUnit = std::make_shared<std::atomic<int>>(0);
};
