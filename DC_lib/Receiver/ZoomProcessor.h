#pragma once

// The digital-zoom state of one receiver: the selectable ratios, the position in them, the
// pan offsets of the zoom window and the last zoom command. The receiver creates one with
// itself and frees it with itself; the exported zoom calls set the state, and turning
// digital zoom off resets it.
//
// Threading: the caller's thread writes the state through the receiver's calls while a
// decode thread may read it; every access takes _mutex, so a reader always sees a whole
// state (never the ratio of one reset and the pan of the state before it).

#include <cstdint>
#include <mutex>
#include <vector>

class ZoomProcessor {
public:
    // Commands: 0 stop, 1 zoom in, 2 zoom out, 3 move left, 4 move right, 5 move up,
    // 6 move down.
    struct State {
        int32_t ratioIndex = 0;
        float currentRatio = 1.0f;
        int32_t centreX = 960;  // centre of a 1920 x 1080 picture
        int32_t centreY = 540;
        int32_t panX = 0;
        int32_t panY = 0;
        int32_t command = 0;
    };

    static constexpr int64_t kRatioCount = 301;  // 1.00 to 16.00 in steps of 0.05
    static constexpr int kStepCount = 16;

    ZoomProcessor();

    State state() const;
    void setState(const State& state);

    // Back to the whole picture: ratio index 0, ratio 1.0, no pan.
    void resetZoom();

    const std::vector<float>& ratios() const { return _ratios; }
    int32_t stepSetting() const { return _stepSetting; }
    int32_t step(int i) const { return i >= 0 && i < kStepCount ? _steps[i] : 0; }

private:
    const std::vector<float> _ratios;  // immutable after construction
    const int32_t _stepSetting = 2;    // immutable
    const int32_t _steps[kStepCount] = {5, 5, 5, 5, 10, 10, 10, 15, 15, 15, 20, 20, 20, 20, 20, 20};

    mutable std::mutex _mutex;
    State _state;  // guarded by _mutex
};
