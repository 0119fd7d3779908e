// Feeds arbitrary bytes to the MNG/JNG decoder through a memory stream: a header-only probe,
// then full decodes of the first and second frame and, when one succeeds, an encode of the
// result. Streams whose canvas or any picture inside is larger than 1 megapixel are skipped:
// they run the same code as small ones, only slower. Chunk checksums are recomputed first,
// half of the time: libmng refuses a chunk whose CRC is wrong, so mutations would otherwise
// rarely get past the first damaged chunk.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "LfFile.h"
#include "LfImageMNG.h"

namespace {

void FixChecksums(std::vector<uint8_t>& file) {
    for (size_t at = 8; at + 12 <= file.size();) {
        const uint32_t length = (uint32_t(file[at]) << 24) | (file[at + 1] << 16) | (file[at + 2] << 8) | file[at + 3];
        if (length > file.size() - at - 12) return;
        const uint32_t crc = static_cast<uint32_t>(crc32(0, &file[at + 4], length + 4));
        uint8_t* out = &file[at + 8 + length];
        for (int k = 0; k < 4; ++k) out[k] = static_cast<uint8_t>(crc >> (24 - 8 * k));
        at += 12 + size_t(length);
    }
}

constexpr uint64_t kMaxPixels = uint64_t{1} << 20;

// True when a picture header (IHDR, JHDR, BASI) anywhere in the stream claims more pixels
// than the fuzzer decodes in full.
bool HasLargePicture(const std::vector<uint8_t>& file) {
    auto be32 = [&](size_t at) { return (uint32_t(file[at]) << 24) | (file[at + 1] << 16) | (file[at + 2] << 8) | file[at + 3]; };
    for (size_t at = 8; at + 16 <= file.size();) {
        const uint32_t length = be32(at);
        const std::string_view type(reinterpret_cast<const char*>(&file[at + 4]), 4);
        if ((type == "IHDR" || type == "JHDR" || type == "BASI") && uint64_t(be32(at + 8)) * be32(at + 12) > kMaxPixels)
            return true;
        if (length > file.size() - at - 12) return false;
        at += 12 + size_t(length);
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return 0;
    std::vector<uint8_t> bytes(data, data + size);
    if (size > 0 && (data[size - 1] & 1)) FixChecksums(bytes);
    uint8_t* buffer = bytes.empty() ? nullptr : bytes.data();

    if (HasLargePicture(bytes)) return 0;
    LfMemFile probeStream(buffer, static_cast<int32_t>(size));
    LfImageMNG probe;
    probe.SetEscape(-1);
    if (!probe.Decode(&probeStream)) return 0;
    if (static_cast<uint64_t>(probe.Width()) * probe.Height() > kMaxPixels) return 0;

    for (int32_t frame = 0; frame < 2; ++frame) {
        LfMemFile stream(buffer, static_cast<int32_t>(size));
        LfImageMNG image;
        image.SetCurrentFrame(frame);
        if (image.Decode(&stream)) {
            LfMemFile out;
            out.Open();
            image.Encode(&out);
        }
        if (image.NumFrames() < 2) break;
    }
    return 0;
}
