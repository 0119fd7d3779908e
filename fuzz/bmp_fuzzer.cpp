// Feeds arbitrary bytes to the BMP decoder through a memory stream: a full decode, a
// header-only probe, and, when the decode succeeds, an encode of the result (which walks
// every pixel row and the alpha plane the decoder left behind).
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "LfFile.h"
#include "LfImageBMP.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return 0;
    std::vector<uint8_t> bytes(data, data + size);
    uint8_t* buffer = bytes.empty() ? nullptr : bytes.data();

    LfMemFile probeStream(buffer, static_cast<int32_t>(size));
    LfImageBMP probe;
    probe.SetEscape(-1);
    probe.Decode(&probeStream);

    LfMemFile stream(buffer, static_cast<int32_t>(size));
    LfImageBMP image;
    if (image.Decode(&stream)) {
        LfMemFile out;
        out.Open();
        image.Encode(&out);
    }
    return 0;
}
