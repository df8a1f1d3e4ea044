#pragma once

// One azimuth zone of an array: start is included, end is excluded, in degrees. A range
// whose start is not below its end holds no azimuth.
struct AzimuthRange {
    int start = 0;
    int end = 0;

    bool contains(int azimuth) const { return start <= azimuth && azimuth < end; }
};
