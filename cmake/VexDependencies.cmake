# Every dependency comes from Debian 12 packages (scripts/install-deps.sh installs them).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET
  libavformat libavcodec libavutil libswscale libswresample libavdevice)
pkg_check_modules(UDEV REQUIRED IMPORTED_TARGET libudev)
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)
pkg_check_modules(DLIB REQUIRED IMPORTED_TARGET dlib-1)

# Debian splits OpenCV into per-module packages; only the umbrella package ships the
# pkg-config file, and it drags in every module. Find the three modules we use directly.
find_path(VEX_OPENCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
add_library(VexOpenCV INTERFACE)
target_include_directories(VexOpenCV SYSTEM INTERFACE ${VEX_OPENCV_INCLUDE_DIR})
foreach(_mod core imgproc dnn)
  find_library(VEX_OPENCV_${_mod}_LIBRARY opencv_${_mod} REQUIRED)
  target_link_libraries(VexOpenCV INTERFACE ${VEX_OPENCV_${_mod}_LIBRARY})
endforeach()

find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Network WebSockets Test)

if(VEX_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(VEX_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
