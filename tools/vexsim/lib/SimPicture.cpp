#include "SimPicture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// Segments a..g of a seven-segment figure, as bits 0..6.
uint8_t segmentsOf(char c) {
    switch (c) {
        case '0':
            return 0x3F;
        case '1':
            return 0x06;
        case '2':
            return 0x5B;
        case '3':
            return 0x4F;
        case '4':
            return 0x66;
        case '5':
            return 0x6D;
        case '6':
            return 0x7D;
        case '7':
            return 0x07;
        case '8':
            return 0x7F;
        case '9':
            return 0x6F;
        case '-':
            return 0x40;
        default:
            return 0;
    }
}

void fillLuma(uint8_t* plane, int stride, int width, int height, int x0, int y0, int x1, int y1,
              uint8_t luma) {
    x0 = std::max(0, x0);
    y0 = std::max(0, y0);
    x1 = std::min(width, x1);
    y1 = std::min(height, y1);
    if (x0 >= x1 || y0 >= y1)
        return;  // wholly outside
    for (int y = y0; y < y1; ++y) {
        std::fill(plane + static_cast<size_t>(y) * stride + x0, plane + static_cast<size_t>(y) * stride + x1,
                  luma);
    }
}

// What differs between the rooms: the wall (luma at its top and bottom, chroma) and the floor.
struct RoomColours {
    uint8_t wallTop, wallBottom, wallU, wallV;
    uint8_t floorY, floorU, floorV;
};

RoomColours coloursOf(SimRoom room) {
    switch (room) {
        case SimRoom::Blue:
            return {150, 115, 165, 105, 70, 140, 120};
        case SimRoom::Green:
            return {170, 130, 95, 95, 80, 120, 110};
        case SimRoom::Default:
            break;
    }
    return {190, 150, 118, 138, 85, 110, 150};
}

}  // namespace

std::optional<SimRoom> simRoomFromName(const std::string& name) {
    for (SimRoom room : {SimRoom::Default, SimRoom::Blue, SimRoom::Green})
        if (name == simRoomName(room))
            return room;
    return std::nullopt;
}

const char* simRoomName(SimRoom room) {
    switch (room) {
        case SimRoom::Blue:
            return "blue";
        case SimRoom::Green:
            return "green";
        case SimRoom::Default:
            break;
    }
    return "default";
}

void simDrawText(uint8_t* plane, int stride, int width, int height, int x, int y, int digitHeight,
                 const char* text, uint8_t luma) {
    const int h = std::max(5, digitHeight);
    const int w = h / 2;
    const int t = std::max(1, h / 8);
    for (const char* p = text; *p != '\0'; ++p) {
        const char c = *p;
        if (c == '.') {
            fillLuma(plane, stride, width, height, x, y + h - t, x + t, y + h, luma);
            x += 2 * t;
            continue;
        }
        if (c == '+') {
            fillLuma(plane, stride, width, height, x, y + h / 2 - t / 2, x + w, y + h / 2 + (t + 1) / 2,
                     luma);
            fillLuma(plane, stride, width, height, x + w / 2 - t / 2, y + h / 4, x + w / 2 + (t + 1) / 2,
                     y + 3 * h / 4, luma);
            x += w + 2 * t;
            continue;
        }
        const uint8_t s = segmentsOf(c);
        const int mid = y + h / 2;
        if (s & 0x01)
            fillLuma(plane, stride, width, height, x, y, x + w, y + t, luma);  // a
        if (s & 0x02)
            fillLuma(plane, stride, width, height, x + w - t, y, x + w, mid, luma);  // b
        if (s & 0x04)
            fillLuma(plane, stride, width, height, x + w - t, mid, x + w, y + h, luma);  // c
        if (s & 0x08)
            fillLuma(plane, stride, width, height, x, y + h - t, x + w, y + h, luma);  // d
        if (s & 0x10)
            fillLuma(plane, stride, width, height, x, mid, x + t, y + h, luma);  // e
        if (s & 0x20)
            fillLuma(plane, stride, width, height, x, y, x + t, mid, luma);  // f
        if (s & 0x40)
            fillLuma(plane, stride, width, height, x, mid - t / 2, x + w, mid + (t + 1) / 2, luma);  // g
        x += w + 2 * t;
    }
}

double SimPicture::seatPanDeg(int seat) {
    return -140.0 + 40.0 * (std::clamp(seat, 1, 8) - 1);
}

