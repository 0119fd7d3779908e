// Feeds arbitrary bytes to the DICOM reader in every conversion mode, rendering every frame.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DicomReader reader;
    for (int mode = 1; mode <= 4; ++mode) {
        if (reader.parseMemory(data, size, mode) != 0) break;  // a refusal does not depend on the mode
        Touch(reader.frame());
        // A few frames are enough to reach every frame's offset arithmetic.
        const int frames = std::min(reader.frameCount(), 4);
        for (int i = 1; i < frames; ++i)
            if (const GreyFrame* f = reader.renderFrame(i)) Touch(f);
        reader.renderFrame(reader.frameCount());  // one past the end is refused
    }
    return 0;
}
