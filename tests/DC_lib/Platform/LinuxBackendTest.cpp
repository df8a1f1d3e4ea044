#include <gtest/gtest.h>

#include <linux/videodev2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "KXPlatformExports.h"
#include "LogCapture.h"
#include "Platform/linux/KXHotplugTracker.h"
#include "Platform/linux/KXLinuxPlatform.h"
#include "Platform/linux/KXSysfsUsb.h"
#include "Platform/linux/KXUvcDescriptors.h"
#include "Platform/linux/KXV4L2Enum.h"
#include "vexsdk.h"

namespace fs = std::filesystem;

namespace {

// A sysfs tree in a temporary folder, shaped like the kernel's: real folders under
// devices/, symlinks under bus/usb/devices and class/video4linux.
class SysfsFixture {
public:
    SysfsFixture() {
        char folder[] = "/tmp/vexsysfs-XXXXXX";
        root = ::mkdtemp(folder);
    }
    ~SysfsFixture() { fs::remove_all(root); }

    std::string device(const std::string& parentRelative, const std::string& name,
                       const std::map<std::string, std::string>& attributes) {
        std::string rel = parentRelative + "/" + name;
        fs::create_directories(root + "/" + rel);
        for (const auto& [file, text] : attributes) {
            std::ofstream(root + "/" + rel + "/" + file) << text << "\n";
        }
        fs::create_directories(root + "/bus/usb/devices");
        fs::create_symlink("../../../" + rel, root + "/bus/usb/devices/" + name);
        return rel;
    }

    void videoNode(const std::string& interfaceRel, const std::string& node, const std::string& card) {
        std::string dir = root + "/" + interfaceRel + "/video4linux/" + node;
        fs::create_directories(dir);
        std::ofstream(dir + "/name") << card << "\n";
        fs::create_symlink("../..", dir + "/device");
        fs::create_directories(root + "/class/video4linux");
        fs::create_symlink("../../" + interfaceRel + "/video4linux/" + node,
                           root + "/class/video4linux/" + node);
    }

    std::string root;
};

class SysfsUsbTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string host = "devices/pci0000:00/0000:00:14.0";
        std::string usb1 =
            fx.device(host, "usb1", {{"idVendor", "1d6b"}, {"idProduct", "0002"}, {"devnum", "1"}});
        std::string hub =
            fx.device(usb1, "1-2", {{"idVendor", "05e3"}, {"idProduct", "0610"}, {"devnum", "2"}});
        // Camera one: composite, interfaces 0 (video control) and 2 (audio).
        std::string cam = fx.device(hub, "1-2.4",
                                    {{"idVendor", "1d4d"},
                                     {"idProduct", "6009"},
                                     {"bcdDevice", "0100"},
                                     {"devnum", "5"},
                                     {"product", "ZM-150 Camera"}});
        std::string vc =
            fx.device(cam, "1-2.4:1.0", {{"bInterfaceNumber", "00"}, {"interface", "ZM-150 Video"}});
        fx.device(cam, "1-2.4:1.2", {{"bInterfaceNumber", "02"}});
        fx.videoNode(vc, "video0", "ZM-150: Camera");
        // Camera two: another product id, a serial number, no strings but the card name.
        std::string cam2 = fx.device(usb1, "1-3",
                                     {{"idVendor", "1d4d"},
                                      {"idProduct", "600F"},
                                      {"bcdDevice", "0200"},
                                      {"devnum", "3"},
                                      {"serial", "ABC123"}});
        std::string vc2 = fx.device(cam2, "1-3:1.0", {{"bInterfaceNumber", "00"}});
        fx.videoNode(vc2, "video2", "Cam Two");
        // Something unrelated.
        std::string other = fx.device(
            usb1, "1-5",
            {{"idVendor", "046d"}, {"idProduct", "c52b"}, {"devnum", "4"}, {"product", "Receiver"}});
        fx.device(other, "1-5:1.0", {{"bInterfaceNumber", "00"}});
    }

    const KXUsbDevice* find(const std::vector<KXUsbDevice>& all, const std::string& id) {
        for (const KXUsbDevice& d : all) {
            if (d.instanceId == id) {
                return &d;
            }
        }
        return nullptr;
    }

    SysfsFixture fx;
};

