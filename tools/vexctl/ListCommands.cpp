// vexctl's listings: the cameras attached and the video formats of one.

#include <list>

#include "FormatChoice.h"
#include "Subcommand.h"

namespace vexctl {
namespace {

int runList(Context& ctx, const Subcommand&, const VexctlCamera*, const std::vector<std::string>&) {
    std::vector<VexctlCamera> cameras;
    std::string error;
    if (!VexctlListCameras(cameras, error)) {
        return fail(error);
    }
    std::vector<VexctlFields> rows;
    std::string text = cameras.empty() ? "no supported camera attached"
                                       : VexctlFormat("%-5s  %-16s  %-18s  %-10s  %s", "INDEX", "LOCATION",
                                                      "MODEL", "FIRMWARE", "VIDEO DEVICE");
    for (const VexctlCamera& c : cameras) {
        VexctlCameraSession session(c);
        std::string firmware;
        if (session.discover(false, std::nullopt, error)) {
            session.bind();
            int result = 0;
            readFirmware(session.receiver(), firmware, result);
        }
        rows.push_back(VexctlFields()
                           .number("index", c.index)
                           .text("location", c.location)
                           .text("vendor_id", c.vendorId)
                           .text("product_id", c.productId)
                           .number("model_code", c.modelCode)
                           .text("model", c.modelName)
                           .text("firmware", firmware)
                           .text("friendly_name", c.friendlyName)
                           .text("video_node", c.videoNode)
                           .text("video_name", c.videoName));
        const std::string model = std::to_string(c.modelCode) + " " + c.modelName;
        const std::string device = c.videoNode.empty() ? c.videoName : c.videoNode + " (" + c.videoName + ")";
        text += VexctlFormat("\n%-5d  %-16s  %-18s  %-10s  %s", c.index, c.location.c_str(), model.c_str(),
                             firmware.empty() ? "-" : firmware.c_str(), device.c_str());
    }
    VexctlPrint(ctx.line.json, VexctlJsonArray(rows), text);
    return kExitOk;
}

int runFormats(Context& ctx, const Subcommand&, const VexctlCamera* camera, const std::vector<std::string>&) {
    VexctlCameraSession session(*camera);
    std::string error;
    if (!session.discover(false, std::nullopt, error)) {
        return fail(error);
    }
    std::vector<VexctlFields> rows;
    std::string text = VexctlFormat("%-5s  %-11s  %-8s  %s", "INDEX", "SIZE", "FPS", "FORMAT");
    for (const DC_VideoFormat& f : session.formats().videoFormatList) {
        rows.push_back(VexctlFields()
                           .number("index", f.index)
                           .number("width", f.width)
                           .number("height", f.height)
                           .fixed("frame_rate", f.frameRate, 3)
                           .number("format", f.format)
                           .text("format_name", VexctlFormatName(f.format)));
        const std::string size = std::to_string(f.width) + "x" + std::to_string(f.height);
        text += VexctlFormat("\n%-5d  %-11s  %-8.3f  %s", f.index, size.c_str(), f.frameRate,
                             VexctlFormatName(f.format));
    }
    printResult(ctx, *camera, VexctlFields().raw("formats", VexctlJsonArray(rows)), text);
    return kExitOk;
}

}  // namespace

std::vector<Subcommand> listCommands() {
    return {
        {"list",
         false,
         0,
         {},
         {},
         "vexctl list [--json]",
         "Lists the supported cameras attached: index, location identity, model (code and name),\n"
         "firmware version and video device.",
         runList},
        {"formats",
         true,
         0,
         {},
         {},
         "vexctl formats [CAMERA] [--json]",
         "Lists the camera's video formats with the index that --format takes.",
         runFormats},
    };
}

}  // namespace vexctl
