# Every dependency comes from Debian 12 packages (scripts/install-deps.sh installs them).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET
  libavformat libavcodec libavutil libswscale libswresample libavdevice)
pkg_check_modules(UDEV REQUIRED IMPORTED_TARGET libudev)
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)
pkg_check_modules(DLIB REQUIRED dlib-1)
# dlib's pkg-config file names its BLAS and LAPACK as bare file paths, which CMake puts in
# front of the objects on the link line; the landmark predictor's headers call LAPACK
# directly, so those libraries must come after our objects. Link them as libraries.
find_library(VEX_DLIB_LIBRARY dlib HINTS ${DLIB_LIBRARY_DIRS} REQUIRED)
find_library(VEX_LAPACK_LIBRARY lapack REQUIRED)
find_library(VEX_BLAS_LIBRARY blas REQUIRED)
add_library(VexDlib INTERFACE)
target_link_libraries(VexDlib INTERFACE ${VEX_DLIB_LIBRARY} ${VEX_LAPACK_LIBRARY} ${VEX_BLAS_LIBRARY} Threads::Threads)

# Debian splits OpenCV into per-module packages; only the umbrella package ships the
# pkg-config file, and it drags in every module. Find the three modules we use directly.
find_path(VEX_OPENCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
add_library(VexOpenCV INTERFACE)
target_include_directories(VexOpenCV SYSTEM INTERFACE ${VEX_OPENCV_INCLUDE_DIR})
foreach(_mod core imgproc dnn)
  find_library(VEX_OPENCV_${_mod}_LIBRARY opencv_${_mod} REQUIRED)
  target_link_libraries(VexOpenCV INTERFACE ${VEX_OPENCV_${_mod}_LIBRARY})
endforeach()

# The simulator line protocol's JSON (header-only).
find_package(nlohmann_json 3.11 REQUIRED)

find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Network WebSockets Test)

if(VEX_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(VEX_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
