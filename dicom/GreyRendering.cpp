#include "GreyRendering.h"

#include <algorithm>
#include <cmath>

double LookupTable::map(double input) const {
    if (data.empty()) return 0.0;
    const double index = std::floor(input) - firstMapped;
    if (!(index > 0.0)) return data.front();
    if (index >= static_cast<double>(data.size() - 1)) return data.back();
    return data[static_cast<size_t>(index)];
}

bool CheckLookupTable(LookupTable& table, const std::string& what, std::string& error) {
    if (table.bits < 8 || table.bits > 16) {
        error = what + " has " + std::to_string(table.bits) + " bits per entry; 8 to 16 are possible";
        return false;
    }
    const size_t words = table.data.size();
    if (table.bits == 8 && words != table.entries && words == (size_t{table.entries} + 1) / 2) {
        // Entries of 8 bits may come two to a word, the first in the low byte.
        std::vector<uint16_t> unpacked;
        unpacked.reserve(table.entries);
        for (uint32_t i = 0; i < table.entries; ++i)
            unpacked.push_back(static_cast<uint16_t>((table.data[i / 2] >> (i % 2 ? 8 : 0)) & 0xFF));
        table.data = std::move(unpacked);
    }
    if (table.data.empty()) {
        error = what + " holds no entries";
        return false;
    }
    // A descriptor whose count disagrees with the data: the data's own length is used.
    table.entries = static_cast<uint32_t>(table.data.size());
    const uint16_t top = static_cast<uint16_t>(table.top());
    for (uint16_t& entry : table.data) entry = std::min(entry, top);
    return true;
}

FrameGreyValues ValuesForFrame(const GreyAttributes& attributes, int frame) {
    FrameGreyValues result = attributes;  // the data set's own values only
    auto apply = [&](const FrameGroups& groups) {
        if (groups.hasRescale) {
            result.slope = groups.slope;
            result.intercept = groups.intercept;
            result.hasModalityLut = false;
        }
        if (groups.hasWindows) {
            result.windows = groups.windows;
            result.function = groups.function;
        }
    };
    if (attributes.hasShared) apply(attributes.shared);
    if (frame >= 0 && static_cast<size_t>(frame) < attributes.perFrame.size()) apply(attributes.perFrame[frame]);
    return result;
}

bool FrameHasVoi(const GreyAttributes& attributes, int frame) {
    if (!attributes.voiLuts.empty()) return true;
    const bool hasOwn = frame >= 0 && static_cast<size_t>(frame) < attributes.perFrame.size() &&
                        attributes.perFrame[static_cast<size_t>(frame)].hasWindows;
    if (hasOwn) return !attributes.perFrame[static_cast<size_t>(frame)].windows.empty();
    if (attributes.hasShared && attributes.shared.hasWindows) return !attributes.shared.windows.empty();
    return !attributes.windows.empty();
}

int64_t StoredBits::lowest() const { return isSigned ? -(int64_t{1} << (bitsStored - 1)) : 0; }
int64_t StoredBits::highest() const {
    return isSigned ? (int64_t{1} << (bitsStored - 1)) - 1 : (int64_t{1} << bitsStored) - 1;
}

int64_t StoredBits::value(uint32_t sample) const {
    const int shift = std::max(0, highBit + 1 - bitsStored);
    const uint64_t mask = (uint64_t{1} << bitsStored) - 1;
    const int64_t v = static_cast<int64_t>((uint64_t{sample} >> shift) & mask);
    if (isSigned && (v >> (bitsStored - 1)) & 1) return v - static_cast<int64_t>(mask) - 1;
    return v;
}

void PossibleModalityRange(const FrameGreyValues& frame, const StoredBits& bits, double& lowest, double& highest) {
    if (frame.hasModalityLut) {
        lowest = 0.0;
        highest = frame.modalityLut.top();
        return;
    }
    const double a = static_cast<double>(bits.lowest()) * frame.slope + frame.intercept;
    const double b = static_cast<double>(bits.highest()) * frame.slope + frame.intercept;
    lowest = std::min(a, b);
    highest = std::max(a, b);
}

namespace {

std::string WindowName(int index) { return "window " + std::to_string(index); }

}  // namespace

