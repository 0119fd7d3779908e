// Feeds arbitrary bytes to the DICOM reader's header step, then in every conversion mode and
// through the standard grey rendering at 8 and 16 bits, rendering a few frames each time with
// every overlay plane drawn (one chosen plane for the standard rendering) and the planes
// described.
#include "DicomReader.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

// Reads every byte of the frame so an undersized buffer shows.
void Touch(const GreyFrame* f) {
    volatile uint8_t sink = 0;
    for (int64_t i = 0; i < int64_t{f->stride} * f->height; ++i) sink = sink ^ f->pixels[i];
}

void RenderAll(DicomReader& reader) {
    Touch(reader.frame());
    // A few frames are enough to reach every frame's offset arithmetic.
    const int frames = std::min(reader.frameCount(), 4);
    for (int i = 1; i < frames; ++i)
        if (const GreyFrame* f = reader.renderFrame(i)) Touch(f);
    reader.renderFrame(reader.frameCount());  // one past the end is refused
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DicomReader reader;
    // The header step first: it must refuse or describe without reading any frame.
    reader.parseHeaderMemory(data, size);
    GreyRendering file;
    file.overlays = kAllOverlays;
    reader.setRendering(file);
    for (int mode = 1; mode <= 4; ++mode) {
        if (reader.parseMemory(data, size, mode) != 0) return 0;  // a refusal does not depend on the mode
        RenderAll(reader);
    }
    volatile size_t described = DescribeOverlays(reader.overlays()).size();
    (void)described;
    // The standard rendering's choices (the first or second window, the first VOI LUT) at 16 bits
    // with the levels read back, and the stretch over every frame.
    GreyRendering standard;
    standard.mode = VoiMode::Standard;
    standard.depth = 16;
    standard.windowIndex = size % 3 == 1 ? 2 : 0;
    standard.voiLutIndex = size % 3 == 2 ? 1 : 0;
    standard.overlays = static_cast<int>(size % 2) + 1;
    GreyRendering minmax;
    minmax.mode = VoiMode::MinMax;
    minmax.overlays = kAllOverlays;
    for (const GreyRendering& rendering : {standard, minmax}) {
        reader.setRendering(rendering);
        if (reader.parseMemory(data, size, 2) != 0) continue;
        RenderAll(reader);
        if (const GreyFrame* f = reader.frame(); f != nullptr && f->deep != nullptr) {
            volatile uint16_t sink = 0;
            for (int64_t i = 0; i < int64_t{f->width} * f->height; ++i) sink = sink ^ f->deep[i];
        }
    }
    return 0;
}
