#include "EncapsulatedPixels.h"

#include <algorithm>

#include "Jpeg2000FrameDecoder.h"
#include "JpegFrameDecoder.h"
#include "JpegLsDecoder.h"
#include "RleDecoder.h"

bool ReadOffsetTable(ElementReader& reader, EncapsulatedPixels& pixels) {
    DicomSource& source = reader.source();
    uint16_t element = 0;
    uint32_t length = 0;
    // The first item is the basic offset table, possibly empty.
    if (!reader.readItemHeader(element, length) || element != 0xE000)
        return reader.fail("encapsulated pixel data without its offset table item");
    if (length % 4 || length > source.remaining())
        return reader.fail("damaged basic offset table");
    std::vector<uint8_t> table(length);
    if (!source.read(table.data(), length)) return reader.fail("damaged basic offset table");
    for (size_t i = 0; i < length; i += 4) pixels.basicOffsets.push_back(reader.u32(&table[i]));
    return true;
}

bool ReadEncapsulated(ElementReader& reader, EncapsulatedPixels& pixels) {
    if (!ReadOffsetTable(reader, pixels)) return false;
    DicomSource& source = reader.source();
    uint16_t element = 0;
    uint32_t length = 0;
    uint64_t itemOffset = 0;
    for (;;) {
        if (!reader.readItemHeader(element, length))
            return reader.fail("encapsulated pixel data without its delimiter");
        if (element == 0xE0DD) return true;
        if (element != 0xE000 || length == 0xFFFFFFFFu)
            return reader.fail("damaged item in the encapsulated pixel data");
        if (length > source.remaining())
            return reader.fail("pixel data fragment runs past the end of the file");
        Fragment f;
        f.offset = pixels.data.size();
        f.length = length;
        f.itemOffset = itemOffset;
        f.position = source.position();
        const size_t head = std::min<size_t>(length, 2);
        pixels.data.resize(pixels.data.size() + head);
        if (!source.read(pixels.data.data() + f.offset, head) || !source.skip(length - head))
            return reader.fail("pixel data fragment runs past the end of the file");
        pixels.fragments.push_back(f);
        itemOffset += 8 + uint64_t{length};
    }
}

namespace {

// The fragments from the one whose item starts at begin up to (not including) end.
bool FragmentsBetween(const EncapsulatedPixels& p, uint64_t begin, uint64_t end, std::vector<size_t>& out) {
    out.clear();
    for (size_t i = 0; i < p.fragments.size(); ++i) {
        const uint64_t at = p.fragments[i].itemOffset;
        if (at == begin || (!out.empty() && at < end)) out.push_back(i);
        else if (at > begin && out.empty()) return false;  // begin falls inside an item
    }
    return !out.empty();
}

bool SplitByOffsets(EncapsulatedPixels& p, const std::vector<uint64_t>& offsets, std::string& error) {
    for (size_t f = 0; f < offsets.size(); ++f) {
        const uint64_t end = f + 1 < offsets.size() ? offsets[f + 1] : UINT64_MAX;
        if (end <= offsets[f]) return error = "offset table not in rising order", false;
        std::vector<size_t> list;
        if (!FragmentsBetween(p, offsets[f], end, list))
            return error = "offset table points outside the pixel data", false;
        p.frames.push_back(std::move(list));
    }
    return true;
}

// Without a table a frame begins at each fragment opening with a JPEG start-of-image marker
// or a JPEG 2000 code stream's start; the other fragments continue the frame before them.
bool SplitByStartMarkers(EncapsulatedPixels& p, size_t frames) {
    std::vector<std::vector<size_t>> found;
    for (size_t i = 0; i < p.fragments.size(); ++i) {
        const Fragment& f = p.fragments[i];
        const uint8_t* b = p.data.data() + f.offset;
        const bool starts = f.length >= 2 && b[0] == 0xFF && (b[1] == 0xD8 || b[1] == 0x4F);
        if (starts) found.emplace_back();
        else if (found.empty()) return false;
        found.back().push_back(i);
    }
    if (found.size() != frames) return false;
    p.frames = std::move(found);
    return true;
}

}  // namespace