bool StandardLevels::prepare(const FrameGreyValues& frame, const StoredBits& bits, bool monochrome1,
                             const GreyRendering& rendering, double lowestModality, double highestModality,
                             std::string& error) {
    attributes_ = frame;
    top_ = rendering.top();
    // A Presentation LUT Shape decides; without one MONOCHROME1 pictures are inverted. The
    // two never add up to a second inversion.
    invert_ = frame.presentationShape.empty() ? monochrome1 : frame.presentationShape == "INVERSE";
    if (!frame.problem.empty()) {
        error = frame.problem;
        return false;
    }
    if (frame.hasModalityLut && !frame.modalityLut.problem.empty()) {
        error = frame.modalityLut.problem;
        return false;
    }
    if (!frame.hasModalityLut && !(std::isfinite(frame.slope) && std::isfinite(frame.intercept))) {
        error = "the rescale slope or intercept is not a usable number";
        return false;
    }
    auto useRange = [&](double low, double high) {
        step_ = Step::Range;
        rangeLow_ = low;
        rangeHigh_ = high;
        return true;
    };
    auto useWindow = [&](double centre, double width, const std::string& function, const std::string& name) {
        centre_ = centre;
        width_ = width;
        step_ = function == "SIGMOID" ? Step::Sigmoid : function == "LINEAR_EXACT" ? Step::LinearExact : Step::Linear;
        const double least = step_ == Step::Linear ? 1.0 : 0.0;
        if (!std::isfinite(centre) || !std::isfinite(width) || width < least || (least == 0.0 && width == 0.0)) {
            error = name + " (centre " + std::to_string(centre) + ", width " + std::to_string(width) +
                    ") is not usable: " + (step_ == Step::Linear ? "a width of at least 1" : "a positive width") +
                    " is needed";
            return false;
        }
        return true;
    };
    switch (rendering.mode) {
    case VoiMode::None: {
        double low = 0.0, high = 0.0;
        PossibleModalityRange(frame, bits, low, high);
        return useRange(low, high);
    }
    case VoiMode::MinMax: return useRange(lowestModality, highestModality);
    case VoiMode::Window: return useWindow(rendering.centre, rendering.width, "LINEAR", "the window");
    case VoiMode::File:  // at 16 bits, where the reader's own conversion has no say
    case VoiMode::Standard: break;
    }
    const int windowCount = static_cast<int>(frame.windows.size());
    const int lutCount = static_cast<int>(frame.voiLuts.size());
    if (rendering.windowIndex > windowCount) {
        error = WindowName(rendering.windowIndex) + " requested, the file has " +
                (windowCount == 0 ? "no window" : std::to_string(windowCount) + (windowCount == 1 ? " window" : " windows"));
        return false;
    }
    if (rendering.voiLutIndex > lutCount) {
        error = "VOI LUT " + std::to_string(rendering.voiLutIndex) + " requested, the file has " +
                (lutCount == 0 ? "no VOI LUT" : std::to_string(lutCount) + (lutCount == 1 ? " VOI LUT" : " VOI LUTs"));
        return false;
    }
    if (windowCount > 0 && rendering.voiLutIndex == 0) {
        const int index = std::max(rendering.windowIndex, 1);
        const VoiWindow& w = frame.windows[index - 1];
        return useWindow(w.centre, w.width, frame.function, WindowName(index));
    }
    if (lutCount > 0) {
        step_ = Step::Lut;
        voiLut_ = std::max(rendering.voiLutIndex, 1) - 1;
        error = frame.voiLuts[static_cast<size_t>(voiLut_)].problem;
        return error.empty();
    }
    // Viewing stations stretch a picture without a window over the values it holds: the full
    // range of 12 or 16 stored bits would leave most pictures nearly black or flat grey.
    return useRange(lowestModality, highestModality);
}

double ModalityValue(const FrameGreyValues& frame, int64_t stored) {
    if (frame.hasModalityLut) return frame.modalityLut.map(static_cast<double>(stored));
    return static_cast<double>(stored) * frame.slope + frame.intercept;
}

uint16_t StandardLevels::level(int64_t stored) const {
    const double x = ModalityValue(attributes_, stored);
    double y = 0.0;  // from 0 to 1
    switch (step_) {
    case Step::Linear: {
        const double c = centre_ - 0.5, w = width_ - 1.0;
        if (x <= c - w / 2) y = 0.0;
        else if (x > c + w / 2) y = 1.0;
        else y = (x - c) / w + 0.5;
        break;
    }
    case Step::LinearExact:
        if (x <= centre_ - width_ / 2) y = 0.0;
        else if (x > centre_ + width_ / 2) y = 1.0;
        else y = (x - centre_) / width_ + 0.5;
        break;
    case Step::Sigmoid: y = 1.0 / (1.0 + std::exp(-4.0 * (x - centre_) / width_)); break;
    case Step::Lut: {
        const LookupTable& lut = attributes_.voiLuts[static_cast<size_t>(voiLut_)];
        y = lut.map(x) / lut.top();
        break;
    }
    case Step::Range: y = rangeHigh_ > rangeLow_ ? (x - rangeLow_) / (rangeHigh_ - rangeLow_) : 0.0; break;
    }
    if (!(y > 0.0)) y = 0.0;  // also not a number
    if (y > 1.0) y = 1.0;
    if (invert_) y = 1.0 - y;
    // Truncated, as viewing stations do.
    return static_cast<uint16_t>(std::floor(y * top_));
}

bool StandardLevels::window(double& centre, double& width) const {
    switch (step_) {
    case Step::Lut: return false;
    case Step::Range:
        centre = (rangeLow_ + rangeHigh_) / 2.0;
        width = rangeHigh_ - rangeLow_;
        return true;
    default:
        centre = centre_;
        width = width_;
        return true;
    }
}
