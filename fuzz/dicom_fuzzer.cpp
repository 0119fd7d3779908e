// Feeds arbitrary bytes to the DICOM reader in every conversion mode.
#include "DicomReader.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DicomReader reader;
    for (int mode = 1; mode <= 4; ++mode) {
        if (reader.parseMemory(data, size, mode) != 0) break;  // a refusal does not depend on the mode
        const GreyFrame* f = reader.frame();
        // Read every byte of the frame so an undersized buffer shows.
        volatile uint8_t sink = 0;
        for (int64_t i = 0; i < int64_t{f->stride} * f->height; ++i) sink = sink ^ f->pixels[i];
    }
    return 0;
}
