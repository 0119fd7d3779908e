// Feeds arbitrary bytes to the PCX decoder through a memory stream: a header-only probe,
// then a full decode and, when that succeeds, an encode of the result (which walks every
// pixel row and the alpha plane the decoder left behind). Pictures the probe finds larger
// than a megapixel skip the full decode, and only small ones are encoded: large pictures
// run the same code as small ones, only slower (the memory stream grows in 64 KiB steps),
// and the refusal of sizes beyond the memory limit is covered by the unit tests.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "LfFile.h"
#include "LfImagePCX.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return 0;
    std::vector<uint8_t> bytes(data, data + size);
    uint8_t* buffer = bytes.empty() ? nullptr : bytes.data();

    LfMemFile probeStream(buffer, static_cast<int32_t>(size));
    LfImagePCX probe;
    probe.SetEscape(-1);
    if (probe.Decode(&probeStream) &&
        static_cast<uint64_t>(probe.Width()) * probe.Height() > (uint64_t{1} << 20))
        return 0;

    LfMemFile stream(buffer, static_cast<int32_t>(size));
    LfImagePCX image;
    if (image.Decode(&stream) && static_cast<uint64_t>(image.Width()) * image.Height() <= 65536) {
        LfMemFile out;
        out.Open();
        image.Encode(&out);
    }
    return 0;
}
