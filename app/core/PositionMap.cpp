#include "PositionMap.h"

#include <algorithm>
#include <cctype>

#include "ArrayDevices.h"

PositionMap::PositionMap() {
    for (int i = 1; i <= kPositionCount; ++i) {
        _presets[i] = i;
        for (int brand : {ArrayDevices::Sennheiser, ArrayDevices::Nureva, ArrayDevices::Yamaha})
            _zones[zoneTable(brand)][i] = defaultZone(brand, i);
    }
}

int PositionMap::zoneTable(int brand) {
    switch (brand) {
        case ArrayDevices::Sennheiser:
            return 0;
        case ArrayDevices::Nureva:
            return 1;
        case ArrayDevices::Yamaha:
            return 2;
        default:
            return -1;
    }
}

AzimuthRange PositionMap::defaultZone(int brand, int i) {
    switch (brand) {
        case ArrayDevices::Sennheiser:
            return {(i - 1) * 45, i * 45};
        case ArrayDevices::Nureva:
            return {(i - 1) * 18 - 70, std::min(i * 18 - 70, 70)};
        case ArrayDevices::Yamaha:
            return {i * 45 - 225, std::min(i * 45 - 180, 180)};
        default:
            return {};
    }
}

int PositionMap::presetOf(int position) const {
    return position >= 1 && position <= kPositionCount ? _presets[position] : 0;
}

void PositionMap::setPreset(int position, int preset) {
    if (position >= 1 && position <= kPositionCount)
        _presets[position] = preset;
}

const std::string& PositionMap::cameraOf(int position) const {
    return position >= 1 && position <= kPositionCount ? _cameras[position] : _cameras[0];
}

void PositionMap::setCamera(int position, const std::string& location) {
    if (position < 1 || position > kPositionCount)
        return;
    std::string lower = location;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    _cameras[position] = std::move(lower);
}

AzimuthRange PositionMap::zone(int brand, int position) const {
    const int table = zoneTable(brand);
    if (table < 0 || position < 1 || position > kPositionCount)
        return {};
    return _zones[table][position];
}

void PositionMap::setZone(int brand, int position, AzimuthRange range) {
    const int table = zoneTable(brand);
    if (table >= 0 && position >= 1 && position <= kPositionCount)
        _zones[table][position] = range;
}

int PositionMap::positionForAzimuth(int brand, int azimuth) const {
    const int table = zoneTable(brand);
    if (table < 0)
        return -1;
    for (int i = 1; i <= kPositionCount; ++i) {
        if (_zones[table][i].contains(azimuth))
            return i;
    }
    return -1;
}

bool PositionMap::operator==(const PositionMap& other) const {
    if (_presets != other._presets || _cameras != other._cameras)
        return false;
    for (int t = 0; t < 3; ++t) {
        for (int i = 1; i <= kPositionCount; ++i) {
            if (_zones[t][i].start != other._zones[t][i].start || _zones[t][i].end != other._zones[t][i].end)
                return false;
        }
    }
    return true;
}
