#include "MediaTestSupport.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <unistd.h>

MediaTempFile::MediaTempFile(const std::string& suffix) {
    static std::atomic<int> counter{0};
    _path = (std::filesystem::temp_directory_path() / ("vexsdk-media-" + std::to_string(::getpid()) + "-" +
                                                       std::to_string(counter.fetch_add(1)) + suffix))
                .string();
}

MediaTempFile::~MediaTempFile() {
    std::remove(_path.c_str());
}
