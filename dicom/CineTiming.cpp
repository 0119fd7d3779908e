#include "CineTiming.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

bool Usable(double rate) { return std::isfinite(rate) && rate >= kSlowestCineRate && rate <= kFastestCineRate; }

// The attribute's single value, or NaN when it is absent or not one number.
double Single(const TextAttributes& attributes, uint32_t tag) {
    const std::vector<double> values = attributes.numbers(tag);
    return values.size() == 1 ? values[0] : NAN;
}

double RateOfFrameTime(double milliseconds) {
    return std::isfinite(milliseconds) && milliseconds > 0.0 ? 1000.0 / milliseconds : NAN;
}

// The vector holds one increment a frame, the first frame's being 0: the mean of the others
// over the frames shown. A vector missing some of them says nothing reliable.
double RateOfFrameTimeVector(const TextAttributes& attributes, int first, int count, int frameCount) {
    const std::vector<double> increments = attributes.numbers(tags::FrameTimeVector);
    if (count < 2 || increments.size() < static_cast<size_t>(frameCount)) return NAN;
    double total = 0.0;
    for (int i = first + 1; i < first + count; ++i) {
        if (!std::isfinite(increments[size_t(i)]) || increments[size_t(i)] <= 0.0) return NAN;
        total += increments[size_t(i)];
    }
    return RateOfFrameTime(total / (count - 1));
}

void ChooseFrames(const TextAttributes& attributes, int frameCount, CineTiming& timing) {
    timing.first = 0;
    timing.count = std::max(frameCount, 0);
    const double start = Single(attributes, tags::StartTrim);
    const double stop = Single(attributes, tags::StopTrim);
    if (!std::isfinite(start) || !std::isfinite(stop) || start != std::floor(start) || stop != std::floor(stop))
        return;
    if (start < 1 || stop < start || stop > frameCount) return;
    timing.first = static_cast<int>(start) - 1;
    timing.count = static_cast<int>(stop - start) + 1;
}

}  // namespace

CineTiming PlaybackTiming(const TextAttributes& attributes, int frameCount, double chosenRate) {
    CineTiming timing;
    ChooseFrames(attributes, frameCount, timing);
    const struct {
        double rate;
        const char* name;
    } candidates[] = {
        {chosenRate > 0.0 ? chosenRate : NAN, "--fps"},
        {Single(attributes, tags::RecommendedDisplayFrameRate), "Recommended Display Frame Rate"},
        {Single(attributes, tags::CineRate), "Cine Rate"},
        {RateOfFrameTime(Single(attributes, tags::FrameTime)), "Frame Time"},
        {RateOfFrameTimeVector(attributes, timing.first, timing.count, frameCount), "Frame Time Vector"},
    };
    for (const auto& candidate : candidates)
        if (Usable(candidate.rate)) {
            timing.framesPerSecond = candidate.rate;
            timing.source = candidate.name;
            return timing;
        }
    timing.framesPerSecond = kDefaultCineRate;
    timing.source = "default";
    return timing;
}
