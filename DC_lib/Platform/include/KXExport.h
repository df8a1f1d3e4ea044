#pragma once

// Visibility of the few platform-layer names that cross the boundary of libvexsdk.so.
//
// The library is built with hidden symbols by default. The platform layer lives once per
// process, inside the library; the interface classes whose objects cross the boundary (a
// backend a test installs, a hot-plug source the application watches) and the functions of
// KXPlatformExports.h carry default visibility, so that both sides agree on one type
// identity and one set of functions.
#define KX_PLATFORM_EXPORT __attribute__((visibility("default")))
