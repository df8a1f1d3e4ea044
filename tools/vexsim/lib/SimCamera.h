#pragma once

// The state machine behind a simulated camera's extension unit: registers that read back
// what was written, and a head that moves. Direction, zoom and focus registers start and
// stop continuous movement; home and preset recalls glide to their target; presets store
// positions. Time is passed in by the caller (milliseconds on a steady clock), so the motion
// is integrated exactly between requests and tests can drive it without waiting.
//
// Threading: none of its own; the owner serialises every call (the simulator server holds
// its lock around them).

#include <cstdint>
#include <map>
#include <optional>

// Where the camera looks: what its picture shows.
struct SimView {
    double panDeg = 0.0;   // -170 (left) .. +170 (right)
    double tiltDeg = 0.0;  // -30 (down) .. +90 (up)
    double zoom = 1.0;     // 1 .. 12 (optical magnification)
    double focus = 0.5;    // 0 near .. 1 far (shown, not applied)
    bool mirror = false;
    bool flip = false;
    bool moving = false;

    bool operator==(const SimView&) const = default;
};

class SimCamera {
public:
    // Limits of the head and the speeds of the model.
    static constexpr double kPanMinDeg = -170.0, kPanMaxDeg = 170.0;
    static constexpr double kTiltMinDeg = -30.0, kTiltMaxDeg = 90.0;
    static constexpr double kZoomMin = 1.0, kZoomMax = 12.0;
    static constexpr double kDegPerSpeedStep = 2.5;      // pan/tilt speed register 1 .. 36
    static constexpr double kGlideDegPerSecond = 150.0;  // home and preset recalls
    static constexpr double kZoomSecondsFullRange = 4.0;
    static constexpr double kFocusSecondsFullRange = 3.0;
    static constexpr uint16_t kDefaultSpeed = 12;

    // The registers the model acts on (the others only read back what was written).
    enum Register : uint16_t {
        MirrorFlip = 0x000B,
        FactoryReset = 0x0011,
        Home = 0x0021,
        Direction = 0x0027,
        PanSpeed = 0x0028,
        TiltSpeed = 0x0029,
        Zoom = 0x002A,
        Focus = 0x002B,
        CallPreset = 0x001D,
        SavePreset = 0x001E,
        ResetPreset = 0x001F,
        FocusMode = 0x00E0,
    };

    explicit SimCamera(std::map<uint16_t, uint16_t> initialRegisters = {});

    // One register write (a set_cur whose register is not 0) at `nowMs`.
    void write(uint16_t reg, uint16_t value, double nowMs);
    // What a get_cur of `reg` answers.
    uint16_t read(uint16_t reg) const;
    // Stores a register without any movement (a test or the scenario presetting it).
    void setRegister(uint16_t reg, uint16_t value) { _registers[reg] = value; }

    // The view at `nowMs`: the motion is integrated up to then.
    SimView view(double nowMs);
    // Puts the head at a place at once (the scenario's start, a test).
    void place(double panDeg, double tiltDeg, double zoom, double nowMs);
    // Stores a preset directly (the scenario's presets).
    void storePreset(uint16_t preset, double panDeg, double tiltDeg, double zoom);
    bool hasPreset(uint16_t preset) const { return _presets.count(preset) != 0; }
    // A camera that is plugged in again: the head starts at home and stands still; presets
    // and registers stay (the real cameras keep them in their flash).
    void powerOn(double nowMs);

    const std::map<uint16_t, uint16_t>& registers() const { return _registers; }

private:
    struct Place {
        double panDeg = 0.0;
        double tiltDeg = 0.0;
        double zoom = 1.0;
    };

    void advance(double nowMs);
    double speedDegPerSecond(uint16_t reg) const;

    std::map<uint16_t, uint16_t> _registers;
    std::map<uint16_t, Place> _presets;
    SimView _view;
    int _panDir = 0;    // -1 left, +1 right, 0 still
    int _tiltDir = 0;   // +1 up, -1 down, 0 still
    int _zoomDir = 0;   // +1 in, -1 out
    int _focusDir = 0;  // +1 far, -1 near
    std::optional<Place> _glideTo;
    double _lastMs = -1.0;
};
