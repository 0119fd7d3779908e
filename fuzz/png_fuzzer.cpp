// Feeds arbitrary bytes to the PNG decoder through a memory stream: a header-only probe, then
// a full decode and, when that succeeds, an encode of the result (which walks every row, the
// palette, the transparency and the alpha plane the decoder left behind). Pictures larger than
// 4 megapixels skip the full decode: they run the same code as small ones, only slower.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "LfFile.h"
#include "LfImagePNG.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return 0;
    std::vector<uint8_t> bytes(data, data + size);
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