TEST(UsbIdentity, TextsOfAnInterfaceAndADevice) {
    auto name = kxusb::parseUsbName("1-2.4:1.0");
    ASSERT_TRUE(name);
    EXPECT_EQ(kxusb::locationIdentity(*name), "1&2.4&1&0000");
    EXPECT_EQ(kxusb::interfaceInstanceId("1d4d", "6009", *name),
              "USB\\VID_1D4D&PID_6009&MI_00\\1&2.4&1&0000");
    EXPECT_EQ(kxusb::hardwareId("1d4d", "6009", "0100", *name), "USB\\VID_1D4D&PID_6009&REV_0100&MI_00");
    EXPECT_EQ(
        kxusb::captureDevicePath("1D4D", "6009", *name),
        "\\\\?\\usb#vid_1d4d&pid_6009&mi_00#1&2.4&1&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global");
    EXPECT_EQ(kxusb::locationInformation(*name, 2), "Port_#0004.Hub_#0002");
    EXPECT_EQ(kxusb::locationPath("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.4/1-2.4:1.0", *name),
              "pci-0000:00:14.0-usb-0:2.4:1.0");

    auto wide = kxusb::parseUsbName("3-1.10:2.11");
    ASSERT_TRUE(wide);
    EXPECT_EQ(kxusb::locationIdentity(*wide), "3&1.10&2&000b");
    EXPECT_EQ(kxusb::interfaceInstanceId("1d4d", "6009", *wide),
              "USB\\VID_1D4D&PID_6009&MI_0B\\3&1.10&2&000B");

    auto device = kxusb::parseUsbName("1-2.4");
    ASSERT_TRUE(device);
    EXPECT_EQ(kxusb::deviceInstanceId("1d4d", "6009", "", *device), "USB\\VID_1D4D&PID_6009\\1&2.4");
    EXPECT_EQ(kxusb::deviceInstanceId("1d4d", "6009", "SN1", *device), "USB\\VID_1D4D&PID_6009\\SN1");

    for (const char* bad : {"usb1", "1-", "-2", "1-2..4", "1-2.4:1", "1-2.4:x.0", "1-99999999999",
                            "1-2:1.300", "a-2", "1-2.4:1.0:0"}) {
        EXPECT_FALSE(kxusb::parseUsbName(bad)) << bad;
    }
}

TEST_F(SysfsUsbTest, WalkGivesEveryDeviceAndInterfaceWithTheirProperties) {
    std::vector<KXUsbDevice> all;
    ASSERT_TRUE(kxusb::SysfsUsb(fx.root).walk(all));
    EXPECT_EQ(all.size(), 8u);  // the root hub is left out

    const KXUsbDevice* vc = find(all, "USB\\VID_1D4D&PID_6009&MI_00\\1&2.4&1&0000");
    ASSERT_NE(vc, nullptr);
    ASSERT_EQ(vc->hardwareIds.size(), 2u);
    EXPECT_EQ(vc->hardwareIds[0], "USB\\VID_1D4D&PID_6009&REV_0100&MI_00");
    EXPECT_EQ(vc->friendlyName, "ZM-150 Camera");
    EXPECT_EQ(vc->description, "ZM-150 Video");
    EXPECT_EQ(vc->locationInformation, "Port_#0004.Hub_#0002");
    ASSERT_TRUE(vc->locationPaths);
    EXPECT_EQ(vc->locationPaths->front(), "pci-0000:00:14.0-usb-0:2.4:1.0");

    const KXUsbDevice* audio = find(all, "USB\\VID_1D4D&PID_6009&MI_02\\1&2.4&1&0002");
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->description, "ZM-150 Camera");  // no interface string: the product string

    EXPECT_NE(find(all, "USB\\VID_1D4D&PID_6009\\1&2.4"), nullptr);
    const KXUsbDevice* two = find(all, "USB\\VID_1D4D&PID_600F\\ABC123");
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(two->locationInformation, "Port_#0003.Hub_#0001");
    EXPECT_FALSE(two->friendlyName);

    const KXUsbDevice* twoVc = find(all, "USB\\VID_1D4D&PID_600F&MI_00\\1&3&1&0000");
    ASSERT_NE(twoVc, nullptr);
    EXPECT_EQ(twoVc->friendlyName, "Cam Two");  // no product string: the card name
    EXPECT_FALSE(twoVc->description);

    EXPECT_NE(find(all, "USB\\VID_046D&PID_C52B&MI_00\\1&5&1&0000"), nullptr);
}

// A camera behind two hubs: its location names the port on the nearer hub and that hub's own
// device number, not the first hub's.
TEST_F(SysfsUsbTest, CameraBehindTwoHubsNamesItsNearestHub) {
    const std::string outer = "devices/pci0000:00/0000:00:14.0/usb1/1-2";
    std::string inner =
        fx.device(outer, "1-2.3", {{"idVendor", "05e3"}, {"idProduct", "0610"}, {"devnum", "7"}});
    std::string cam =
        fx.device(inner, "1-2.3.1",
                  {{"idVendor", "1d4d"}, {"idProduct", "6009"}, {"bcdDevice", "0100"}, {"devnum", "9"}});
    std::string vc = fx.device(cam, "1-2.3.1:1.0", {{"bInterfaceNumber", "00"}});
    fx.videoNode(vc, "video6", "Deep Camera");

    std::vector<KXUsbDevice> all;
    ASSERT_TRUE(kxusb::SysfsUsb(fx.root).walk(all));
    const KXUsbDevice* deep = find(all, "USB\\VID_1D4D&PID_6009&MI_00\\1&2.3.1&1&0000");
    ASSERT_NE(deep, nullptr);
    EXPECT_EQ(deep->locationInformation, "Port_#0001.Hub_#0007");
    ASSERT_TRUE(deep->locationPaths);
    EXPECT_EQ(deep->locationPaths->front(), "pci-0000:00:14.0-usb-0:2.3.1:1.0");
    const KXUsbDevice* device = find(all, "USB\\VID_1D4D&PID_6009\\1&2.3.1");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->locationInformation, "Port_#0001.Hub_#0007");
    const KXUsbDevice* hub = find(all, "USB\\VID_05E3&PID_0610\\1&2.3");
    ASSERT_NE(hub, nullptr);
    EXPECT_EQ(hub->locationInformation, "Port_#0003.Hub_#0002");  // the hub itself, on the outer hub
    EXPECT_EQ(
        kxusb::SysfsUsb(fx.root).capturePathOfNode("video6"),
        "\\\\?\\usb#vid_1d4d&pid_6009&mi_00#1&2.3.1&1&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global");
}