int SimPicture::xForPan(double panDeg) const {
    return static_cast<int>(std::lround((panDeg + kPanSpanDeg / 2) * _ppd));
}

int SimPicture::yForTilt(double tiltDeg) const {
    return static_cast<int>(std::lround((kTiltTopDeg - tiltDeg) * _ppd));
}

void SimPicture::fillRect(int x0, int y0, int x1, int y1, uint8_t y, uint8_t u, uint8_t v) {
    x0 = std::max(0, x0);
    y0 = std::max(0, y0);
    x1 = std::min(_width, x1);
    y1 = std::min(_height, y1);
    if (x0 >= x1 || y0 >= y1)
        return;  // wholly outside
    for (int row = y0; row < y1; ++row) {
        const size_t at = static_cast<size_t>(row) * _width;
        std::fill(_y.begin() + at + x0, _y.begin() + at + x1, y);
        std::fill(_u.begin() + at + x0, _u.begin() + at + x1, u);
        std::fill(_v.begin() + at + x0, _v.begin() + at + x1, v);
    }
}

void SimPicture::fillEllipse(int cx, int cy, int rx, int ry, uint8_t y, uint8_t u, uint8_t v) {
    for (int dy = -ry; dy <= ry; ++dy) {
        const int row = cy + dy;
        if (row < 0 || row >= _height)
            continue;
        const double f = 1.0 - double(dy) * dy / (double(ry) * ry);
        const int half = static_cast<int>(rx * std::sqrt(std::max(0.0, f)));
        fillRect(cx - half, row, cx + half + 1, row + 1, y, u, v);
    }
}

void SimPicture::drawNumber(int x, int y, int digitHeight, int number, uint8_t luma) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", number);
    simDrawText(_y.data(), _width, _width, _height, x, y, digitHeight, text, luma);
}

SimPicture::SimPicture(int pixelsPerDegree, SimRoom room)
    : _room(room),
      _ppd(std::clamp(pixelsPerDegree, 2, 40)),
      _width(static_cast<int>(kPanSpanDeg * _ppd)),
      _height(static_cast<int>(kTiltSpanDeg * _ppd)),
      _y(static_cast<size_t>(_width) * _height),
      _u(_y.size()),
      _v(_y.size()) {
    // Ceiling, wall, floor.
    const RoomColours colours = coloursOf(room);
    fillRect(0, 0, _width, yForTilt(55), 215, 128, 128);
    for (int row = yForTilt(55); row < yForTilt(-12); ++row) {
        // The wall darkens a little towards the floor, so a tilt shows as a change of shade.
        const int fall = colours.wallTop - colours.wallBottom;
        const uint8_t shade = static_cast<uint8_t>(
            colours.wallTop - (row - yForTilt(55)) * fall / std::max(1, yForTilt(-12) - yForTilt(55)));
        fillRect(0, row, _width, row + 1, shade, colours.wallU, colours.wallV);
    }
    fillRect(0, yForTilt(-12), _width, _height, colours.floorY, colours.floorU, colours.floorV);
    // Windows along the wall every 60 degrees, between the seats.
    for (int pan = -180; pan <= 180; pan += 60) {
        fillRect(xForPan(pan - 8), yForTilt(48), xForPan(pan + 8), yForTilt(25), 225, 150, 110);
        fillRect(xForPan(pan - 0.4), yForTilt(48), xForPan(pan + 0.4), yForTilt(25), 120, 128, 128);
    }
    // A degree scale high on the wall: a tick every 10 degrees, a figure every 30.
    for (int pan = -210; pan <= 210; pan += 10) {
        const bool major = pan % 30 == 0;
        fillRect(xForPan(pan - 0.15), yForTilt(major ? 62 : 60), xForPan(pan + 0.15), yForTilt(56), 40, 128,
                 128);
        if (major)
            drawNumber(xForPan(pan - 2.5), yForTilt(70), std::max(5, _ppd * 6), pan, 40);
    }
    // The table along the room.
    fillRect(xForPan(-165), yForTilt(-14), xForPan(165), yForTilt(-24), 70, 115, 160);
    // Seats: a chair, a person in the seat's colour, a head, the seat's number above.
    static const uint8_t kColours[8][2] = {{90, 200}, {200, 90},  {70, 110}, {160, 60},
                                           {60, 180}, {190, 170}, {110, 60}, {150, 200}};
    for (int seat = 1; seat <= 8; ++seat) {
        const double pan = seatPanDeg(seat);
        fillRect(xForPan(pan - 7), yForTilt(4), xForPan(pan + 7), yForTilt(-14), 60, 128, 128);
        fillRect(xForPan(pan - 5), yForTilt(-1), xForPan(pan + 5), yForTilt(-14), 120, kColours[seat - 1][0],
                 kColours[seat - 1][1]);
        fillEllipse(xForPan(pan), yForTilt(kSeatTiltDeg + 12), _ppd * 3, _ppd * 4, 170, 110, 150);
        drawNumber(xForPan(pan - 1.5), yForTilt(17), _ppd * 6, seat, 20);
    }
}

