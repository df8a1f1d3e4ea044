#pragma once

#include <string_view>

// Numbers read from an array's replies. A token counts only when all of it is a number:
// ASCII white space around it, an optional sign, digits of the base (base 16 may carry a
// "0x" prefix). Anything else, and any value that does not fit an int, reads as 0, so a
// corrupt reply can never produce an out-of-range value.
int wireInt(std::string_view token, int base = 10);

// Truncates a number read from the wire (a JSON number may be 1e300) to an int without
// undefined behaviour: values beyond +-1e9 are clamped there, NaN reads as 0. Clamped values
// lie outside every azimuth zone.
int truncateToInt(double value);
