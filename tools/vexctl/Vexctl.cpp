#include "Vexctl.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "AppClient.h"
#include "AppRequest.h"
#include "CameraDirectory.h"
#include "CameraSelection.h"
#include "CommandLine.h"
#include "Interrupt.h"
#include "Subcommand.h"

using namespace vexctl;

namespace {

// The command table: each topic's rows, in the order the overview lists them.
const std::vector<Subcommand>& subcommands() {
    static const std::vector<Subcommand> table = [] {
        std::vector<Subcommand> rows;
        for (std::vector<Subcommand> (*topic)() :
             {listCommands, controlCommands, mediaCommands, trackingCommands, viscaCommands}) {
            std::vector<Subcommand> more = topic();
            rows.insert(rows.end(), std::make_move_iterator(more.begin()),
                        std::make_move_iterator(more.end()));
        }
        return rows;
    }();
    return table;
}

void printOverview() {
    std::printf(
        "vexctl: control USB PTZ conference cameras (vendor 1d4d) from the command line.\n\n"
        "Usage: vexctl [--json] [--index N] SUBCOMMAND [CAMERA] ARGUMENTS...\n\n");
    for (const Subcommand& sub : subcommands()) {
        std::printf("  %s\n", sub.synopsis);
    }
    std::printf("  %s\n", VexctlAppSynopsis());
    std::printf(
        "\nCAMERA is a location identity as 'vexctl list' shows it, quoted in a shell because of\n"
        "its ampersands ('1&2.4&1&0000'); without it the camera is the one --index N names (list\n"
        "order), or the only one attached.\n"
        "--json prints the result as JSON. 'vexctl SUBCOMMAND --help' explains a subcommand.\n"
        "Exit status: 0 success; 1 a camera call or the operation failed (one line on stderr\n"
        "names the call and its answer); 2 a mistake on the command line.\n"
        "VEXSDK_SIM=SOCKET uses a simulated camera backend; VEXSDK_DEBUG=1 prints the library's log.\n");
}

void printHelp(const Subcommand& sub) {
    std::printf("Usage: %s\n\n%s\n", sub.synopsis, sub.help);
    if (sub.takesCamera) {
        std::printf("\nCAMERA: a location identity (see vexctl list); or --index N; or the only camera.\n");
    }
}

const Subcommand* findSubcommand(const std::string& name) {
    for (const Subcommand& sub : subcommands()) {
        if (name == sub.name) {
            return &sub;
        }
    }
    return nullptr;
}

}  // namespace

int VexctlMain(const std::vector<std::string>& args) {
    // `vexctl app ...` talks to the running application, not to a camera: its own options.
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i].size() > 1 && args[i][0] == '-') {
            continue;
        }
        if (args[i] == "app") {
            std::vector<std::string> rest(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(i));
            rest.insert(rest.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            return VexctlAppMain(rest);
        }
        break;
    }
    std::vector<std::string> allFlags;
    std::vector<std::string> allValued = {"--index"};
    for (const Subcommand& sub : subcommands()) {
        allFlags.insert(allFlags.end(), sub.flags.begin(), sub.flags.end());
        allValued.insert(allValued.end(), sub.valued.begin(), sub.valued.end());
    }
    Context ctx;
    std::string error;
    if (!VexctlParse(args, allFlags, allValued, ctx.line, error)) {
        return usage(nullptr, error);
    }
    if (ctx.line.subcommand == "help") {
        if (!ctx.line.positionals.empty() && ctx.line.positionals.front() == "app") {
            return VexctlAppMain({"--help"});
        }
        if (!ctx.line.positionals.empty()) {
            const Subcommand* sub = findSubcommand(ctx.line.positionals.front());
            if (sub == nullptr) {
                return usage(nullptr, "unknown subcommand \"" + ctx.line.positionals.front() + "\"");
            }
            printHelp(*sub);
            return kExitOk;
        }
        printOverview();
        return kExitOk;
    }
    if (ctx.line.subcommand.empty()) {
        if (ctx.line.help) {
            printOverview();
            return kExitOk;
        }
        return usage(nullptr, "no subcommand given");
    }
    const Subcommand* sub = findSubcommand(ctx.line.subcommand);
    if (sub == nullptr) {
        return usage(nullptr, "unknown subcommand \"" + ctx.line.subcommand + "\"");
    }
    if (ctx.line.help) {
        printHelp(*sub);
        return kExitOk;
    }
    for (const auto& [option, value] : ctx.line.options) {
        const bool own = std::find(sub->flags.begin(), sub->flags.end(), option) != sub->flags.end() ||
                         std::find(sub->valued.begin(), sub->valued.end(), option) != sub->valued.end();
        if (!own && !(option == "--index" && sub->takesCamera)) {
            return usage(sub, "option " + option + " does not apply here");
        }
    }
    if (auto it = ctx.line.options.find("--index"); it != ctx.line.options.end()) {
        int64_t index = 0;
        if (!VexctlParseInt(it->second, 0, 1000, index)) {
            return usage(sub, "--index takes a camera's index from vexctl list, not \"" + it->second + "\"");
        }
        ctx.index = static_cast<int>(index);
    }

    VexctlCameraName named;
    if (sub->takesCamera) {
        if (!VexctlSplitCamera(ctx.line.positionals, sub->needed, named, error)) {
            return usage(sub, error);
        }
    } else {
        if (!ctx.line.positionals.empty()) {
            return usage(sub, "too many arguments");
        }
    }

    VexctlInstallInterruptHandler();
    if (!sub->takesCamera) {
        return sub->run(ctx, *sub, nullptr, ctx.line.positionals);
    }
    std::vector<VexctlCamera> cameras;
    if (!VexctlListCameras(cameras, error)) {
        return fail(error);
    }
    VexctlCamera camera;
    if (!VexctlSelectCamera(cameras, named.location, ctx.index, camera, error)) {
        return fail(error);
    }
    return sub->run(ctx, *sub, &camera, named.rest);
}
