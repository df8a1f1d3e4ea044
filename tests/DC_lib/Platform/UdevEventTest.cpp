// The Linux hot-plug translation on property sets as a udev monitor delivers them for a UVC
// camera: its capture node and its metadata node arrive, then both leave.

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Platform/linux/KXHotplugTracker.h"

namespace {

using Properties = std::map<std::string, std::string>;

const std::string kInterface = "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.4/1-2.4:1.0";
const std::string kCapturePath =
    "\\\\?\\usb#vid_1d4d&pid_6009&mi_00#1&2.4&1&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";

// `udevadm monitor --udev --property` of a camera plugged in: the capture node first.
Properties addedCaptureNode() {
    return {{"ACTION", "add"},
            {"DEVPATH", kInterface + "/video4linux/video0"},
            {"SUBSYSTEM", "video4linux"},
            {"DEVNAME", "/dev/video0"},
            {"SEQNUM", "4521"},
            {"USEC_INITIALIZED", "73158129311"},
            {"ID_V4L_VERSION", "2"},
            {"ID_V4L_PRODUCT", "ZM-150: Camera"},
            {"ID_V4L_CAPABILITIES", ":capture:"},
            {"ID_VENDOR_ID", "1d4d"},
            {"ID_MODEL_ID", "6009"},
            {"ID_REVISION", "0100"},
            {"ID_USB_INTERFACES", ":0e0100:0e0200:010100:010200:"},
            {"ID_USB_INTERFACE_NUM", "00"},
            {"ID_USB_DRIVER", "uvcvideo"},
            {"ID_PATH", "pci-0000:00:14.0-usb-0:2.4:1.0"},
            {"ID_PATH_TAG", "pci-0000_00_14_0-usb-0_2_4_1_0"},
            {"MAJOR", "81"},
            {"MINOR", "0"},
            {"TAGS", ":uaccess:seat:"}};
}

// The same camera's metadata node: same interface, no capture capability.
Properties addedMetadataNode() {
    Properties p = addedCaptureNode();
    p["DEVPATH"] = kInterface + "/video4linux/video1";
    p["DEVNAME"] = "/dev/video1";
    p["SEQNUM"] = "4523";
    p["ID_V4L_CAPABILITIES"] = ":";
    p["MINOR"] = "1";
    return p;
}

// A removal as the kernel reports it once the device is gone: no ID_* properties.
Properties removed(const std::string& node, const std::string& seqnum) {
    return {{"ACTION", "remove"},
            {"DEVPATH", kInterface + "/video4linux/" + node},
            {"SUBSYSTEM", "video4linux"},
            {"DEVNAME", "/dev/" + node},
            {"SEQNUM", seqnum},
            {"MAJOR", "81"},
            {"MINOR", node == "video0" ? "0" : "1"}};
}

// What sysfs answers while the camera is plugged: both nodes sit on the camera's interface.
struct Sysfs {
    std::optional<std::string> operator()(const std::string& node) {
        asked.push_back(node);
        if (!present || (node != "video0" && node != "video1")) {
            return std::nullopt;
        }
        return kCapturePath;
    }
    bool present = true;
    std::vector<std::string> asked;
};

}  // namespace

TEST(UdevEvents, CameraNodesArriveAndLeaveAsOneCaptureBroadcast) {
    KXHotplugTracker tracker;
    Sysfs sysfs;
    auto names = [&sysfs](const std::string& node) { return sysfs(node); };

    auto arrival = tracker.onUdevEvent(addedCaptureNode(), names);
    ASSERT_TRUE(arrival);
    EXPECT_EQ(arrival->kind, KXHotplugEvent::Kind::Arrival);
    EXPECT_EQ(arrival->deviceType, 5);
    EXPECT_EQ(arrival->classGuid, "{65E8773D-8F56-11D0-A3B9-00A0C9223196}");
    EXPECT_EQ(arrival->name, kCapturePath);

    // The metadata node resolves to the same interface but is no capture node.
    EXPECT_FALSE(tracker.onUdevEvent(addedMetadataNode(), names));
    EXPECT_EQ(sysfs.asked, (std::vector<std::string>{"video0"}));

    // Unplugged: sysfs no longer knows the nodes, the removals carry no ID_* properties.
    sysfs.present = false;
    EXPECT_FALSE(tracker.onUdevEvent(removed("video1", "4530"), names));
    auto removal = tracker.onUdevEvent(removed("video0", "4531"), names);
    ASSERT_TRUE(removal);
    EXPECT_EQ(removal->kind, KXHotplugEvent::Kind::Removal);
    EXPECT_EQ(removal->name, kCapturePath);
    EXPECT_EQ(sysfs.asked.size(), 1u);  // a removal never asks sysfs
}

TEST(UdevEvents, NodesPresentAtStartLeaveByTheirRememberedName) {
    KXHotplugTracker tracker;
    tracker.remember(KXHotplugTracker::syspathOf(kInterface + "/video4linux/video0"), kCapturePath);
    auto removal = tracker.onUdevEvent(removed("video0", "77"), {});
    ASSERT_TRUE(removal);
    EXPECT_EQ(removal->name, kCapturePath);
    EXPECT_FALSE(tracker.onUdevEvent(removed("video0", "78"), {}));  // announced once
}

TEST(UdevEvents, EventsThatAreNoCameraArrivalGiveNothing) {
    KXHotplugTracker tracker;
    Sysfs sysfs;
    auto names = [&sysfs](const std::string& node) { return sysfs(node); };

    // A capture node that is not on a USB camera (sysfs gives no capture path).
    Properties builtIn = addedCaptureNode();
    builtIn["DEVPATH"] = "/devices/platform/vivid.0/video4linux/video7";
    EXPECT_FALSE(tracker.onUdevEvent(builtIn, names));
    // A change of a known node, an event without a path, an empty set.
    tracker.onUdevEvent(addedCaptureNode(), names);
    Properties change = addedCaptureNode();
    change["ACTION"] = "change";
    EXPECT_FALSE(tracker.onUdevEvent(change, names));
    Properties noPath = addedCaptureNode();
    noPath.erase("DEVPATH");
    EXPECT_FALSE(tracker.onUdevEvent(noPath, names));
    EXPECT_FALSE(tracker.onUdevEvent({}, names));
    // The change did not make the node forget its name.
    EXPECT_TRUE(tracker.onUdevEvent(removed("video0", "9"), names));
}
