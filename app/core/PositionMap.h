#pragma once

#include <array>
#include <string>

#include "AzimuthRange.h"

// What the preset-link page links: the camera and the camera preset of each array position,
// and for the arrays that report an azimuth the zone that makes each position. The page edits it; the
// tracker only looks things up in the copy it was handed.
//
// A plain value.
class PositionMap {
public:
    static constexpr int kPositionCount = 8;
    // The preset of a position set to "Off".
    static constexpr int kOff = -1;

    PositionMap();

    // The preset linked to a position: kOff for "Off", 0 for a position with no link (a
    // settings file without it), as the page has always read it.
    int presetOf(int position) const;
    void setPreset(int position, int preset);
    // The camera a position's preset is called on (a location identity, lower case); empty:
    // the first connected camera, as before positions named cameras.
    const std::string& cameraOf(int position) const;
    void setCamera(int position, const std::string& location);

    // The zone of a position for an azimuth brand (an empty zone for anything else).
    AzimuthRange zone(int brand, int position) const;
    void setZone(int brand, int position, AzimuthRange range);
    // The first position (1-8, ascending) whose zone of `brand` holds the azimuth; -1 when
    // none does or the brand reports positions itself.
    int positionForAzimuth(int brand, int azimuth) const;

    // The zones a first start begins with.
    static AzimuthRange defaultZone(int brand, int position);

    bool operator==(const PositionMap& other) const;

private:
    static int zoneTable(int brand);

    std::array<int, kPositionCount + 1> _presets{};                        // [0] unused
    std::array<std::string, kPositionCount + 1> _cameras{};                // [0] unused
    std::array<std::array<AzimuthRange, kPositionCount + 1>, 3> _zones{};  // Sennheiser, Nureva, Yamaha
};
