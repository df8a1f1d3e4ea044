#include "MediaTestSupport.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
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

MediaTempFolder::MediaTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vexsdk-folder-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) {
        _path = pattern;
    }
}

MediaTempFolder::~MediaTempFolder() {
    if (!_path.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(_path, ignored);
    }
}