void SimPicture::render(const SimView& view, int64_t frameNumber, int width, int height, uint8_t* y,
                        int yStride, uint8_t* u, int uStride, uint8_t* v, int vStride) const {
    if (width <= 0 || height <= 0)
        return;
    // Frames too small for legible figures get no strip (and never a negative scene).
    const int strip = height >= 32 ? std::max(8, height / 14) : 0;
    const int sceneHeight = height - strip;
    const double zoom = std::clamp(view.zoom, SimCamera::kZoomMin, SimCamera::kZoomMax);
    const double hFov = kWideFovDeg / zoom;
    const double vFov = hFov * height / width;
    const double degPerPixel = hFov / width;

    // Room column for each output column, room row for each output row (nearest sample).
    std::vector<int> columns(static_cast<size_t>(width));
    for (int x = 0; x < width; ++x) {
        const int sx = view.mirror ? width - 1 - x : x;
        const double pan = view.panDeg + (sx + 0.5) * degPerPixel - hFov / 2;
        columns[static_cast<size_t>(x)] = std::clamp(xForPan(pan), 0, _width - 1);
    }
    std::vector<int> rows(static_cast<size_t>(sceneHeight));
    for (int row = 0; row < sceneHeight; ++row) {
        const int sr = view.flip ? height - 1 - row : row;
        const double tilt = view.tiltDeg + vFov / 2 - (sr + 0.5) * degPerPixel;
        rows[static_cast<size_t>(row)] = std::clamp(yForTilt(tilt), 0, _height - 1);
    }
    for (int row = 0; row < sceneHeight; ++row) {
        const uint8_t* src = _y.data() + static_cast<size_t>(rows[static_cast<size_t>(row)]) * _width;
        uint8_t* dst = y + static_cast<size_t>(row) * yStride;
        for (int x = 0; x < width; ++x) dst[x] = src[columns[static_cast<size_t>(x)]];
    }
    const int cw = (width + 1) / 2;
    const int ch = (height + 1) / 2;
    for (int row = 0; row < ch; ++row) {
        uint8_t* du = u + static_cast<size_t>(row) * uStride;
        uint8_t* dv = v + static_cast<size_t>(row) * vStride;
        if (2 * row >= sceneHeight) {
            std::fill(du, du + cw, 128);
            std::fill(dv, dv + cw, 128);
            continue;
        }
        const size_t at = static_cast<size_t>(rows[static_cast<size_t>(2 * row)]) * _width;
        for (int x = 0; x < cw; ++x) {
            const int sx = columns[static_cast<size_t>(std::min(2 * x, width - 1))];
            du[x] = _u[at + sx];
            dv[x] = _v[at + sx];
        }
    }
    if (strip == 0)
        return;
    // The strip: the head's place in figures and a marker that walks with the frame count.
    for (int row = sceneHeight; row < height; ++row)
        std::fill(y + static_cast<size_t>(row) * yStride, y + static_cast<size_t>(row) * yStride + width, 16);
    char text[64];
    std::snprintf(text, sizeof text, "%+06.1f %+05.1f %04.1f", view.panDeg, view.tiltDeg, zoom);
    const int digit = strip * 2 / 3;
    simDrawText(y, yStride, width, height, strip / 3, sceneHeight + strip / 6, digit, text, 235);
    const int marker = std::max(4, width / 80);
    const int span = std::max(1, width / 3 - marker);
    const int mx = width * 2 / 3 + static_cast<int>((frameNumber * 4) % span);
    for (int row = sceneHeight + strip / 4; row < height - strip / 4; ++row) {
        uint8_t* line = y + static_cast<size_t>(row) * yStride;
        std::fill(line + std::min(mx, width), line + std::min(mx + marker, width), 235);
    }
}
