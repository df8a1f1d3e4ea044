#include "Receiver/ZoomProcessor.h"

namespace {

std::vector<float> ratioTable() {
    std::vector<float> ratios;
    ratios.reserve(ZoomProcessor::kRatioCount);
    // Computed from the index rather than summed, so 16.00 comes out exactly.
    for (int64_t i = 0; i < ZoomProcessor::kRatioCount; ++i) {
        ratios.push_back(static_cast<float>(100 + 5 * i) / 100.0f);
    }
    return ratios;
}

}  // namespace

ZoomProcessor::ZoomProcessor() : _ratios(ratioTable()) {}

ZoomProcessor::State ZoomProcessor::state() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _state;
}

void ZoomProcessor::setState(const State& state) {
    std::lock_guard<std::mutex> lock(_mutex);
    _state = state;
}

void ZoomProcessor::resetZoom() {
    std::lock_guard<std::mutex> lock(_mutex);
    _state.ratioIndex = 0;
    _state.currentRatio = 1.0f;
    _state.panX = 0;
    _state.panY = 0;
}
