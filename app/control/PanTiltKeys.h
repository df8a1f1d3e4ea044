#pragma once

#include <optional>
#include <vector>

#include "CameraCommand.h"

// The arrow keys of the PTZ panel as one pan/tilt pad: each held arrow adds its direction,
// two arrows at right angles give the diagonal between them, and the camera gets a new
// command only when the resulting direction changes: a move when it starts or turns, the stop
// when the last arrow is let go. Of two opposite arrows held together the later one counts.
//
// Threading: none (a plain value, used on the interface thread).
class PanTiltKeys {
public:
    using Direction = CameraCommand::Direction;
    enum Arrow { Up, Down, Left, Right };

    // Each returns the direction to send now (Direction::Stop to stop), or nothing when the
    // direction did not change.
    std::optional<Direction> press(Arrow arrow);
    std::optional<Direction> release(Arrow arrow);
    // Every arrow let go at once (the panel lost the keyboard): the stop when one was held.
    std::optional<Direction> releaseAll();

    // The direction now moving, or nothing when no arrow is held.
    std::optional<Direction> direction() const { return _direction; }
    bool isHeld(Arrow arrow) const;

private:
    std::optional<Direction> recompute();

    std::vector<Arrow> _held;  // in the order they were pressed
    std::optional<Direction> _direction;
};
