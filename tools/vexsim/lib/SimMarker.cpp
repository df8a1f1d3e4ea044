#include "SimMarker.h"

#include <cstring>

namespace simmarker {
namespace {

constexpr uint8_t kLight = 235;
constexpr uint8_t kDark = 16;

// The cells' values, light = true: start pattern, then each bit and its inverse.
void cellsOf(const SimMarker& marker, bool (&cells)[kCells]) {
    cells[0] = true;
    cells[1] = false;
    cells[2] = true;
    const int bits = (marker.camera << 1) | (marker.moving ? 1 : 0);
    for (int i = 0; i < 5; ++i) {
        const bool bit = (bits >> (4 - i)) & 1;
        cells[3 + 2 * i] = bit;
        cells[4 + 2 * i] = !bit;
    }
}

int columnStart(int column, int width) {
    return column * width / kColumns;
}

}  // namespace

bool draw(const SimMarker& marker, int width, int height, uint8_t* y, int yStride, uint8_t* u, int uStride,
          uint8_t* v, int vStride) {
    if (marker.camera < 0 || marker.camera > kMaxCamera || width < kMinWidth || height < kMinHeight)
        return false;
    bool cells[kCells];
    cellsOf(marker, cells);
    const int rowEnd = height / kRows;
    for (int c = 0; c < kCells; ++c) {
        const int x0 = columnStart(c, width);
        const int x1 = columnStart(c + 1, width);
        for (int row = 0; row < rowEnd; ++row)
            std::memset(y + static_cast<long>(row) * yStride + x0, cells[c] ? kLight : kDark,
                        static_cast<size_t>(x1 - x0));
    }
    // No colour under the whole marker, so its luma is all a reader needs.
    const int chromaWidth = (columnStart(kCells, width) + 1) / 2;
    for (int row = 0; row < (rowEnd + 1) / 2; ++row) {
        std::memset(u + static_cast<long>(row) * uStride, 128, static_cast<size_t>(chromaWidth));
        std::memset(v + static_cast<long>(row) * vStride, 128, static_cast<size_t>(chromaWidth));
    }
    return true;
}

std::optional<SimMarker> read(const uint8_t* y, int yStride, int width, int height, int step) {
    if (y == nullptr || width < kMinWidth || height < kMinHeight || step < 1 || yStride < width * step)
        return std::nullopt;
    const int rowEnd = height / kRows;
    // The central half of the cell in both directions.
    const int r0 = rowEnd / 4;
    const int r1 = rowEnd - rowEnd / 4;
    bool cells[kCells];
    for (int c = 0; c < kCells; ++c) {
        const int x0 = columnStart(c, width);
        const int x1 = columnStart(c + 1, width);
        const int c0 = x0 + (x1 - x0) / 4;
        const int c1 = x1 - (x1 - x0) / 4;
        long sum = 0;
        long count = 0;
        for (int row = r0; row < r1; ++row)
            for (int x = c0; x < c1; ++x) {
                sum += y[static_cast<long>(row) * yStride + static_cast<long>(x) * step];
                ++count;
            }
        if (count == 0)
            return std::nullopt;
        const long mean = sum / count;
        // Clearly light or clearly dark: a grey cell is not a marker's.
        if (mean > 170)
            cells[c] = true;
        else if (mean < 80)
            cells[c] = false;
        else
            return std::nullopt;
    }
    if (!cells[0] || cells[1] || !cells[2])
        return std::nullopt;
    int bits = 0;
    for (int i = 0; i < 5; ++i) {
        if (cells[3 + 2 * i] == cells[4 + 2 * i])
            return std::nullopt;
        bits = (bits << 1) | (cells[3 + 2 * i] ? 1 : 0);
    }
    return SimMarker{bits >> 1, (bits & 1) != 0};
}

}  // namespace simmarker
