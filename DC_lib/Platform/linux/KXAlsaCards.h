#pragma once

// ALSA capture cards (thin calls into libasound).

#include <string>
#include <vector>

#include "KXPlatform.h"

namespace kxalsa {

// Cards with at least one capture PCM, in card order: friendly name = card name, node
// "hw:N,D" (D: the card's first capture PCM device), one capability from that PCM's hardware
// parameters when it can be opened (48 kHz when offered, else its highest rate; its highest
// channel count up to 2; 16 bits when offered).
std::vector<KXCaptureDevice> captureCards();

// "hw:N,D".
std::string pcmNodeName(int card, int device);

}  // namespace kxalsa
