// One platform layer per process: the application reaches the platform only through the
// calls vexsdk exports, so a backend the application installs is the one the library's
// discovery and command channel use.
#include <QTest>

#include <dlfcn.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "KXPlatformExports.h"
#include "UsbSearch.h"
#include "vexsdk.h"

namespace {

const char* kDevicePath =
    "\\\\?\\usb#vid_1d4d&pid_6009&mi_00#1&2.4&1&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";

// A camera whose register channel answers a firmware version that names model 9.
class RegisterUnit : public KXExtensionUnit {
public:
    RegisterUnit() {
        const char* firmware = "KPH1";
        for (uint16_t i = 0; firmware[i] != '\0'; ++i)
            _registers[static_cast<uint16_t>(0x80 + i)] = firmware[i];
    }
    int query(KXXuQuery query, uint8_t, uint8_t data[4]) override {
        std::lock_guard<std::mutex> lock(_mutex);
        ++_queries;
        const auto reg = static_cast<uint16_t>(data[0] | (data[1] << 8));
        const auto value = static_cast<uint16_t>(data[2] | (data[3] << 8));
        if (query == KXXuQuery::SetCur) {
            if (reg == 0)
                _selected = value;
            else
                _registers[reg] = value;
            return 0;
        }
        const uint16_t answer = _registers[_selected];
        data[0] = data[1] = 0;
        data[2] = static_cast<uint8_t>(answer & 0xFF);
        data[3] = static_cast<uint8_t>(answer >> 8);
        return 0;
    }
    int queries() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _queries;
    }

private:
    mutable std::mutex _mutex;
    std::map<uint16_t, uint16_t> _registers;  // guarded by _mutex
    uint16_t _selected = 0;                   // guarded by _mutex
    int _queries = 0;                         // guarded by _mutex
};

class OneCameraFilter : public KXCaptureFilter {
public:
    OneCameraFilter(KXCaptureDevice device, std::shared_ptr<RegisterUnit> unit)
        : _device(std::move(device)), _unit(std::move(unit)) {}
    const KXCaptureDevice& device() const override { return _device; }
    KXInterfaceResult queryInterface(KXControlInterfaceKind kind) override {
        KXInterfaceResult r;
        if (kind == KXControlInterfaceKind::ExtensionUnit)
            r.interface = _unit;
        else
            r.interface = std::make_shared<KXControlInterface>();
        return r;
    }

private:
    KXCaptureDevice _device;
    std::shared_ptr<RegisterUnit> _unit;
};

// A backend of the application's own, installed for the whole process.
class ApplicationPlatform : public KXPlatform {
public:
    bool usbDevices(std::vector<KXUsbDevice>& out) override {
        KXUsbDevice d;
        d.instanceId = "USB\\VID_1D4D&PID_6009&MI_00\\1&2.4&1&0000";
        d.hardwareIds = {"USB\\VID_1D4D&PID_6009&REV_0100&MI_00"};
        d.friendlyName = "Application's camera";
        out.push_back(d);
        ++walks;
        return true;
    }
    bool captureDevices(KXDeviceClass deviceClass, std::vector<KXCaptureDevice>& out) override {
        if (deviceClass == KXDeviceClass::Video)
            out.push_back(device());
        return true;
    }
    std::unique_ptr<KXCaptureFilter> bindFilter(const KXCaptureDevice& d) override {
        return std::make_unique<OneCameraFilter>(d, unit);
    }
    bool resolveVideoInput(const KXVideoInputRequest&, KXCaptureInput&) override { return false; }
    bool resolveAudioInput(const std::string&, KXCaptureInput&) override { return false; }
    std::unique_ptr<KXHotplugSource> openHotplugSource() override { return nullptr; }

    static KXCaptureDevice device() {
        KXCaptureDevice d;
        d.friendlyName = "Application's camera";
        d.devicePath = kDevicePath;
        d.interfaces = {"camera_control", "extension_unit", "video_processing"};
        KXVideoCapability c;
        c.subtype = "MJPG";
        c.width = 1280;
        c.height = 720;
        c.minIntervalHns = c.maxIntervalHns = 333333;
        d.videoCapabilities = {c};
        return d;
    }

    std::shared_ptr<RegisterUnit> unit = std::make_shared<RegisterUnit>();
    int walks = 0;
};

QString objectFileOf(void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr)
        return QString();
    return QString::fromLocal8Bit(info.dli_fname);
}

}  // namespace

class TstPlatformInstance : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { KXPlatformInstall(nullptr); }
    void exportedPlatformCallsLiveInTheLibrary();
    void platformSetByTheApplicationIsTheLibrarysOwn();
};

void TstPlatformInstance::exportedPlatformCallsLiveInTheLibrary() {
    // Were the layer linked into the application as well, these would resolve to the
    // application's own copy.
    for (void* call :
         {reinterpret_cast<void*>(&KXPlatformInstall), reinterpret_cast<void*>(&KXPlatformCurrent),
          reinterpret_cast<void*>(&KXPlatformUsbDevices),
          reinterpret_cast<void*>(&KXPlatformOpenHotplugSource)}) {
        const QString file = objectFileOf(call);
        QVERIFY2(file.contains(QLatin1String("libvexsdk.so")), qPrintable(file));
    }
}

void TstPlatformInstance::platformSetByTheApplicationIsTheLibrarysOwn() {
    auto platform = std::make_shared<ApplicationPlatform>();
    KXPlatformInstall(platform);
    QCOMPARE(KXPlatformCurrent().get(), static_cast<KXPlatform*>(platform.get()));

    // The library's discovery lists the application's camera...
    DC_Find find;
    find.initialize();  // false here: the backend lists no microphone
    DC_SourceText url{strdup("1&2.4&1&0000"), 13};
    DC_SourceText videoName{};
    DC_CaptureFormats formats;
    formats.url = &url;
    formats.videoDeviceName = &videoName;
    find.getSources(&formats);
    QCOMPARE(formats.videoDeviceList, (std::list<std::string>{"Application's camera"}));
    QVERIFY(videoName.source && std::strstr(videoName.source, "1&2.4&1&0000"));
    std::free(url.source);
    std::free(videoName.source);

    // ...and the application's search walks it through the library and identifies the
    // camera through the same backend's command channel.
    UsbSearch search;
    QList<USB_DeviceInfo> found;
    connect(&search, &UsbSearch::signal_GetUSBCameras, this,
            [&found](QList<USB_DeviceInfo> list) { found = list; });
    search.start();
    QVERIFY(search.wait(10000));
    QTRY_COMPARE(found.size(), 1);
    QCOMPARE(found.at(0).modelName, QStringLiteral("ZM-150"));
    QCOMPARE(found.at(0).friendlyName, QStringLiteral("Application's camera"));
    QCOMPARE(platform->walks, 1);
    QVERIFY(platform->unit->queries() > 0);

    // Removing it gives the library the environment's choice again.
    KXPlatformInstall(nullptr);
    QVERIFY(KXPlatformCurrent().get() != static_cast<KXPlatform*>(platform.get()));
}

QTEST_GUILESS_MAIN(TstPlatformInstance)
#include "tst_PlatformInstance.moc"
