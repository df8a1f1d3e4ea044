#include "SimCameraRig.h"

#include <QByteArray>
#include <QtGlobal>

#include <cmath>
#include <cstdlib>

#include "KXPlatformExports.h"

namespace {

constexpr uint16_t kFirmwareFirstRegister = 0x80;
constexpr uint16_t kModelNameFirstRegister = 0x1A8;

uint16_t byteAt(const std::string& hex, size_t i) {
    return static_cast<uint16_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
}

}  // namespace

SimCameraRig::SimCameraRig() {
    _hadSim = qEnvironmentVariableIsSet("VEXSDK_SIM");
    _previousSim = qgetenv("VEXSDK_SIM");
    qputenv("VEXSDK_SIM", QByteArray::fromStdString(_sim.socketPath()));
    KXPlatformInstall(nullptr);
}

SimCameraRig::~SimCameraRig() {
    if (_hadSim)
        qputenv("VEXSDK_SIM", _previousSim);
    else
        qunsetenv("VEXSDK_SIM");
    KXPlatformInstall(nullptr);
}

SimServer::Capability SimCameraRig::capability(const std::string& subtype, int width, int height,
                                               double fps) {
    SimServer::Capability c;
    c.subtype = subtype;
    c.width = width;
    c.height = height;
    c.minInterval = static_cast<int64_t>(std::llround(1e7 / fps));
    c.maxInterval = c.minInterval;
    c.inputFormat = subtype == "H264" ? "h264" : "mjpeg";
    c.inputUrl = "tcp://127.0.0.1:9";  // never opened by these tests
    return c;
}

SimServer::Capability SimCameraRig::defaultCapability() {
    return capability("MJPG", 1920, 1080, 30.0);
}

std::string SimCameraRig::devicePath(const CameraSpec& camera) {
    return SimServer::devicePathFor(camera.vid, camera.pid, location(camera));
}

USB_DeviceInfo SimCameraRig::searchRecord(const CameraSpec& camera) {
    USB_DeviceInfo info;
    info.locationIdentity = QString::fromStdString(location(camera));
    info.portInfo = QStringLiteral("Port_#0004.Hub_#0002");
    info.portPath = QStringLiteral("pci-0000:00:14.0-usb-0:2.4:1.0");
    info.modelName = QStringLiteral("ZM-150");
    info.deviceModeInt = 9;
    info.vid = QString::fromStdString(camera.vid);
    info.pid = QString::fromStdString(camera.pid);
    info.friendlyName = QString::fromStdString(camera.friendlyName);
    info.deviceDesc = info.friendlyName;
    info.serial = QString::fromStdString(camera.serial);
    return info;
}

void SimCameraRig::plug(const CameraSpec& camera, bool announce) {
    _sim.addUsbDevice(SimServer::usbDeviceEntry(camera.vid, camera.pid, camera.busPort, camera.serial));
    _sim.addUsbDevice(
        SimServer::usbInterfaceEntry(camera.vid, camera.pid, camera.busPort, 0, camera.friendlyName));
    _sim.addUsbDevice(SimServer::usbInterfaceEntry(camera.vid, camera.pid, camera.busPort, 2, "USB Audio"));

    SimServer::Camera c;
    c.friendlyName = camera.friendlyName;
    c.devicePath = devicePath(camera);
    c.capabilities = camera.capabilities;
    if (!camera.reportedName.empty()) {
        for (size_t i = 0; i < camera.reportedName.size(); ++i)
            c.registers[static_cast<uint16_t>(kModelNameFirstRegister + i)] =
                static_cast<uint8_t>(camera.reportedName[i]);
    } else {
        for (size_t i = 0; i < camera.firmware.size(); ++i)
            c.registers[static_cast<uint16_t>(kFirmwareFirstRegister + i)] =
                static_cast<uint8_t>(camera.firmware[i]);
    }
    _sim.addCamera(c, announce);
}

void SimCameraRig::unplug(const CameraSpec& camera, bool announce) {
    _sim.removeUsbDevices(camera.busPort);
    _sim.removeCamera(devicePath(camera), announce);
}

void SimCameraRig::loseCaptureDevice(const CameraSpec& camera) {
    _sim.removeCamera(devicePath(camera), false);
}

std::vector<std::pair<uint16_t, uint16_t>> SimCameraRig::writes(const CameraSpec& camera) const {
    std::vector<std::pair<uint16_t, uint16_t>> out;
    const std::string path = devicePath(camera);
    for (const kxjson::Json& request : _sim.journal()) {
        if (kxjson::text(request, "op") != "xu" || kxjson::text(request, "query") != "set_cur" ||
            kxjson::text(request, "device_path") != path)
            continue;
        const std::string data = kxjson::text(request, "data");
        if (data.size() != 8)
            continue;
        const auto reg = static_cast<uint16_t>(byteAt(data, 0) | (byteAt(data, 2) << 8));
        const auto value = static_cast<uint16_t>(byteAt(data, 4) | (byteAt(data, 6) << 8));
        if (reg != 0)
            out.emplace_back(reg, value);
    }
    return out;
}
