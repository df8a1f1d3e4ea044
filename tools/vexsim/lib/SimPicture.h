#pragma once

// What a simulated camera sees: a wide drawn room (a wall with a degree scale, a long table,
// numbered seats around it) in which the camera's pan, tilt and zoom choose the part shown,
// rendered into planar YUV 4:2:0 frames of any size. A strip along the bottom of every frame
// shows the pan, tilt and zoom in figures and a marker that moves with the frame count, so a
// live picture never repeats itself even while the head stands still. The room comes in a few
// colourings (SimRoom) so that several cameras' pictures are told apart at a glance; the seats,
// the scale and the strip are the same in all of them, so a preset frames the same seat.
//
// Threading: the room is drawn once in the constructor and only read afterwards, so one
// SimPicture may render frames for several threads at once.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "SimCamera.h"

// The colouring of a drawn room: a light warm wall (the default), a blue one, a green one.
enum class SimRoom { Default, Blue, Green };

// "default", "blue", "green"; nullopt for any other name.
std::optional<SimRoom> simRoomFromName(const std::string& name);
const char* simRoomName(SimRoom room);

class SimPicture {
public:
    // The room spans pan -215..+215 degrees and tilt -60..+115 degrees (the head's range plus
    // half the widest view), at `pixelsPerDegree` (the sharpness at full zoom).
    explicit SimPicture(int pixelsPerDegree = 12, SimRoom room = SimRoom::Default);

    SimRoom room() const { return _room; }

    // Horizontal field of view at zoom 1, in degrees; the vertical one follows the frame's
    // aspect ratio.
    static constexpr double kWideFovDeg = 90.0;
    // Seat n (1..8) sits at this pan angle (degrees); the demonstration's presets look at them.
    static double seatPanDeg(int seat);
    static constexpr double kSeatTiltDeg = -8.0;

    // Renders the view into the three planes (Y: width x height, U and V: half in both
    // directions, rounded up), with the given line strides. `frameNumber` moves the marker.
    void render(const SimView& view, int64_t frameNumber, int width, int height, uint8_t* y, int yStride,
                uint8_t* u, int uStride, uint8_t* v, int vStride) const;

    int roomWidth() const { return _width; }
    int roomHeight() const { return _height; }
    // Luma of the room at a pixel (tests check the drawing).
    uint8_t roomLuma(int x, int y) const { return _y[static_cast<size_t>(y) * _width + x]; }

    static constexpr double kPanSpanDeg = 430.0;
    static constexpr double kTiltTopDeg = 115.0;
    static constexpr double kTiltSpanDeg = 175.0;

private:
    void fillRect(int x0, int y0, int x1, int y1, uint8_t y, uint8_t u, uint8_t v);
    void fillEllipse(int cx, int cy, int rx, int ry, uint8_t y, uint8_t u, uint8_t v);
    void drawNumber(int x, int y, int digitHeight, int number, uint8_t luma);
    int xForPan(double panDeg) const;
    int yForTilt(double tiltDeg) const;

    SimRoom _room;
    int _ppd;
    int _width;
    int _height;
    std::vector<uint8_t> _y;  // full resolution
    std::vector<uint8_t> _u;  // one sample per pixel too: sampled with the luma coordinates
    std::vector<uint8_t> _v;
};

// Seven-segment figures drawn into a luma plane: the digits 0-9, '-', '+', '.', and a space.
void simDrawText(uint8_t* plane, int stride, int width, int height, int x, int y, int digitHeight,
                 const char* text, uint8_t luma);