TEST_F(SysfsUsbTest, CaptureNodesMapToTheirDevicePath) {
    kxusb::SysfsUsb usb(fx.root);
    EXPECT_EQ(
        usb.capturePathOfNode("video0"),
        "\\\\?\\usb#vid_1d4d&pid_6009&mi_00#1&2.4&1&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global");
    EXPECT_EQ(usb.capturePathOfNode("video2"),
              "\\\\?\\usb#vid_1d4d&pid_600f&mi_00#1&3&1&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global");
    EXPECT_FALSE(usb.capturePathOfNode("video9"));

    std::vector<KXUsbDevice> none;
    EXPECT_FALSE(kxusb::SysfsUsb(fx.root + "/missing").walk(none));
}

// --- extension-unit descriptors -----------------------------------------------------------

std::vector<uint8_t> extensionUnit(uint8_t id, const uint8_t guid[16]) {
    std::vector<uint8_t> d = {0x1A, 0x24, 0x06, id};
    d.insert(d.end(), guid, guid + 16);
    const uint8_t tail[] = {0x08, 0x01, 0x02, 0x01, 0xFF, 0x00};  // controls, one pin, 1-byte bitmap
    d.insert(d.end(), tail, tail + sizeof tail);
    return d;
}

std::vector<uint8_t> cameraDescriptors(bool withWanted = true) {
    const uint8_t other[16] = {0x94, 0x73, 0xDF, 0xDD, 0x3E, 0x97, 0x27, 0x47,
                               0xBE, 0xD9, 0x04, 0xED, 0x64, 0x26, 0xDC, 0x67};
    std::vector<uint8_t> d = {
        0x12, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 0x40, 0x4D, 0x1D, 0x09, 0x60, 0x00, 0x01, 0x01,
        0x02, 0x00, 0x01, 0x09, 0x02, 0x00, 0x01, 0x03, 0x01, 0x00, 0x80, 0xFA,  // configuration
        0x08, 0x0B, 0x00, 0x02, 0x0E, 0x03, 0x00, 0x02,                          // interface association
        0x09, 0x04, 0x00, 0x00, 0x01, 0x0E, 0x01, 0x00, 0x02,                    // interface 0: video control
        0x0D, 0x24, 0x01, 0x00, 0x01, 0x4D, 0x00, 0x80, 0xC3, 0xC9, 0x01, 0x01, 0x01,  // VC header
        0x12, 0x24, 0x02, 0x01, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03,
        0x0E, 0x00, 0x00, 0x0B, 0x24, 0x05, 0x02, 0x01, 0x00, 0x00, 0x02, 0x7F, 0x15, 0x00,  // processing
                                                                                             // unit
    };
    auto first = extensionUnit(3, other);
    d.insert(d.end(), first.begin(), first.end());
    if (withWanted) {
        auto wanted = extensionUnit(6, kxuvc::kCommandUnitGuid);
        d.insert(d.end(), wanted.begin(), wanted.end());
    }
    const uint8_t tail[] = {
        0x09, 0x24, 0x03, 0x07, 0x01, 0x01, 0x00, 0x06, 0x00,  // output terminal
        0x07, 0x05, 0x83, 0x03, 0x10, 0x00, 0x06,              // interrupt endpoint
        0x09, 0x04, 0x01, 0x00, 0x00, 0x0E, 0x02, 0x00, 0x00,  // interface 1: video streaming
    };
    d.insert(d.end(), tail, tail + sizeof tail);
    return d;
}

TEST(UvcDescriptors, FindsTheCommandUnitAmongSeveralUnits) {
    auto d = cameraDescriptors();
    EXPECT_EQ(kxuvc::findExtensionUnit(d.data(), d.size(), kxuvc::kCommandUnitGuid, -1), 6);
    EXPECT_EQ(kxuvc::findExtensionUnit(d.data(), d.size(), kxuvc::kCommandUnitGuid, 0), 6);
    EXPECT_EQ(kxuvc::findExtensionUnit(d.data(), d.size(), kxuvc::kCommandUnitGuid, 2),
              -1);  // another interface
}

