// Feeds arbitrary bytes to the PNG decoder through a memory stream: a header-only probe, then
// a full decode and, when that succeeds, an encode of the result (which walks every row, the
// palette, the transparency and the alpha plane the decoder left behind). Pictures larger than
// 4 megapixels skip the full decode: they run the same code as small ones, only slower.
// Chunk checksums are recomputed first, half of the time: libpng refuses a chunk whose CRC
// is wrong, so mutations would otherwise rarely get past the first damaged chunk.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "LfFile.h"
#include "LfImagePNG.h"

namespace {

void FixChecksums(std::vector<uint8_t>& png) {
    for (size_t at = 8; at + 12 <= png.size();) {
        const uint32_t length = (uint32_t(png[at]) << 24) | (png[at + 1] << 16) | (png[at + 2] << 8) | png[at + 3];
        if (length > png.size() - at - 12) return;
        const uint32_t crc = static_cast<uint32_t>(crc32(0, &png[at + 4], length + 4));
        uint8_t* out = &png[at + 8 + length];
        for (int k = 0; k < 4; ++k) out[k] = static_cast<uint8_t>(crc >> (24 - 8 * k));
        at += 12 + size_t(length);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return 0;
    std::vector<uint8_t> bytes(data, data + size);
    if (size > 0 && (data[size - 1] & 1)) FixChecksums(bytes);
    uint8_t* buffer = bytes.empty() ? nullptr : bytes.data();

    LfMemFile probeStream(buffer, static_cast<int32_t>(size));
    LfImagePNG probe;
    probe.SetEscape(-1);
    if (probe.Decode(&probeStream) &&
        static_cast<uint64_t>(probe.Width()) * probe.Height() > (uint64_t{1} << 22))
        return 0;

    LfMemFile stream(buffer, static_cast<int32_t>(size));
    LfImagePNG image;
    if (image.Decode(&stream)) {
        LfMemFile out;
        out.Open();
        image.Encode(&out);
    }
    return 0;
}
