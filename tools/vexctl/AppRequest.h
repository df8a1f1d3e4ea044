#pragma once

// `vexctl app ...`: the command line of the subcommands that drive the running VantorReda
// through its control interface, read into one request before anything is opened.

#include <map>
#include <string>
#include <vector>

struct VexctlAppRequest {
    std::string method;         // empty for "events"
    std::string params = "{}";  // a JSON object
    // After the reply, stay connected this long (a timed movement: leaving earlier would
    // stop it), or until Ctrl+C when holdUntilInterrupted (an untimed movement), then send
    // stopMethod/stopParams.
    int holdMs = 0;
    bool holdUntilInterrupted = false;
    std::string stopMethod;
    std::string stopParams = "{}";
    // "events": print events until Ctrl+C, or until eventCount of them (0: no limit); only
    // those named in onlyEvents when it is not empty (eventCount counts those).
    bool watchEvents = false;
    int eventCount = 0;
    std::vector<std::string> onlyEvents;
    // "picture": after "picture.start", save pictureCount pictures (binary messages) as
    // pictureDir/picture-0001.jpg and on, then "picture.stop".
    int pictureCount = 0;
    std::string pictureDir;
};

// positionals: the words after "app"; options: "--for", "--count", "--only", "--camera",
// "--width", "--out"
// (others are the connection's). false with `error` on a mistake.
bool VexctlAppRequestFor(const std::vector<std::string>& positionals,
                         const std::map<std::string, std::string>& options, VexctlAppRequest& out,
                         std::string& error);

// The help text of `vexctl app`, and its line in vexctl's overview.
const char* VexctlAppHelp();
const char* VexctlAppSynopsis();