// The wanted unit as the very last descriptor of the block: its last byte is the block's last
// byte, which the length check must still accept.
TEST(UvcDescriptors, FindsTheCommandUnitWhenItEndsTheBlock) {
    auto d = cameraDescriptors(false);
    const size_t vcEnd = 18 + 9 + 8 + 9 + 13 + 18 + 11 + 26;  // through the other unit
    d.resize(vcEnd);
    auto wanted = extensionUnit(4, kxuvc::kCommandUnitGuid);
    d.insert(d.end(), wanted.begin(), wanted.end());
    EXPECT_EQ(kxuvc::findExtensionUnit(d.data(), d.size(), kxuvc::kCommandUnitGuid, 0), 4);
    // One byte short of it, the unit is truncated and not found.
    EXPECT_EQ(kxuvc::findExtensionUnit(d.data(), d.size() - 1, kxuvc::kCommandUnitGuid, 0), -1);

    // The smallest unit a device may describe (no controls, no source pins) at the very end.
    std::vector<uint8_t> minimal(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(vcEnd));
    const uint8_t header[] = {0x14, 0x24, 0x06, 0x08};
    minimal.insert(minimal.end(), header, header + sizeof header);
    minimal.insert(minimal.end(), kxuvc::kCommandUnitGuid, kxuvc::kCommandUnitGuid + 16);
    EXPECT_EQ(kxuvc::findExtensionUnit(minimal.data(), minimal.size(), kxuvc::kCommandUnitGuid, -1), 8);
}

TEST(UvcDescriptors, WrongGuidTruncationAndGarbageFindNothing) {
    auto without = cameraDescriptors(false);
    EXPECT_EQ(kxuvc::findExtensionUnit(without.data(), without.size(), kxuvc::kCommandUnitGuid, -1), -1);

    auto d = cameraDescriptors();
    // Cut inside the wanted unit: its declared length runs past the end.
    size_t cut = 18 + 9 + 8 + 9 + 13 + 18 + 11 + 26 + 10;
    EXPECT_EQ(kxuvc::findExtensionUnit(d.data(), cut, kxuvc::kCommandUnitGuid, -1), -1);
    for (size_t n = 0; n < d.size(); ++n) {  // every prefix is safe to parse
        kxuvc::findExtensionUnit(d.data(), n, kxuvc::kCommandUnitGuid, -1);
    }
    // A zero length stops the walk instead of spinning on it.
    auto zero = d;
    zero[18] = 0;
    EXPECT_EQ(kxuvc::findExtensionUnit(zero.data(), zero.size(), kxuvc::kCommandUnitGuid, -1), -1);
    // The GUID inside a video-streaming interface is not a control unit.
    std::vector<uint8_t> streaming = {0x09, 0x04, 0x01, 0x00, 0x00, 0x0E, 0x02, 0x00, 0x00};
    auto unit = extensionUnit(9, kxuvc::kCommandUnitGuid);
    streaming.insert(streaming.end(), unit.begin(), unit.end());
    EXPECT_EQ(kxuvc::findExtensionUnit(streaming.data(), streaming.size(), kxuvc::kCommandUnitGuid, -1), -1);
    EXPECT_EQ(kxuvc::findExtensionUnit(nullptr, 10, kxuvc::kCommandUnitGuid, -1), -1);
}

// --- hot-plug ----------------------------------------------------------------------------

TEST(HotplugTracker, CaptureNodesArriveAndLeaveByTheirRememberedName) {
    KXHotplugTracker t;
    t.remember("/sys/devices/x/video4", "\\\\?\\usb#old");
    EXPECT_FALSE(t.onEvent("add", "/sys/devices/x/video1", ":meta:", "\\\\?\\usb#meta"));
    EXPECT_FALSE(t.onEvent("add", "/sys/devices/x/video3", ":capture:", ""));  // not a USB camera
    auto arrival = t.onEvent("add", "/sys/devices/x/video0", ":capture:", "\\\\?\\usb#cam");
    ASSERT_TRUE(arrival);
    EXPECT_EQ(arrival->kind, KXHotplugEvent::Kind::Arrival);
    EXPECT_EQ(arrival->deviceType, 5);
    EXPECT_EQ(arrival->classGuid, "{65E8773D-8F56-11D0-A3B9-00A0C9223196}");
    EXPECT_EQ(arrival->name, "\\\\?\\usb#cam");

    // Removal events carry no ID_* properties.
    auto removal = t.onEvent("remove", "/sys/devices/x/video0", "", "");
    ASSERT_TRUE(removal);
    EXPECT_EQ(removal->kind, KXHotplugEvent::Kind::Removal);
    EXPECT_EQ(removal->name, "\\\\?\\usb#cam");
    EXPECT_FALSE(t.onEvent("remove", "/sys/devices/x/video0", "", ""));  // only once
    EXPECT_FALSE(t.onEvent("remove", "/sys/devices/x/video1", "", ""));  // never announced
    auto startup = t.onEvent("remove", "/sys/devices/x/video4", "", "");
    ASSERT_TRUE(startup);
    EXPECT_EQ(startup->name, "\\\\?\\usb#old");
    EXPECT_FALSE(t.onEvent("change", "/sys/devices/x/video4", ":capture:", "n"));
}

// --- V4L2 enumeration over a scripted driver ---------------------------------------------

struct FakeDriver {
    uint32_t deviceCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    int calls = 0;
};

