// Compiled on its own: the public header must need nothing included before it.
#include "vexsdk.h"

int vexHeaderAloneAnchor() { return static_cast<int>(sizeof(DC_CaptureFormats)); }
