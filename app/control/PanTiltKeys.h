#pragma once

#include <vector>

// The arrow keys of the PTZ panel as one pan/tilt pad: each held arrow adds its direction,
// two arrows at right angles give the diagonal between them, and the camera gets a new
// command only when the resulting direction changes: a move when it starts or turns, the stop
// when the last arrow is let go. Of two opposite arrows held together the later one counts.
//
// Directions are the pan/tilt values of camera command 4: 21 up, 22 down, 23 left, 24 right,
// 26 up-left, 27 up-right, 28 down-left, 29 down-right; 20 stops.
//
// Threading: none (a plain value, used on the interface thread).
class PanTiltKeys {
public:
    enum Arrow { Up, Down, Left, Right };

    static constexpr int kStop = 20;
    static constexpr int kNone = 0;  // "nothing to send"

    // Each returns the value to send now, or kNone when the direction did not change.
    int press(Arrow arrow);
    int release(Arrow arrow);
    // Every arrow let go at once (the panel lost the keyboard): the stop when one was held.
    int releaseAll();

    // The direction now moving (21-29), or kNone when no arrow is held.
    int direction() const { return _direction; }
    bool isHeld(Arrow arrow) const;

private:
    int recompute();

    std::vector<Arrow> _held;  // in the order they were pressed
    int _direction = kNone;
};