int fakeIoctl(int, unsigned long request, void* arg, void* context) {
    auto* driver = static_cast<FakeDriver*>(context);
    if (++driver->calls > 10000) {
        return -1;
    }
    if (request == VIDIOC_QUERYCAP) {
        auto* cap = static_cast<v4l2_capability*>(arg);
        std::strcpy(reinterpret_cast<char*>(cap->card), "ZM-150: Camera");
        cap->capabilities = V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE;
        cap->device_caps = driver->deviceCaps;
        return 0;
    }
    if (request == VIDIOC_ENUM_FMT) {
        auto* f = static_cast<v4l2_fmtdesc*>(arg);
        const uint32_t formats[] = {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_H264};
        if (f->index >= 3) {
            return -1;
        }
        f->pixelformat = formats[f->index];
        return 0;
    }
    if (request == VIDIOC_ENUM_FRAMESIZES) {
        auto* s = static_cast<v4l2_frmsizeenum*>(arg);
        if (s->pixel_format == V4L2_PIX_FMT_MJPEG && s->index < 2) {
            s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
            s->discrete.width = s->index == 0 ? 1920 : 1280;
            s->discrete.height = s->index == 0 ? 1080 : 720;
            return 0;
        }
        if (s->pixel_format == V4L2_PIX_FMT_YUYV && s->index == 0) {
            s->type = V4L2_FRMSIZE_TYPE_STEPWISE;
            s->stepwise = {160, 640, 16, 120, 480, 16};
            return 0;
        }
        if (s->pixel_format == V4L2_PIX_FMT_H264 && s->index == 0) {
            s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
            s->discrete.width = 1920;
            s->discrete.height = 1080;
            return 0;
        }
        return -1;
    }
    if (request == VIDIOC_ENUM_FRAMEINTERVALS) {
        auto* iv = static_cast<v4l2_frmivalenum*>(arg);
        if (iv->pixel_format == V4L2_PIX_FMT_MJPEG && iv->width == 1920 && iv->index < 3) {
            const uint32_t rates[] = {15, 30, 25};
            iv->type = V4L2_FRMIVAL_TYPE_DISCRETE;
            iv->discrete = {1, rates[iv->index]};
            return 0;
        }
        if (iv->pixel_format == V4L2_PIX_FMT_MJPEG && iv->width == 1280 && iv->index == 0) {
            iv->type = V4L2_FRMIVAL_TYPE_STEPWISE;
            iv->stepwise.min = {1, 60};
            iv->stepwise.max = {1, 5};
            iv->stepwise.step = {1, 60};
            return 0;
        }
        if (iv->pixel_format == V4L2_PIX_FMT_YUYV && iv->width == 640 && iv->height == 480 &&
            iv->index == 0) {
            iv->type = V4L2_FRMIVAL_TYPE_DISCRETE;
            iv->discrete = {1, 30};
            return 0;
        }
        return -1;  // H.264 lists no intervals at all
    }
    return -1;
}

TEST(V4L2Enumeration, CapabilitiesFromDiscreteAndStepwiseLists) {
    FakeDriver driver;
    std::string card;
    ASSERT_TRUE(kxv4l2::queryCapture(3, fakeIoctl, &driver, card));
    EXPECT_EQ(card, "ZM-150: Camera");

    auto caps = kxv4l2::capabilities(3, fakeIoctl, &driver);
    ASSERT_EQ(caps.size(), 4u);
    EXPECT_EQ(caps[0].subtype, "MJPG");
    EXPECT_EQ(caps[0].width, 1920);
    EXPECT_EQ(caps[0].minIntervalHns, 333333);
    EXPECT_EQ(caps[0].maxIntervalHns, 666666);
    EXPECT_EQ(caps[1].height, 720);
    EXPECT_EQ(caps[1].minIntervalHns, 166666);
    EXPECT_EQ(caps[1].maxIntervalHns, 2000000);
    EXPECT_EQ(caps[2].subtype, "YUY2");
    EXPECT_EQ(caps[2].width, 640);  // a stepwise size reports its largest size
    EXPECT_EQ(caps[2].minIntervalHns, 333333);
    EXPECT_EQ(caps[3].subtype, "H264");
    EXPECT_EQ(caps[3].minIntervalHns, 0);  // no interval: left for discovery to drop

    driver.deviceCaps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;  // the metadata node
    EXPECT_FALSE(kxv4l2::queryCapture(3, fakeIoctl, &driver, card));

    EXPECT_EQ(kxv4l2::intervalHns(1, 0), 0);
    EXPECT_EQ(kxv4l2::intervalHns(1001, 30000), 333666);
}

TEST_F(SysfsUsbTest, CommandUnitIsFoundInTheNodesOwnVideoControlInterface) {
    kxusb::SysfsUsb usb(fx.root);
    EXPECT_EQ(usb.commandUnitOfNode("video0"), -1);  // no descriptors file yet
    auto blob = cameraDescriptors();
    std::string camDir = fx.root + "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.4";
    std::ofstream(camDir + "/descriptors", std::ios::binary)
        .write(reinterpret_cast<const char*>(blob.data()), static_cast<std::streamsize>(blob.size()));
    EXPECT_EQ(usb.commandUnitOfNode("video0"), 6);

    // The second camera's node sits on interface 0 too, but its device lacks the unit.
    auto without = cameraDescriptors(false);
    std::ofstream(fx.root + "/devices/pci0000:00/0000:00:14.0/usb1/1-3/descriptors", std::ios::binary)
        .write(reinterpret_cast<const char*>(without.data()), static_cast<std::streamsize>(without.size()));
    EXPECT_EQ(usb.commandUnitOfNode("video2"), -1);
    EXPECT_EQ(usb.commandUnitOfNode("video7"), -1);
}

