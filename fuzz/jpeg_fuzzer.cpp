// Feeds arbitrary bytes to the JPEG decoder (header probe, full decode and a re-encode that
// writes the EXIF block back) and to the EXIF reader's section walk and block parser, all over
// memory streams.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "LfExifReader.h"
#include "LfFile.h"
#include "LfImageJPG.h"

namespace {

// Large frames decode correctly but slowly; the fuzzer learns nothing more from them.
constexpr uint64_t kMaxPixels = 1u << 20;

void Fill(LfMemFile& mem, const uint8_t* data, size_t size) {
    mem.Open();
    if (size) mem.Write(data, 1, size);
    mem.Seek(0, 0);
}

void DecodeAndReencode(const uint8_t* data, size_t size) {
    LfMemFile mem;
    Fill(mem, data, size);
    LfImageJPG probe;
    probe.SetEscape(-1);
    if (!probe.Decode(&mem)) return;
    if (static_cast<uint64_t>(probe.Width()) * probe.Height() > kMaxPixels) return;

    mem.Seek(0, 0);
    LfImageJPG codec;
    // The input's length picks the decode options and, for quantised output, the colour count
    // (its bytes would not do: every whole JPEG ends in the same marker).
    const uint8_t pick = static_cast<uint8_t>(size);
    uint32_t options = 0;
    if (pick & 0x80) options |= LF_JPEG_DECODE_GREY;
    if (pick & 0x40) options |= LF_JPEG_QUANTIZE;
    if (pick & 0x20) options |= LF_JPEG_ONE_PASS;
    if (pick & 0x10) options |= LF_JPEG_NO_FANCY;
    codec.SetCodecOption(options, LF_FORMAT_JPG);
    codec.SetJpegQuality(static_cast<float>(8 + (pick & 0x0F) * 16));
    if (!codec.Decode(&mem)) return;
    LfMemFile out;
    out.Open();
    codec.Encode(&out);
}

void WalkSections(const uint8_t* data, size_t size) {
    LfMemFile mem;
    Fill(mem, data, size);
    LfExifReader reader;
    reader.ReadSections(&mem, LfExifReader::kReadExif | LfExifReader::kReadImageData);
    reader.DiscardAllButExif();
    LfMemFile out;
    out.Open();
    reader.WriteSections(&out);
}

// The block parser on an exactly sized copy, so any read past the end is caught.
void ParseBlock(const uint8_t* data, size_t size) {
    auto copy = std::make_unique<uint8_t[]>(size);
    std::memcpy(copy.get(), data, size);
    LfExifReader reader;
    reader.ParseExif(copy.get(), static_cast<uint32_t>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > (4u << 20)) return 0;
    DecodeAndReencode(data, size);
    WalkSections(data, size);
    ParseBlock(data, size);
    return 0;
}
