#include "SimCamera.h"

#include <algorithm>
#include <cmath>

namespace {

double clampTo(double v, double lo, double hi) {
    return std::max(lo, std::min(hi, v));
}

// Moves `value` towards `target` by at most `step`; true once it is there.
bool approach(double& value, double target, double step) {
    if (std::fabs(target - value) <= step) {
        value = target;
        return true;
    }
    value += target > value ? step : -step;
    return false;
}

}  // namespace

SimCamera::SimCamera(std::map<uint16_t, uint16_t> initialRegisters)
    : _registers(std::move(initialRegisters)) {
    const auto mirror = _registers.find(MirrorFlip);
    if (mirror != _registers.end()) {
        _view.mirror = (mirror->second & 1) != 0;
        _view.flip = (mirror->second & 2) != 0;
    }
}

double SimCamera::speedDegPerSecond(uint16_t reg) const {
    const auto it = _registers.find(reg);
    // A speed of 0 or beyond the cameras' range is taken as the nearest the head can do.
    const double step = it == _registers.end() ? kDefaultSpeed : clampTo(it->second, 1, 36);
    return step * kDegPerSpeedStep;
}

void SimCamera::advance(double nowMs) {
    if (_lastMs < 0.0 || nowMs <= _lastMs) {
        _lastMs = std::max(_lastMs, nowMs);
        return;
    }
    const double seconds = (nowMs - _lastMs) / 1000.0;
    _lastMs = nowMs;

    if (_glideTo) {
        const double step = kGlideDegPerSecond * seconds;
        const double zoomStep = (kZoomMax - kZoomMin) / kZoomSecondsFullRange * seconds;
        const bool panDone = approach(_view.panDeg, _glideTo->panDeg, step);
        const bool tiltDone = approach(_view.tiltDeg, _glideTo->tiltDeg, step);
        const bool zoomDone = approach(_view.zoom, _glideTo->zoom, zoomStep);
        if (panDone && tiltDone && zoomDone)
            _glideTo.reset();
    }
    _view.panDeg =
        clampTo(_view.panDeg + _panDir * speedDegPerSecond(PanSpeed) * seconds, kPanMinDeg, kPanMaxDeg);
    _view.tiltDeg =
        clampTo(_view.tiltDeg + _tiltDir * speedDegPerSecond(TiltSpeed) * seconds, kTiltMinDeg, kTiltMaxDeg);
    // Zoom runs through its range at a constant rate of magnification steps.
    _view.zoom = clampTo(_view.zoom + _zoomDir * (kZoomMax - kZoomMin) / kZoomSecondsFullRange * seconds,
                         kZoomMin, kZoomMax);
    _view.focus = clampTo(_view.focus + _focusDir * seconds / kFocusSecondsFullRange, 0.0, 1.0);
    _view.moving = _glideTo.has_value() || _panDir != 0 || _tiltDir != 0 || _zoomDir != 0;
}

void SimCamera::write(uint16_t reg, uint16_t value, double nowMs) {
    advance(nowMs);
    _registers[reg] = value;
    switch (reg) {
        case Direction: {
            const int pan = (value >> 4) & 0xF;
            const int tilt = value & 0xF;
            _panDir = pan == 1 ? -1 : pan == 2 ? 1 : 0;
            _tiltDir = tilt == 1 ? 1 : tilt == 2 ? -1 : 0;
            // A manual move takes over from a recall still under way.
            if (_panDir != 0 || _tiltDir != 0)
                _glideTo.reset();
            break;
        }
        case Zoom:
            _zoomDir = value == 0x21 ? 1 : value == 0x31 ? -1 : 0;
            if (_zoomDir != 0)
                _glideTo.reset();
            break;
        case Focus:
            _focusDir = value == 0x21 ? 1 : value == 0x31 ? -1 : 0;
            break;
        case Home:
            _panDir = _tiltDir = _zoomDir = 0;
            _glideTo = Place{};
            break;
        case CallPreset: {
            const auto it = _presets.find(value);
            // A preset never saved leaves the head where it is, as on the cameras.
            if (it != _presets.end()) {
                _panDir = _tiltDir = _zoomDir = 0;
                _glideTo = it->second;
            }
            break;
        }
        case SavePreset:
            _presets[value] = Place{_view.panDeg, _view.tiltDeg, _view.zoom};
            break;
        case ResetPreset:
            _presets.erase(value);
            break;
        case MirrorFlip:
            _view.mirror = (value & 1) != 0;
            _view.flip = (value & 2) != 0;
            break;
        case FactoryReset:
            _presets.clear();
            _panDir = _tiltDir = _zoomDir = _focusDir = 0;
            _glideTo = Place{};
            _view.mirror = _view.flip = false;
            _registers[MirrorFlip] = 0;
            break;
        default:
            break;
    }
    _view.moving = _glideTo.has_value() || _panDir != 0 || _tiltDir != 0 || _zoomDir != 0;
}

uint16_t SimCamera::read(uint16_t reg) const {
    const auto it = _registers.find(reg);
    return it == _registers.end() ? 0 : it->second;
}

SimView SimCamera::view(double nowMs) {
    advance(nowMs);
    return _view;
}

void SimCamera::place(double panDeg, double tiltDeg, double zoom, double nowMs) {
    advance(nowMs);
    _view.panDeg = clampTo(panDeg, kPanMinDeg, kPanMaxDeg);
    _view.tiltDeg = clampTo(tiltDeg, kTiltMinDeg, kTiltMaxDeg);
    _view.zoom = clampTo(zoom, kZoomMin, kZoomMax);
}

void SimCamera::storePreset(uint16_t preset, double panDeg, double tiltDeg, double zoom) {
    _presets[preset] = Place{clampTo(panDeg, kPanMinDeg, kPanMaxDeg),
                             clampTo(tiltDeg, kTiltMinDeg, kTiltMaxDeg), clampTo(zoom, kZoomMin, kZoomMax)};
}

void SimCamera::powerOn(double nowMs) {
    _panDir = _tiltDir = _zoomDir = _focusDir = 0;
    _glideTo.reset();
    _view.panDeg = _view.tiltDeg = 0.0;
    _view.zoom = 1.0;
    _view.moving = false;
    _lastMs = nowMs;
}
