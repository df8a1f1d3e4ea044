#include "PanTiltKeys.h"

#include <algorithm>

bool PanTiltKeys::isHeld(Arrow arrow) const {
    return std::find(_held.begin(), _held.end(), arrow) != _held.end();
}

std::optional<PanTiltKeys::Direction> PanTiltKeys::press(Arrow arrow) {
    if (isHeld(arrow))
        return std::nullopt;
    _held.push_back(arrow);
    return recompute();
}

std::optional<PanTiltKeys::Direction> PanTiltKeys::release(Arrow arrow) {
    const auto it = std::find(_held.begin(), _held.end(), arrow);
    if (it == _held.end())
        return std::nullopt;
    _held.erase(it);
    return recompute();
}

std::optional<PanTiltKeys::Direction> PanTiltKeys::releaseAll() {
    _held.clear();
    return recompute();
}

std::optional<PanTiltKeys::Direction> PanTiltKeys::recompute() {
    // The latest held arrow of each axis decides that axis.
    int vertical = 0;    // -1 up, +1 down
    int horizontal = 0;  // -1 left, +1 right
    for (Arrow arrow : _held) {
        switch (arrow) {
            case Up:
                vertical = -1;
                break;
            case Down:
                vertical = 1;
                break;
            case Left:
                horizontal = -1;
                break;
            case Right:
                horizontal = 1;
                break;
        }
    }
    std::optional<Direction> next;
    if (vertical < 0)
        next = horizontal < 0 ? Direction::UpLeft : horizontal > 0 ? Direction::UpRight : Direction::Up;
    else if (vertical > 0)
        next = horizontal < 0 ? Direction::DownLeft : horizontal > 0 ? Direction::DownRight : Direction::Down;
    else if (horizontal != 0)
        next = horizontal < 0 ? Direction::Left : Direction::Right;

    if (next == _direction)
        return std::nullopt;
    _direction = next;
    return next ? *next : Direction::Stop;
}