namespace {

// Where the item after the last fragment would start: the end of the fragments.
uint64_t FragmentsEnd(const EncapsulatedPixels& p) {
    const Fragment& last = p.fragments.back();
    return last.itemOffset + 8 + uint64_t{last.length};
}

// Without a usable table: one frame per fragment when the counts agree, every fragment in the
// one frame there is, else a frame from each start marker.
bool SplitByFragments(EncapsulatedPixels& p, size_t frames) {
    p.frames.clear();
    if (p.fragments.size() == frames) {
        for (size_t i = 0; i < frames; ++i) p.frames.push_back({i});
        return true;
    }
    if (frames == 1) {
        p.frames.emplace_back();
        for (size_t i = 0; i < p.fragments.size(); ++i) p.frames[0].push_back(i);
        return true;
    }
    return SplitByStartMarkers(p, frames);
}

// The basic table as the fragments confirm it. Writers close it with the end of the
// fragments, or count padding the items do not have; such a table is read as the fragments
// show. Only an entry beyond the fragments is refused.
bool SplitByBasicTable(EncapsulatedPixels& p, size_t frames, std::string& error) {
    std::vector<uint64_t> offsets(p.basicOffsets.begin(), p.basicOffsets.end());
    const uint64_t end = FragmentsEnd(p);
    if (offsets.size() == frames + 1 && offsets.back() == end) offsets.pop_back();
    for (uint64_t offset : offsets)
        if (offset >= end) return error = "basic offset table points outside the pixel data", false;
    std::string disagreement;
    if (offsets.size() == frames && SplitByOffsets(p, offsets, disagreement)) return true;
    if (SplitByFragments(p, frames)) return true;
    return error = "basic offset table of " + std::to_string(p.basicOffsets.size()) +
                   " entries does not match the fragments, and " + std::to_string(frames) + " frames in " +
                   std::to_string(p.fragments.size()) + " fragments cannot be told apart without it", false;
}

}  // namespace

bool SplitFrames(EncapsulatedPixels& p, size_t frames, std::string& error) {
    p.frames.clear();
    if (p.fragments.empty()) return error = "encapsulated pixel data without fragments", false;
    if (!p.extendedOffsets.empty()) {
        if (p.extendedOffsets.size() != frames || p.extendedLengths.size() != frames)
            return error = "extended offset table does not list every frame", false;
        return SplitByOffsets(p, p.extendedOffsets, error);
    }
    if (!p.basicOffsets.empty()) return SplitByBasicTable(p, frames, error);
    if (SplitByFragments(p, frames)) return true;
    return error = std::to_string(frames) + " frames in " + std::to_string(p.fragments.size()) +
                   " fragments without an offset table", false;
}

namespace {

bool IsJpeg(const std::string& uid) {
    return uid == "1.2.840.10008.1.2.4.50" || uid == "1.2.840.10008.1.2.4.51" || uid == "1.2.840.10008.1.2.4.57" ||
           uid == "1.2.840.10008.1.2.4.70";
}

bool IsJpegLs(const std::string& uid) {
    return uid == "1.2.840.10008.1.2.4.80" || uid == "1.2.840.10008.1.2.4.81";
}

// JPEG 2000 and its high-throughput block coding share the code stream syntax.
bool IsJpeg2000(const std::string& uid) {
    for (const char* j2k : {"1.2.840.10008.1.2.4.90", "1.2.840.10008.1.2.4.91", "1.2.840.10008.1.2.4.201",
                            "1.2.840.10008.1.2.4.202", "1.2.840.10008.1.2.4.203"})
        if (uid == j2k) return true;
    return false;
}

// Decoders that take a frame on one thread.
template <bool (*Decode)(const uint8_t*, size_t, const PixelLayout&, uint8_t*, std::string&)>
bool OneThread(const uint8_t* data, size_t size, const PixelLayout& layout, uint8_t* samples, std::string& error, int) {
    return Decode(data, size, layout, samples, error);
}

}  // namespace

FrameDecoder FindFrameDecoder(const TransferSyntax& syntax) {
    const std::string uid = syntax.uid;
    if (uid == "1.2.840.10008.1.2.5") return OneThread<DecodeRleFrame>;
    if (IsJpeg(uid)) return OneThread<DecodeJpegFrame>;
    if (IsJpegLs(uid)) return OneThread<DecodeJpegLsFrame>;
    if (IsJpeg2000(uid)) return DecodeJpeg2000Frame;
    return nullptr;
}

PixelLayout DecodedLayout(const TransferSyntax& syntax, const PixelLayout& layout) {
    return IsJpeg(syntax.uid) ? JpegDecodedLayout(layout) : layout;
}

bool ReadFrameBytes(DicomSource& source, const EncapsulatedPixels& p, size_t frame, std::vector<uint8_t>& bytes) {
    bytes.clear();
    if (frame >= p.frames.size()) return false;
    uint64_t total = 0;
    for (size_t i : p.frames[frame]) total += p.fragments[i].length;
    if (total > source.remaining() + source.position()) return false;
    bytes.resize(static_cast<size_t>(total));
    size_t at = 0;
    for (size_t i : p.frames[frame]) {
        const Fragment& f = p.fragments[i];
        if (!source.seek(f.position) || !source.read(bytes.data() + at, f.length)) return false;
        at += f.length;
    }
    return true;
}
