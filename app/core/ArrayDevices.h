#pragma once

// The microphone arrays the application links to: brand codes and the device list of the
// array page, whose order is the saved "SoundDeviceIndex".
namespace ArrayDevices {

enum Brand { Shure = 0, Sennheiser = 1, Nureva = 2, Yamaha = 3 };

struct Entry {
    const char* text;  // as the list shows it and the settings save it ("SoundDeviceType")
    Brand brand;
};

inline constexpr Entry kDevices[] = {
    {"Shure: MXA910", Shure},         {"Shure: MXA920", Shure},   {"Shure: MXA310", Shure},
    {"Sennheiser: TCC2", Sennheiser}, {"Nureva: HDL300", Nureva}, {"Yamaha: RM-CG", Yamaha},
};
inline constexpr int kCount = static_cast<int>(sizeof(kDevices) / sizeof(kDevices[0]));
// The four-lobe array (positions 1-4 only), also the list's first choice.
inline constexpr int kFourLobeIndex = 2;
inline constexpr int kDefaultIndex = kFourLobeIndex;

inline constexpr bool isIndex(int index) {
    return index >= 0 && index < kCount;
}
inline constexpr bool isBrand(int brand) {
    return brand >= Shure && brand <= Yamaha;
}
// The brand of a list index; Shure for an index outside the list.
inline constexpr Brand brandOf(int index) {
    return isIndex(index) ? kDevices[index].brand : Shure;
}
inline const char* textOf(int index) {
    return isIndex(index) ? kDevices[index].text : "";
}
// Arrays that name an azimuth (their positions are zones of the preset-link page).
inline constexpr bool reportsAzimuth(int brand) {
    return brand == Sennheiser || brand == Nureva || brand == Yamaha;
}

}  // namespace ArrayDevices
