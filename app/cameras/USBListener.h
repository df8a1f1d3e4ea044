#pragma once

#include <QObject>
#include <QString>

#include <memory>

class KXHotplugSource;
class QSocketNotifier;
struct KXHotplugEvent;

// Turns the platform's capture-device arrivals and removals into the camera list's plug-in
// and plug-out signals, each carrying the camera's location identity. The platform's
// hot-plug source (a udev monitor on Linux, the simulator's watch) is watched by a socket
// notifier on the interface thread; without a source (no udev daemon, no simulator) the
// listener stays quiet.
//
// Threading: interface thread only (the notifier fires there; the source is read there).
class USBListener : public QObject {
    Q_OBJECT

public:
    explicit USBListener(QObject* parent = nullptr);
    ~USBListener() override;

    // Opens the platform's hot-plug source and starts watching it; false when there is none.
    bool startListening();
    bool isListening() const;

    // One broadcast record: an accepted arrival or removal emits its signal.
    void handleEvent(const KXHotplugEvent& message);

    // Accepts a record of the capture interface class naming interface 0 of a supported
    // camera. The location identity of the record is kept once its path could be split
    // (cleared first, so a record of another class or a malformed path leaves none).
    bool checkIsQuillonModel(const KXHotplugEvent& message);
    QString locationIdentity() const { return _locationIdentity; }

signals:
    void signal_deviceUSBPlugIn(QString deviceUSBPlugInLocationIdentity);
    void signal_deviceUSBPlugOut(QString deviceUSBPlugOutLocationIdentity);

private:
    void readEvents();
    void stopListening();

    std::unique_ptr<KXHotplugSource> _source;
    QSocketNotifier* _notifier = nullptr;  // child of this object while listening
    QString _locationIdentity;             // of the last record that got that far
};
