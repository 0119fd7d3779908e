#include "LfImageWBMP.h"

#include <cstdint>
#include <cstdio>

namespace {

const char* const kWriteError = "Write Error in WBMP file";

uint32_t RowBytes(uint32_t width) { return (width + 7) / 8; }

}  // namespace

bool LfImageWBMP::Fail(const char* message) {
    SetLastError(message);
    return false;
}

bool LfImageWBMP::ReadMultiByte(LfFile* stream, uint32_t& value) {
    uint64_t v = 0;
    value = 0;
    while (!stream->Eof()) {
        const int32_t b = stream->GetC();
        if (b < 0) break;
        // The reader accepts any number of groups; once past 32 bits the value stays
        // saturated so that a long run of continuation bytes cannot wrap to a small size.
        v = (v << 7) | static_cast<uint32_t>(b & 0x7F);
        if (v > UINT32_MAX) v = UINT32_MAX;
        value = static_cast<uint32_t>(v);
        if ((b & 0x80) == 0) return true;
    }
    return false;
}

bool LfImageWBMP::WriteMultiByte(LfFile* stream, uint32_t value) {
    uint8_t bytes[5];
    int count = 0;
    do {
        bytes[4 - count] = static_cast<uint8_t>(value & 0x7F);
        value >>= 7;
        ++count;
    } while (value != 0);
    for (int i = 5 - count; i < 4; ++i) bytes[i] |= 0x80;  // every byte but the last
    return stream->Write(bytes + 5 - count, 1, count) == static_cast<size_t>(count);
}

bool LfImageWBMP::Encode(LfFile* stream) {
    if (EncodeSafeCheck(stream)) return false;
    if (BitCount() != 1) return Fail("Can't save this image as WBMP");

    const uint8_t typeAndFixedHeader[2] = {0, 0};
    if (stream->Write(typeAndFixedHeader, 1, 2) != 2 || !WriteMultiByte(stream, Width()) ||
        !WriteMultiByte(stream, Height()))
        return Fail(kWriteError);
    // The file's first row is the top row, the last row of the buffer. Bits go out as the
    // indices they hold; the palette is not consulted.
    const uint32_t rowBytes = RowBytes(Width());
    for (uint32_t k = 0; k < Height(); ++k) {
        if (stream->Write(Row(Height() - 1 - k), 1, rowBytes) != rowBytes) return Fail(kWriteError);
    }
    if (!stream->Flush()) return Fail(kWriteError);
    return true;
}

bool LfImageWBMP::Decode(LfFile* stream) {
    if (stream == nullptr) return Fail("null file handler");
    uint32_t type = 0, fixedHeader = 0, width = 0, height = 0;
    // The individual results are not needed: a header cut short leaves the stream at its end.
    ReadMultiByte(stream, type);
    ReadMultiByte(stream, fixedHeader);
    ReadMultiByte(stream, width);
    ReadMultiByte(stream, height);
    if (stream->Eof()) return Fail("Not a WBMP");
    if (type != 0) return Fail("Unsupported WBMP type");
    // Sizes that do not fit the header's signed fields are as corrupt as zero ones.
    if (width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX)
        return Fail("Corrupted WBMP");
    head.width = static_cast<int32_t>(width);
    head.height = static_cast<int32_t>(height);

    if (info.escape == -1) {
        info.type = LF_FORMAT_WBMP;
        return true;
    }
    if (Create(width, height, 1, LF_FORMAT_WBMP) == nullptr || !IsValid())
        return Fail("WBMP Create failed");
    SetGreyPalette();  // 0 black, 1 white

    // Short reads are not errors: rows the file does not supply stay 0.
    const uint32_t rowBytes = RowBytes(width);
    for (uint32_t k = 0; k < height; ++k) {
        if (stream->Read(Row(height - 1 - k), 1, rowBytes) != rowBytes) break;
    }
    return true;
}
