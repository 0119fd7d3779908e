// Feeds arbitrary bytes to the ICO decoder through a memory stream: a header-only probe and
// a full decode of the first entry, then of the last one when the directory lists several,
// and an encode of each result (bitmap form, or PNG form past 255 pixels). Icon entries
// hold at most 256 x 256 pixels; embedded PNG streams larger than a megapixel skip the full
// decode, since they only exercise the PNG codec more slowly.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "LfFile.h"
#include "LfImageICO.h"

namespace {

void DecodeFrame(uint8_t* buffer, size_t size, int32_t frame) {
    LfMemFile probeStream(buffer, static_cast<int32_t>(size));
    LfImageICO probe;
    probe.SetCurrentFrame(frame);
    probe.SetEscape(-1);
    if (probe.Decode(&probeStream) &&
        static_cast<uint64_t>(probe.Width()) * probe.Height() > (uint64_t{1} << 20))
        return;

    LfMemFile stream(buffer, static_cast<int32_t>(size));
    LfImageICO image;
    image.SetCurrentFrame(frame);
    const bool decoded = image.Decode(&stream);
    if (decoded && static_cast<uint64_t>(image.Width()) * image.Height() <= 65536) {
        LfMemFile out;
        out.Open();
        image.Encode(&out);
    }
    if (frame == 0 && image.NumFrames() > 1) DecodeFrame(buffer, size, image.NumFrames() - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return 0;
    std::vector<uint8_t> bytes(data, data + size);
    DecodeFrame(bytes.empty() ? nullptr : bytes.data(), size, 0);
    return 0;
}