// The real backend on whatever this machine has (build machines have no camera, often no
// sound card and no udev): every call must come back, and whatever it lists must be sane.
TEST(LinuxBackend, RunsOnTheRealSystemWhateverItHas) {
    KXLinuxPlatform platform;
    std::vector<KXCaptureDevice> video;
    std::vector<KXCaptureDevice> audio;
    ASSERT_TRUE(platform.captureDevices(KXDeviceClass::Video, video));
    ASSERT_TRUE(platform.captureDevices(KXDeviceClass::Audio, audio));
    for (const KXCaptureDevice& d : video) {
        EXPECT_TRUE(d.devicePath.has_value());
        EXPECT_EQ(d.node.rfind("/dev/video", 0), 0u);
    }
    for (const KXCaptureDevice& d : audio) {
        EXPECT_EQ(d.node.rfind("hw:", 0), 0u);
    }
    std::vector<KXUsbDevice> usb;
    platform.usbDevices(usb);
    KXCaptureInput in;
    EXPECT_FALSE(platform.resolveVideoInput({"@device_pnp_\\\\?\\usb#none", 1920, 1080, 4, 30.0}, in));
    EXPECT_FALSE(platform.resolveAudioInput("no such card", in));
    if (auto hotplug = platform.openHotplugSource()) {
        std::vector<KXHotplugEvent> events;
        EXPECT_GE(hotplug->fd(), 0);
        EXPECT_TRUE(hotplug->readEvents(events));  // never blocks
    }
}

TEST(LinuxBackend, CaptureNodeOpensThroughVideo4Linux2WithTheChosenFormat) {
    KXCaptureInput mjpeg = KXLinuxPlatform::videoInputFor("/dev/video2", {"x", 1920, 1080, 4, 30.0});
    EXPECT_EQ(mjpeg.format, "video4linux2");
    EXPECT_EQ(mjpeg.url, "/dev/video2");
    using Options = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(mjpeg.options,
              (Options{{"video_size", "1920x1080"}, {"framerate", "30.000000"}, {"input_format", "mjpeg"}}));
    KXCaptureInput h264 = KXLinuxPlatform::videoInputFor("/dev/video0", {"x", 1280, 720, 1, 15.000015});
    EXPECT_EQ(h264.options.back(), (std::pair<std::string, std::string>{"input_format", "h264"}));
    KXCaptureInput raw = KXLinuxPlatform::videoInputFor("/dev/video0", {"x", 0, 0, 0, 0.0});
    EXPECT_TRUE(raw.options.empty());  // nothing chosen: the driver's current format
}

// A microphone opens as the PCM that was probed, through the plug layer, at the probed rate
// and channel count: "hw:N" with the demuxer's 48 kHz stereo fails on a mono microphone, on
// one that offers only 16 kHz, and on every card whose capture PCM is not device 0.
TEST(LinuxBackend, MicrophoneOpensThroughThePlugLayerAtItsProbedFormat) {
    using Options = std::vector<std::pair<std::string, std::string>>;
    KXCaptureDevice mono;
    mono.friendlyName = "ZM-150 Camera";
    mono.node = "hw:2,1";
    mono.audioCapabilities = {KXAudioCapability{16000, 1, 16}};
    KXCaptureInput in = KXLinuxPlatform::audioInputFor(mono);
    EXPECT_EQ(in.format, "alsa");
    EXPECT_EQ(in.url, "plughw:2,1");
    EXPECT_EQ(in.options, (Options{{"sample_rate", "16000"}, {"channels", "1"}}));

    // Not probed (the PCM was busy): the plug layer converts from whatever the demuxer asks.
    KXCaptureDevice busy;
    busy.node = "hw:0,0";
    in = KXLinuxPlatform::audioInputFor(busy);
    EXPECT_EQ(in.url, "plughw:0,0");
    EXPECT_TRUE(in.options.empty());

    // Anything else is no ALSA node of the enumeration.
    for (const char* node :
         {"", "hw:1", "hw:,0", "hw:1,", "hw:a,0", "plughw:1,0", "hw:1,0,0", "hw:99999,0"}) {
        KXCaptureDevice odd;
        odd.node = node;
        EXPECT_TRUE(KXLinuxPlatform::audioInputFor(odd).url.empty()) << node;
    }
}

// --- the capture-node walk over a fixture --------------------------------------------------

// Scripted capture nodes: each path opens to its own descriptor and answers with its own
// formats (one discrete size and rate each); a path listed in `refused` fails to open with
// that errno.
struct ScriptedNodes {
    struct Format {
        uint32_t fourcc;
        uint32_t width;
        uint32_t height;
    };
    std::map<std::string, std::vector<Format>> formats;  // by node path
    std::map<std::string, int> refused;                  // by node path: errno
    std::map<std::string, std::string> cards;            // by node path; else a camera's
    std::vector<std::string> byFd;                       // fd - 100 -> node path

