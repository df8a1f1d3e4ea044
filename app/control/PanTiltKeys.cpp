#include "PanTiltKeys.h"

#include <algorithm>

bool PanTiltKeys::isHeld(Arrow arrow) const {
    return std::find(_held.begin(), _held.end(), arrow) != _held.end();
}

int PanTiltKeys::press(Arrow arrow) {
    if (isHeld(arrow))
        return kNone;
    _held.push_back(arrow);
    return recompute();
}

int PanTiltKeys::release(Arrow arrow) {
    const auto it = std::find(_held.begin(), _held.end(), arrow);
    if (it == _held.end())
        return kNone;
    _held.erase(it);
    return recompute();
}

int PanTiltKeys::releaseAll() {
    _held.clear();
    return recompute();
}

int PanTiltKeys::recompute() {
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
    int next = kNone;
    if (vertical < 0)
        next = horizontal < 0 ? 26 : horizontal > 0 ? 27 : 21;
    else if (vertical > 0)
        next = horizontal < 0 ? 28 : horizontal > 0 ? 29 : 22;
    else if (horizontal != 0)
        next = horizontal < 0 ? 23 : 24;

    if (next == _direction)
        return kNone;
    _direction = next;
    return next == kNone ? kStop : next;
}
