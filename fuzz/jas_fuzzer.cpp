// Feeds arbitrary bytes to the JPEG 2000 family decoder with identifier 0, so that every
// variant (JP2, code stream, PGX, PNM, Sun raster) is reached from the first bytes: a
// header-only probe, then full decodes of the first two components and, when one succeeds,
// encodes of the result. Pictures larger than 256 kilopixels skip the full decode: they run
// the same code as small ones, only slower.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "LfFile.h"
#include "LfImageJAS.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return 0;
    std::vector<uint8_t> bytes(data, data + size);
    uint8_t* buffer = bytes.empty() ? nullptr : bytes.data();

    LfMemFile probeStream(buffer, static_cast<int32_t>(size));
    LfImageJAS probe;
    probe.SetEscape(-1);
    if (!probe.Decode(&probeStream, 0)) return 0;
    if (static_cast<uint64_t>(probe.Width()) * probe.Height() > (uint64_t{1} << 18)) return 0;

    for (int32_t frame = 0; frame < 2; ++frame) {
        LfMemFile stream(buffer, static_cast<int32_t>(size));
        LfImageJAS image;
        image.SetCurrentFrame(frame);
        if (!image.Decode(&stream, 0)) {
            if (image.NumFrames() < 2) break;
            continue;
        }
        const bool small = static_cast<uint64_t>(image.Width()) * image.Height() <= 4096;
        for (uint32_t format = LF_FORMAT_JP2; format <= LF_FORMAT_RAS; ++format) {
            if (format <= LF_FORMAT_JPC && !small) continue;
            LfMemFile out;
            out.Open();
            image.Encode(&out, format);
        }
        if (image.NumFrames() < 2) break;
    }
    return 0;
}