    static int open(const std::string& path, void* context) {
        auto* self = static_cast<ScriptedNodes*>(context);
        auto refusal = self->refused.find(path);
        if (refusal != self->refused.end()) {
            errno = refusal->second;
            return -1;
        }
        if (self->formats.count(path) == 0) {
            errno = ENOENT;
            return -1;
        }
        self->byFd.push_back(path);
        return 100 + static_cast<int>(self->byFd.size()) - 1;
    }
    static void close(int, void*) {}
    static int ioctl(int fd, unsigned long request, void* arg, void* context) {
        auto* self = static_cast<ScriptedNodes*>(context);
        const std::string& path = self->byFd.at(static_cast<size_t>(fd - 100));
        const std::vector<Format>& list = self->formats[path];
        if (request == VIDIOC_QUERYCAP) {
            auto* cap = static_cast<v4l2_capability*>(arg);
            const auto card = self->cards.find(path);
            std::strcpy(reinterpret_cast<char*>(cap->card),
                        card == self->cards.end() ? "ZM-150: Camera" : card->second.c_str());
            cap->capabilities = V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE;
            cap->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
            return 0;
        }
        if (request == VIDIOC_ENUM_FMT) {
            auto* f = static_cast<v4l2_fmtdesc*>(arg);
            if (f->index >= list.size()) {
                return -1;
            }
            f->pixelformat = list[f->index].fourcc;
            return 0;
        }
        if (request == VIDIOC_ENUM_FRAMESIZES) {
            auto* size = static_cast<v4l2_frmsizeenum*>(arg);
            for (const Format& f : list) {
                if (f.fourcc == size->pixel_format && size->index == 0) {
                    size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
                    size->discrete.width = f.width;
                    size->discrete.height = f.height;
                    return 0;
                }
            }
            return -1;
        }
        if (request == VIDIOC_ENUM_FRAMEINTERVALS) {
            auto* iv = static_cast<v4l2_frmivalenum*>(arg);
            if (iv->index != 0) {
                return -1;
            }
            iv->type = V4L2_FRMIVAL_TYPE_DISCRETE;
            iv->discrete = {1, 30};
            return 0;
        }
        return -1;
    }
    kxv4l2::DeviceCalls calls() {
        return kxv4l2::DeviceCalls{&ScriptedNodes::open, &ScriptedNodes::close, &ScriptedNodes::ioctl, this};
    }
};

// The application's program picture is a loopback device that announces capture once it is
// written to; the walk must never list it, or the program would be offered as a camera and
// could be fed back into itself.
TEST_F(SysfsUsbTest, TheProgramPicturesLoopbackDeviceIsNeverListedAsACamera) {
    fx.videoNode("devices/virtual", "video9", kxv4l2::kProgramCardLabel);
    fx.videoNode("devices/virtual", "video10", "Some Other Loopback");
    ScriptedNodes nodes;
    const std::string dev = "/fixture/dev";
    nodes.formats[dev + "/video0"] = {{V4L2_PIX_FMT_MJPEG, 1920, 1080}};
    nodes.formats[dev + "/video2"] = {{V4L2_PIX_FMT_MJPEG, 1280, 720}};
    nodes.formats[dev + "/video9"] = {{V4L2_PIX_FMT_YUYV, 1280, 720}};
    nodes.cards[dev + "/video9"] = kxv4l2::kProgramCardLabel;
    nodes.formats[dev + "/video10"] = {{V4L2_PIX_FMT_YUYV, 640, 480}};
    nodes.cards[dev + "/video10"] = "Some Other Loopback";
    KXLinuxPlatform platform(fx.root, dev, nodes.calls());

    std::vector<KXCaptureDevice> video;
    ASSERT_TRUE(platform.captureDevices(KXDeviceClass::Video, video));
    std::vector<std::string> listed;
    for (const KXCaptureDevice& d : video) listed.push_back(d.node);
    EXPECT_EQ(std::count(listed.begin(), listed.end(), dev + "/video9"), 0);
    // Only our own label is filtered: another program's virtual camera stays a source.
    EXPECT_EQ(std::count(listed.begin(), listed.end(), dev + "/video10"), 1);
    EXPECT_EQ(std::count(listed.begin(), listed.end(), dev + "/video0"), 1);
}

