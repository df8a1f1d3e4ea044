# Installation (cmake --install) and the Debian packages (make package, CPack DEB).
#
# Four install components, one package each:
#   libvexsdk1     the shared library (SONAME libvexsdk.so.1), the face models, the udev rule
#   libvexsdk-dev  the link name, vexsdk.h, vexsdk.pc and the CMake package (vexsdk::vexsdk)
#   vantorreda     the application, its desktop entry, icon and manual page
#   vexctl         the command-line tool and its manual page
# Every package carries its copyright file and changelog in /usr/share/doc/<package>.
include(CMakePackageConfigHelpers)

set(VEX_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(VEX_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vexsdk)
set(VEX_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
  "Where the udev rule goes, relative to the install prefix (udev reads /usr/lib/udev/rules.d)")
set(VEX_COMPONENTS libvexsdk1 libvexsdk-dev vantorreda vexctl)

# --- libvexsdk-dev: pkg-config and CMake package -------------------------------------------
set(_vex_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH VEX_PC_TO_PREFIX /prefix/${_vex_pc_dir} /prefix)
string(REGEX REPLACE "/$" "" VEX_PC_TO_PREFIX "${VEX_PC_TO_PREFIX}")
configure_file(${VEX_PACKAGING_DIR}/vexsdk.pc.in ${CMAKE_BINARY_DIR}/packaging/vexsdk.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/vexsdk.pc DESTINATION ${_vex_pc_dir} COMPONENT libvexsdk-dev)

install(EXPORT vexsdkTargets NAMESPACE vexsdk:: DESTINATION ${VEX_CMAKE_PACKAGE_DIR} COMPONENT libvexsdk-dev)
configure_package_config_file(${VEX_PACKAGING_DIR}/vexsdkConfig.cmake.in
  ${CMAKE_BINARY_DIR}/packaging/vexsdkConfig.cmake INSTALL_DESTINATION ${VEX_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/vexsdkConfigVersion.cmake
  VERSION ${VEXSDK_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/vexsdkConfig.cmake ${CMAKE_BINARY_DIR}/packaging/vexsdkConfigVersion.cmake
  DESTINATION ${VEX_CMAKE_PACKAGE_DIR} COMPONENT libvexsdk-dev)

# --- libvexsdk1: the udev rule --------------------------------------------------------------
install(FILES ${VEX_PACKAGING_DIR}/70-vexsdk.rules DESTINATION ${VEX_UDEV_RULES_DIR} COMPONENT libvexsdk1)

# --- manual pages, compressed as Debian installs them ----------------------------------------
find_program(VEX_GZIP gzip REQUIRED)
function(vex_man_page source name component)
  set(_page ${CMAKE_BINARY_DIR}/packaging/${name})
  set(VERSION ${PROJECT_VERSION})
  configure_file(${source} ${_page} @ONLY)
  add_custom_command(OUTPUT ${_page}.gz
    COMMAND ${VEX_GZIP} -9nc ${_page} > ${_page}.gz
    DEPENDS ${_page} VERBATIM)
  add_custom_target(vex_man_${name} ALL DEPENDS ${_page}.gz)
  install(FILES ${_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()

# --- vantorreda -----------------------------------------------------------------------------
if(TARGET VantorReda)
  install(TARGETS VantorReda RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vantorreda)
  install(FILES ${VEX_PACKAGING_DIR}/vantorreda.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT vantorreda)
  install(FILES ${PROJECT_SOURCE_DIR}/app/resources/icons/Vantor.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps RENAME vantorreda.png COMPONENT vantorreda)
  vex_man_page(${VEX_PACKAGING_DIR}/VantorReda.1 VantorReda.1 vantorreda)
endif()

# --- vexctl ---------------------------------------------------------------------------------
if(TARGET vexctl)
  install(TARGETS vexctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vexctl)
  vex_man_page(${PROJECT_SOURCE_DIR}/tools/vexctl/vexctl.1 vexctl.1 vexctl)
endif()

# --- copyright and changelog of every package -----------------------------------------------
set(VERSION ${PROJECT_VERSION})
configure_file(${VEX_PACKAGING_DIR}/changelog ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND ${VEX_GZIP} -9nc ${CMAKE_BINARY_DIR}/packaging/changelog > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog VERBATIM)
add_custom_target(vex_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
foreach(_component ${VEX_COMPONENTS})
  install(FILES ${VEX_PACKAGING_DIR}/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_component} COMPONENT ${_component})
endforeach()

# --- CPack: Debian packages -----------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexsdk)
set(CPACK_PACKAGE_VENDOR "VantorReda")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "VantorReda developers <vexsdk@users.noreply.github.com>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://github.com/VantorReda/vexsdk")
# The packages install where this build was configured to (make package configures /usr).
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${VEX_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Dependencies on system libraries come from dpkg-shlibdeps; it finds libvexsdk.so.1 in this
# build, and the dependency on its package is stated below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/DC_lib)
set(_vex_same "libvexsdk1 (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_LIBVEXSDK1_PACKAGE_NAME libvexsdk1)
set(CPACK_DEBIAN_LIBVEXSDK1_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBVEXSDK1_PACKAGE_RECOMMENDS "libdlib-data")
set(CPACK_COMPONENT_LIBVEXSDK1_DESCRIPTION "library for USB PTZ conference cameras
vexsdk finds USB pan/tilt/zoom conference cameras (vendor 1d4d), identifies
their model, sends their pan, tilt, zoom, focus and preset commands through
the camera's USB extension unit, and receives, decodes and records their
picture and sound. It also offers face tracking and a small client for Shure
microphone arrays.

This package holds the shared library, the face-detector models and a udev
rule that gives the logged-in user access to the supported cameras.")
# The run-time library registers itself with the dynamic linker's cache, and host packages
# may depend on it through its shlibs entry.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
file(WRITE ${CMAKE_BINARY_DIR}/packaging/libvexsdk1/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIBVEXSDK1_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/libvexsdk1/triggers)

set(CPACK_DEBIAN_LIBVEXSDK-DEV_PACKAGE_NAME libvexsdk-dev)
set(CPACK_DEBIAN_LIBVEXSDK-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBVEXSDK-DEV_PACKAGE_DEPENDS "${_vex_same}")
set(CPACK_COMPONENT_LIBVEXSDK-DEV_DESCRIPTION "library for USB PTZ conference cameras - development files
vexsdk finds, controls and records USB pan/tilt/zoom conference cameras
(vendor 1d4d).

This package holds the header vexsdk.h, the pkg-config file vexsdk.pc and
the CMake package (find_package(vexsdk) gives the target vexsdk::vexsdk).")

set(CPACK_DEBIAN_VANTORREDA_PACKAGE_NAME vantorreda)
set(CPACK_DEBIAN_VANTORREDA_PACKAGE_DEPENDS "${_vex_same}")
set(CPACK_COMPONENT_VANTORREDA_DESCRIPTION "control station for USB PTZ conference cameras
VantorReda is a tray application that connects a USB pan/tilt/zoom
conference camera and follows the talker in the room: it links to a ceiling
microphone array over the network and recalls the camera preset linked to
the place where someone speaks.")

set(CPACK_DEBIAN_VEXCTL_PACKAGE_NAME vexctl)
set(CPACK_DEBIAN_VEXCTL_PACKAGE_DEPENDS "${_vex_same}")
set(CPACK_COMPONENT_VEXCTL_DESCRIPTION "command-line control of USB PTZ conference cameras
vexctl lists the attached USB pan/tilt/zoom conference cameras (vendor
1d4d), moves, zooms and focuses them, calls and saves presets, takes
pictures, records, follows a Shure microphone array and runs face tracking,
for scripts and room-control systems (with JSON output).")

include(CPack)
