// The installed library as a host program meets it: the two library packages' files
// (cmake --install of the components libvexsdk1 and libvexsdk-dev) in a staging folder
// (DESTDIR), the example host program compiled against them with pkg-config and with CMake's
// find_package, and run against a simulated camera that streams a generated clip.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "MediaTestSupport.h"
#include "SimLocalCamera.h"

namespace {

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

class InstalledExampleTest : public ::testing::Test {
protected:
    // The camera is listed on the USB bus as well as among the capture devices.
    void SetUp() override {
        ASSERT_TRUE(_camera.serve(SimLocalCamera::mjpegRecipe(320, 240)));
        SimLocalCamera::Setup setup;
        setup.onBus = true;
        _camera.plug(setup);
    }

    // Runs a shell command with its output in a log file; answers its exit status.
    int shell(const std::string& command) {
        const std::string log = _stage.file("command.log");
        const int status = std::system((command + " > " + quoted(log) + " 2>&1").c_str());
        _lastOutput = readFile(log);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int install(const std::string& component) {
        return shell("DESTDIR=" + quoted(_stage.path()) + " " + quoted(VEX_CMAKE_COMMAND) + " --install " +
                     quoted(VEX_BUILD_DIR) + " --component " + component);
    }

    // Where the installed files lie in the staging folder.
    std::string staged(const std::string& relative) const {
        return _stage.path() + VEX_INSTALL_PREFIX + "/" + relative;
    }

    // Runs the example against the simulator and the staged library only.
    int runExample(const std::string& program) {
        return shell("VEXSDK_SIM=" + quoted(_camera.socketPath()) +
                     " LD_LIBRARY_PATH=" + quoted(staged(VEX_INSTALL_LIBDIR)) + " " + quoted(program));
    }

    SimLocalCamera _camera;
    MediaTempFolder _stage;
    std::string _lastOutput;
};

}  // namespace

TEST_F(InstalledExampleTest, ExampleBuildsWithPkgConfigAndCMakeAndPullsTenFrames) {
    ASSERT_EQ(install("libvexsdk1"), 0) << _lastOutput;
    ASSERT_EQ(install("libvexsdk-dev"), 0) << _lastOutput;

    const std::string libdir = staged(VEX_INSTALL_LIBDIR);
    for (const std::string& file :
         {libdir + "/libvexsdk.so.1", libdir + "/libvexsdk.so", libdir + "/pkgconfig/vexsdk.pc",
          libdir + "/cmake/vexsdk/vexsdkConfig.cmake", libdir + "/cmake/vexsdk/vexsdkConfigVersion.cmake",
          staged("include/vexsdk.h"), staged("share/vexsdk/models/deploy.prototxt"),
          staged("lib/udev/rules.d/70-vexsdk.rules")}) {
        EXPECT_TRUE(exists(file)) << file;
    }
    EXPECT_NE(readFile(staged("lib/udev/rules.d/70-vexsdk.rules"))
                  .find("SUBSYSTEM==\"video4linux\", ATTRS{idVendor}==\"1d4d\", TAG+=\"uaccess\""),
              std::string::npos);
    // Only the development package has the link name; the run-time library has its SONAME.
    ASSERT_EQ(shell("readelf -d " + quoted(libdir + "/libvexsdk.so.1")), 0);
    EXPECT_NE(_lastOutput.find("Library soname: [libvexsdk.so.1]"), std::string::npos) << _lastOutput;

    // pkg-config sees only the staged package.
    const std::string pkgConfig = "PKG_CONFIG_LIBDIR=" + quoted(libdir + "/pkgconfig") + " pkg-config";
    ASSERT_EQ(shell(pkgConfig + " --modversion vexsdk"), 0) << _lastOutput;
    EXPECT_EQ(_lastOutput, "1.0.0\n");
    const std::string program = _stage.file("host");
    ASSERT_EQ(shell(quoted(VEX_CXX_COMPILER) + " -std=c++17 " + VEX_EXAMPLE_FLAGS + " " +
                    quoted(VEX_EXAMPLE_SOURCE_DIR "/host.cpp") + " $(" + pkgConfig +
                    " --cflags --libs vexsdk) -o " + quoted(program)),
              0)
        << _lastOutput;
    ASSERT_EQ(runExample(program), 0) << _lastOutput;
    EXPECT_NE(_lastOutput.find("video device: ZM-150 Camera"), std::string::npos) << _lastOutput;
    EXPECT_NE(_lastOutput.find("frame 10: 320x240"), std::string::npos) << _lastOutput;
    EXPECT_NE(_lastOutput.find("10 frames\n"), std::string::npos) << _lastOutput;

    // find_package(vexsdk) gives vexsdk::vexsdk.
    const std::string build = _stage.file("cmake-build");
    ASSERT_EQ(shell(quoted(VEX_CMAKE_COMMAND) + " -S " + quoted(VEX_EXAMPLE_SOURCE_DIR) + " -B " +
                    quoted(build) + " -DCMAKE_PREFIX_PATH=" + quoted(staged("")) + " -DCMAKE_CXX_COMPILER=" +
                    quoted(VEX_CXX_COMPILER) + " -DCMAKE_CXX_FLAGS=" + quoted(VEX_EXAMPLE_FLAGS) +
                    " -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF"),
              0)
        << _lastOutput;
    ASSERT_EQ(shell(quoted(VEX_CMAKE_COMMAND) + " --build " + quoted(build)), 0) << _lastOutput;
    ASSERT_EQ(runExample(build + "/host"), 0) << _lastOutput;
    EXPECT_NE(_lastOutput.find("10 frames\n"), std::string::npos) << _lastOutput;
}