// A camera with two video-streaming interfaces has two capture nodes on one VideoControl
// interface, so both carry the same device path; its H.264 mode is offered by the second
// node only. Discovery lists every format of the camera, and the receiver opens the node that
// offers the chosen one.
TEST_F(SysfsUsbTest, CameraWithTwoCaptureNodesOpensTheNodeThatOffersTheChosenFormat) {
    std::string vc = fx.root + "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.4/1-2.4:1.0";
    fx.videoNode(vc.substr(fx.root.size() + 1), "video1", "ZM-150: Camera");
    ScriptedNodes nodes;
    const std::string dev = "/fixture/dev";
    nodes.formats[dev + "/video0"] = {{V4L2_PIX_FMT_MJPEG, 1920, 1080}};
    nodes.formats[dev + "/video1"] = {{V4L2_PIX_FMT_H264, 1920, 1080}, {V4L2_PIX_FMT_MJPEG, 640, 480}};
    nodes.formats[dev + "/video2"] = {{V4L2_PIX_FMT_MJPEG, 1280, 720}};  // the second camera
    KXLinuxPlatform platform(fx.root, dev, nodes.calls());

    const std::string path =
        "\\\\?\\usb#vid_1d4d&pid_6009&mi_00#1&2.4&1&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";
    std::vector<KXCaptureDevice> video;
    ASSERT_TRUE(platform.captureDevices(KXDeviceClass::Video, video));
    ASSERT_EQ(video.size(), 2u);  // one entry per camera, not per node
    EXPECT_EQ(video[0].devicePath, path);
    ASSERT_EQ(video[0].videoCapabilities.size(), 3u);
    EXPECT_EQ(video[0].videoCapabilities[0].subtype, "MJPG");
    EXPECT_EQ(video[0].videoCapabilities[1].subtype, "H264");
    EXPECT_EQ(video[0].videoCapabilities[2].width, 640);
    ASSERT_EQ(video[1].videoCapabilities.size(), 1u);

    KXCaptureInput in;
    ASSERT_TRUE(platform.resolveVideoInput({"@device_pnp_" + path, 1920, 1080, 1, 30.0}, in));
    EXPECT_EQ(in.url, dev + "/video1");
    EXPECT_EQ(in.options.back(), (std::pair<std::string, std::string>{"input_format", "h264"}));
    ASSERT_TRUE(platform.resolveVideoInput({"@device_pnp_" + path, 1920, 1080, 4, 30.0}, in));
    EXPECT_EQ(in.url, dev + "/video0");
    ASSERT_TRUE(platform.resolveVideoInput({"@device_pnp_" + path, 640, 480, 4, 30.0}, in));
    EXPECT_EQ(in.url, dev + "/video1");

    // Discovery through the library sees the camera's formats from both nodes.
    KXSetPlatform(std::make_shared<KXLinuxPlatform>(fx.root, dev, nodes.calls()));
    {
        DC_Find find;
        find.initialize();
        DC_CaptureFormats formats;
        DC_SourceText location{strdup("1&2.4&1&0000"), 13};
        DC_SourceText name{};
        DC_SourceText audio{};
        formats.url = &location;
        formats.videoDeviceName = &name;
        formats.audioDeviceName = &audio;
        find.getSources(&formats);
        EXPECT_EQ(formats.videoDeviceList.size(), 2u);
        ASSERT_EQ(formats.videoFormatList.size(), 3u);
        EXPECT_EQ(std::next(formats.videoFormatList.begin())->format, 1);  // H.264
        std::free(location.source);
        std::free(name.source);
        std::free(audio.source);
    }
    KXSetPlatform(nullptr);
}

// A node the user may not open is named, with the reason and what to do, once per process.
TEST_F(SysfsUsbTest, NodeThatCannotBeOpenedIsReportedOncePerProcess) {
    ScriptedNodes nodes;
    const std::string dev = "/fixture/refusing";
    nodes.formats[dev + "/video0"] = {{V4L2_PIX_FMT_MJPEG, 1920, 1080}};
    nodes.refused[dev + "/video2"] = EACCES;
    KXLinuxPlatform platform(fx.root, dev, nodes.calls());
    LogCapture log;
    for (int walk = 0; walk < 3; ++walk) {
        std::vector<KXCaptureDevice> video;
        ASSERT_TRUE(platform.captureDevices(KXDeviceClass::Video, video));
        EXPECT_EQ(video.size(), 1u);
    }
    EXPECT_EQ(log.count("warning: cannot open video node " + dev + "/video2: Permission denied"), 1);
    EXPECT_TRUE(log.contains("'video' group"));
    EXPECT_EQ(log.count("video0"), 0);
}

// A camera left out of the capture devices for want of access rights is told apart from one
// that is simply absent or that opens, whatever case its location identity is written in.
TEST_F(SysfsUsbTest, CameraAccessSaysWhichCameraThisUserMayNotOpen) {
    ScriptedNodes nodes;
    const std::string dev = "/fixture/access";
    nodes.formats[dev + "/video0"] = {{V4L2_PIX_FMT_MJPEG, 1920, 1080}};
    nodes.refused[dev + "/video2"] = EACCES;
    KXLinuxPlatform platform(fx.root, dev, nodes.calls());
    EXPECT_EQ(platform.cameraAccess("1&3&1&0000"), KXOpenFailure::NoPermission);
    EXPECT_EQ(platform.cameraAccess("1&3&1&0000"), KXOpenFailure::NoPermission);
    EXPECT_EQ(platform.cameraAccess("1&2.4&1&0000"), KXOpenFailure::None);
    EXPECT_EQ(platform.cameraAccess("1&9&1&0000"), KXOpenFailure::None);  // no such camera
    EXPECT_EQ(platform.cameraAccess(""), KXOpenFailure::None);

    nodes.refused[dev + "/video2"] = EPERM;
    KXSetPlatform(std::make_shared<KXLinuxPlatform>(fx.root, dev, nodes.calls()));
    EXPECT_EQ(KXCameraAccess("1&3&1&0000"), KXOpenFailure::NoPermission);
    EXPECT_EQ(KXCameraAccess(nullptr), KXOpenFailure::None);
    // Busy or gone is not a question of rights.
    nodes.refused[dev + "/video2"] = EBUSY;
    EXPECT_EQ(KXCameraAccess("1&3&1&0000"), KXOpenFailure::None);
    KXSetPlatform(nullptr);
}

}  // namespace
