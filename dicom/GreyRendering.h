#pragma once
// Grey levels the way viewing stations compute them: the stored value (bits stored, signed
// or not), then the modality step (a Modality LUT or the rescale), then the VOI step (a
// window with its function, or a VOI LUT), then the inversion a Presentation LUT Shape
// INVERSE asks for (MONOCHROME1 pictures when there is no shape), ending in 0..255 or
// 0..65535, truncated. Also the choices the
// converter offers beside it: an explicit window, a min-max stretch, or no VOI at all.

#include <cstdint>
#include <string>
#include <vector>

// A lookup table of a Modality LUT or VOI LUT Sequence item.
struct LookupTable {
    uint32_t entries = 0;     // from the descriptor, 0 there meaning 65536
    int32_t firstMapped = 0;  // the input value of the first entry
    int bits = 16;            // bits per entry
    std::vector<uint16_t> data;
    std::string explanation;
    std::string problem;  // why the table cannot be used, empty when it can

    // The entry for an input value; inputs outside the table take its first or last entry.
    double map(double input) const;
    // The largest value an entry may hold.
    double top() const { return static_cast<double>((uint32_t{1} << bits) - 1); }
};

// Checks a table read from a file: bits per entry 8 to 16, some data. Tables of 8-bit entries
// packed two to a word are unpacked; a descriptor whose entry count disagrees with the data
// gives way to the data's length; entries above the bits per entry are clamped. The reason
// goes to error.
bool CheckLookupTable(LookupTable& table, const std::string& what, std::string& error);

struct VoiWindow {
    double centre = 0.0;
    double width = 0.0;
    std::string explanation;
};

// Rescale, windows and window function as an enhanced image's functional groups give them
// for a frame (shared or per frame); absent parts leave those of the data set in force.
struct FrameGroups {
    bool hasRescale = false;
    double slope = 1.0;
    double intercept = 0.0;
    bool hasWindows = false;
    std::vector<VoiWindow> windows;
    std::string function;
};

// The modality and VOI values in force for one frame.
struct FrameGreyValues {
    double slope = 1.0;
    double intercept = 0.0;
    bool hasModalityLut = false;
    LookupTable modalityLut;
    std::vector<VoiWindow> windows;
    std::string function;  // VOI LUT Function: LINEAR (also when empty), LINEAR_EXACT, SIGMOID
    std::vector<LookupTable> voiLuts;
    std::string presentationShape;  // IDENTITY, INVERSE or empty
    std::string problem;  // a damaged element among these: the rendering refuses the file
};

// Everything of a data set that takes part in the grey levels: its own values, and those of
// an enhanced image's functional groups.
struct GreyAttributes : FrameGreyValues {
    bool hasShared = false;
    FrameGroups shared;
    std::vector<FrameGroups> perFrame;  // one per frame item, in frame order
};

// The values in force for one frame: the per-frame groups over the shared ones over the data
// set's own.
FrameGreyValues ValuesForFrame(const GreyAttributes& attributes, int frame);

// Whether the frame has a window or a VOI LUT in force, without copying its values.
bool FrameHasVoi(const GreyAttributes& attributes, int frame);

enum class VoiMode {
    File,      // the reader's own conversion (mode 2), unchanged
    Standard,  // the file's window or VOI LUT, as viewing stations render it, else MinMax
    MinMax,    // the modality values' smallest to largest over every frame
    Window,    // an explicit centre and width by the LINEAR rule
    None,      // the modality values over their possible range
};

// Which overlay planes are drawn over grey pictures: none, every graphics plane, or the N-th
// group only (6000 + 2 (N - 1)), N from 1 to kMaxOverlayNumber.
constexpr int kNoOverlays = 0;
constexpr int kAllOverlays = -1;
constexpr int kMaxOverlayNumber = 16;

struct GreyRendering {
    VoiMode mode = VoiMode::File;
    double centre = 0.0;  // VoiMode::Window
    double width = 0.0;
    int windowIndex = 0;  // from 1; 0: not chosen (the first window)
    int voiLutIndex = 0;  // from 1; 0: not chosen
    int depth = 8;        // 8 or 16 bits of output
    int overlays = kNoOverlays;  // kAllOverlays, or N: group 6000 + 2 (N - 1)

    bool standardPath() const { return mode != VoiMode::File || depth != 8; }
    uint32_t top() const { return depth == 16 ? 65535u : 255u; }
};

// The stored bits of a sample and whether they are signed.
struct StoredBits {
    int bitsStored = 16;
    int highBit = 15;
    bool isSigned = false;
    int64_t lowest() const;  // the smallest and largest value the bits can hold
    int64_t highest() const;
    int64_t value(uint32_t sample) const;  // the stored value of a sample's bit pattern
};

// One frame's mapping from stored values to output levels.
class StandardLevels {
public:
    // Chooses the frame's VOI step; false with the reason in error when the rendering asks
    // for a window or LUT the frame lacks, or the file's values cannot be used.
    // lowestModality and highestModality are the smallest and largest modality value over
    // every frame, for the min-max stretch, which the standard rendering also takes for a
    // frame with neither window nor VOI LUT.
    bool prepare(const FrameGreyValues& frame, const StoredBits& bits, bool monochrome1,
                 const GreyRendering& rendering, double lowestModality, double highestModality,
                 std::string& error);
    uint16_t level(int64_t stored) const;
    // The window of the prepared step, a range as the window spanning it; false for a VOI LUT.
    bool window(double& centre, double& width) const;

private:
    enum class Step { Linear, LinearExact, Sigmoid, Lut, Range };
    FrameGreyValues attributes_;
    Step step_ = Step::Range;
    double centre_ = 0.0, width_ = 0.0;
    double rangeLow_ = 0.0, rangeHigh_ = 1.0;  // Step::Range
    int voiLut_ = 0;  // index into attributes_.voiLuts for Step::Lut
    bool invert_ = false;
    double top_ = 255.0;
};

// The modality value of a stored value: the Modality LUT's entry, or the rescaled value.
double ModalityValue(const FrameGreyValues& frame, int64_t stored);

// Smallest and largest modality value a frame can produce from its stored bits.
void PossibleModalityRange(const FrameGreyValues& frame, const StoredBits& bits, double& lowest, double& highest);
