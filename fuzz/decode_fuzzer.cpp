// Feeds arbitrary bytes to the format probe: every codec in the dispatch sees the input, first
// in full and then in header-only mode, and none may crash or read outside the input.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "LfImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    // The stream works on its own copy: codecs may write through a borrowed buffer.
    std::vector<uint8_t> bytes(data, data + size);
    for (int32_t escape : {0, -1}) {
        LfMemFile stream(bytes.empty() ? nullptr : bytes.data(), static_cast<int32_t>(bytes.size()));
        if (bytes.empty() && !stream.Open()) return 0;
        LfImage image;
        image.SetEscape(escape);
        if (image.Decode(&stream, 0) && escape == 0 && image.IsValid()) {
            // Touch both ends of the pixel rows so that a block smaller than its header says
            // shows up here.
            volatile uint8_t sink = image.Row(0)[0];
            sink = sink ^ image.Row(image.Height() - 1)[image.EffectiveWidth() - 1];
            (void)sink;
        }
    }
    return 0;
}
