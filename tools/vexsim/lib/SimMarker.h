#pragma once

// A small machine-readable marker in the top-left corner of a simulated camera's picture:
// which camera it is and whether its head is moving, so that a reader of a switched picture
// (the program output, on the rig) can tell every frame's camera and catch a frame taken
// during a move.
//
// The frame is seen as a grid of kColumns x kRows cells (cell sizes follow the frame's, so the
// marker reads the same after any scaling, even one that changes the aspect ratio). The
// marker is the first kCells cells of the top row: a start pattern light-dark-light, then
// five bits (the camera 0-15, high bit first, then "moving"), each bit as a pair of cells, the
// bit and its inverse, so a reader checks every bit on its own. Light cells are luma 235,
// dark ones 16, both without colour; a reader takes the mean of a cell's central half, which
// survives JPEG blocks and scaling blur.
//
// Plain functions; no state.

#include <cstdint>
#include <optional>

struct SimMarker {
    int camera = 0;  // 0..kMaxCamera
    bool moving = false;
    bool operator==(const SimMarker&) const = default;
};

namespace simmarker {

inline constexpr int kColumns = 64;
inline constexpr int kRows = 36;
inline constexpr int kCells = 13;
inline constexpr int kMaxCamera = 15;
// Below this a cell has fewer than two pixels a side and the marker is neither drawn nor read.
inline constexpr int kMinWidth = 2 * kColumns;
inline constexpr int kMinHeight = 2 * kRows;

// Draws `marker` into a planar 4:2:0 frame (chroma planes half size, rounded up). False, with
// nothing drawn, for a camera outside 0..kMaxCamera or a frame below the minimum size.
bool draw(const SimMarker& marker, int width, int height, uint8_t* y, int yStride, uint8_t* u, int uStride,
          uint8_t* v, int vStride);

// Reads the marker from a luma plane whose samples are `step` bytes apart in a row (1: planar;
// 2: packed YUYV, given its first byte). Nothing when there is no valid marker.
std::optional<SimMarker> read(const uint8_t* y, int yStride, int width, int height, int step = 1);

}  // namespace simmarker
