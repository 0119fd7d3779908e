// Feeds arbitrary bytes to the GIF decoder through a memory stream: a header-only probe, a
// decode of the first frame, and a decode of the last frame with every frame retained (which
// runs disposal and the frame list). Small results are encoded again, which walks every row
// the decoder left and, for retained frames, the animation writer. Screens larger than
// 65536 pixels skip the full decodes: they run the same code, only slower (a file may make
// the decoder touch thousands of pixels per byte), and the limits on claimed sizes are
// covered by the unit tests.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "LfFile.h"
#include "LfImageGIF.h"

namespace {

void EncodeSmall(LfImageGIF& image) {
    if (!image.IsValid() || static_cast<uint64_t>(image.Width()) * image.Height() > 65536) return;
    LfMemFile out;
    out.Open();
    image.Encode(&out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return 0;
    std::vector<uint8_t> bytes(data, data + size);
    uint8_t* buffer = bytes.empty() ? nullptr : bytes.data();

    LfMemFile probeStream(buffer, static_cast<int32_t>(size));
    LfImageGIF probe;
    probe.SetEscape(-1);
    if (probe.Decode(&probeStream) &&
        static_cast<uint64_t>(probe.Width()) * probe.Height() > 65536)
        return 0;

    LfMemFile stream(buffer, static_cast<int32_t>(size));
    LfImageGIF first;
    if (first.Decode(&stream)) EncodeSmall(first);
    if (first.NumFrames() < 1) return 0;

    LfMemFile again(buffer, static_cast<int32_t>(size));
    LfImageGIF all;
    all.SetRetrieveAllFrames(true);
    all.SetCurrentFrame(first.NumFrames() - 1);
    if (all.Decode(&again)) EncodeSmall(all);
    return 0;
}
