// Feeds arbitrary bytes to the TIFF decoder through a memory stream: a header-only probe, then
// full decodes of the first two pages and, when one succeeds, an encode of the result with the
// compression the file used. Pictures larger than 256 kilopixels skip the full decode: they run
// the same code as small ones, only slower (a damaged strip list makes every row cost an encode).
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "LfFile.h"
#include "LfImageTIF.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return 0;
    std::vector<uint8_t> bytes(data, data + size);
    uint8_t* buffer = bytes.empty() ? nullptr : bytes.data();

    for (int32_t page = 0; page < 2; ++page) {
        LfMemFile probeStream(buffer, static_cast<int32_t>(size));
        LfImageTIF probe;
        probe.SetEscape(-1);
        probe.SetCurrentFrame(page);
        if (!probe.Decode(&probeStream)) return 0;
        if (static_cast<uint64_t>(probe.Width()) * probe.Height() > (uint64_t{1} << 18)) return 0;

        LfMemFile stream(buffer, static_cast<int32_t>(size));
        LfImageTIF image;
        image.SetCurrentFrame(page);
        if (image.Decode(&stream)) {
            LfMemFile out;
            out.Open();
            image.Encode(&out);
        }
        if (image.NumFrames() < 2) break;
    }
    return 0;
}
