// Feeds arbitrary bytes to the camera raw decoder through a memory stream: a header-only probe,
// then a full decode with the demosaicing quality taken from the last byte. Sensors larger
// than 256 kilopixels skip the full decode: they run the same code as small ones, only slower.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "LfFile.h"
#include "LfImageRAW.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return 0;
    std::vector<uint8_t> bytes(data, data + size);
    uint8_t* buffer = bytes.empty() ? nullptr : bytes.data();

    LfMemFile probeStream(buffer, static_cast<int32_t>(size));
    LfImageRAW probe;
    probe.SetEscape(-1);
    if (!probe.Decode(&probeStream)) return 0;
    if (static_cast<uint64_t>(probe.Width()) * probe.Height() > (uint64_t{1} << 18)) return 0;

    LfMemFile stream(buffer, static_cast<int32_t>(size));
    LfImageRAW image;
    image.SetCodecOption(size > 0 ? data[size - 1] & 3 : 0, LF_FORMAT_RAW);
    image.Decode(&stream);
    return 0;
}
