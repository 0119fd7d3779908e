// Feeds arbitrary bytes to the metafile decoder (placeable WMF and EMF) through a memory
// stream: a header-only probe, then a full decode. Pictures the probe finds larger than a
// quarter megapixel are rendered at a forced 256 x 256 instead: the player runs the same
// records at any size, only slower, and the 4000-pixel limit is covered by the unit tests.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "LfFile.h"
#include "LfImageWMF.h"

// Fontconfig, which draws the text through cairo, keeps a few hundred bytes of its own for the
// whole run; the leak checker is told to ignore allocations made inside it (ours it still sees).
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return 0;
    std::vector<uint8_t> bytes(data, data + size);
    uint8_t* buffer = bytes.empty() ? nullptr : bytes.data();

    LfMemFile probeStream(buffer, static_cast<int32_t>(size));
    LfImageWMF probe;
    probe.SetEscape(-1);
    if (!probe.Decode(&probeStream)) return 0;
    const bool large = static_cast<uint64_t>(probe.Width()) * probe.Height() > (uint64_t{1} << 18);

    LfMemFile stream(buffer, static_cast<int32_t>(size));
    LfImageWMF image;
    if (large) image.Decode(&stream, 256, 256);
    else image.Decode(&stream);
    return 0;
}
