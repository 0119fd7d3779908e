#include "Overlays.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace {

constexpr uint16_t kRows = 0x0010;
constexpr uint16_t kColumns = 0x0011;
constexpr uint16_t kFrames = 0x0015;       // Number of Frames in Overlay
constexpr uint16_t kDescription = 0x0022;
constexpr uint16_t kType = 0x0040;
constexpr uint16_t kOrigin = 0x0050;       // row\column, from 1
constexpr uint16_t kFrameOrigin = 0x0051;  // Image Frame Origin
constexpr uint16_t kBitsAllocated = 0x0100;
constexpr uint16_t kBitPosition = 0x0102;
constexpr uint16_t kData = 0x3000;
// Every overlay value but the data is a number or a short text.
constexpr size_t kMaxSmallValue = 64;

bool IsNumber(uint16_t element) {
    return element == kRows || element == kColumns || element == kOrigin || element == kFrameOrigin ||
           element == kBitsAllocated || element == kBitPosition;
}

std::string Hex(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

std::string TagText(uint16_t group, uint16_t element) { return "(" + Hex(group) + "," + Hex(element) + ")"; }

// The values of one group as read; numbers little-endian.
using Values = std::map<uint16_t, std::vector<uint8_t>>;

// The index-th 16-bit number of an element; false when the element or the number is absent.
bool Number(const Values& values, uint16_t element, size_t index, int& out, bool isSigned = false) {
    const auto it = values.find(element);
    if (it == values.end() || it->second.size() < 2 * index + 2) return false;
    const uint16_t word = static_cast<uint16_t>(it->second[2 * index] | (it->second[2 * index + 1] << 8));
    out = isSigned ? static_cast<int16_t>(word) : word;
    return true;
}

// A text value without its padding blanks; empty when absent.
std::string Text(const Values& values, uint16_t element) {
    const auto it = values.find(element);
    if (it == values.end()) return "";
    std::string text(it->second.begin(), it->second.end());
    const size_t first = text.find_first_not_of(std::string(" \t\0", 3));
    const size_t last = text.find_last_not_of(std::string(" \t\0", 3));
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

uint32_t SampleAt(const uint8_t* samples, size_t i, int bytes) {
    const uint8_t* p = samples + i * static_cast<size_t>(bytes);
    return bytes == 1 ? p[0] : p[0] | (uint32_t{p[1]} << 8);
}

// Bits in unused high bits of grey samples: the plane covers every frame of the picture.
std::string TakeBitsFromPixels(const Values& values, const PixelLayout& layout, int frames, const uint8_t* samples,
                               int bitsAllocated, OverlayPlane& p) {
    int position = 0;
    if (!Number(values, kBitPosition, 0, position)) return "overlay bits in the pixel data without a bit position";
    if (layout.samplesPerPixel != 1 || layout.isColour()) return "overlay bits in colour pixel data";
    if (bitsAllocated != layout.bitsAllocated || (bitsAllocated != 8 && bitsAllocated != 16))
        return "overlay bits allocated " + std::to_string(bitsAllocated) + " in pixel data of " +
               std::to_string(layout.bitsAllocated) + " bits allocated";
    if (position >= bitsAllocated)
        return "overlay bit position " + std::to_string(position) + " beyond the " + std::to_string(bitsAllocated) +
               " bits allocated";
    const int lowestStored = layout.highBit + 1 - layout.bitsStored;
    if (position >= lowestStored && position <= layout.highBit)
        return "overlay bit position " + std::to_string(position) + " lies among the stored bits";
    if (p.rows != layout.rows || p.columns != layout.columns)
        return "overlay of " + std::to_string(p.rows) + " x " + std::to_string(p.columns) + " in the pixel data of a " +
               std::to_string(layout.rows) + " x " + std::to_string(layout.columns) + " picture";
    if (frames < 1) return "overlay bits in pixel data that was not read";
    p.bitPosition = position;
    p.frames = frames;
    p.firstFrame = 1;
    p.everyFrame = false;
    // Described from the header alone: the plane is listed, its bits stay unread.
    if (samples == nullptr) return "";
    const size_t count = layout.pixels() * static_cast<size_t>(frames);
    p.bits.assign((count + 7) / 8, 0);
    const int bytes = layout.sampleBytes();
    for (size_t i = 0; i < count; ++i)
        if ((SampleAt(samples, i, bytes) >> position) & 1) p.bits[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
    return "";
}

// Fills the plane from the group's values; the reason it cannot be drawn, or empty.
std::string CheckPlane(const Values& values, const PixelLayout& layout, int frames, const uint8_t* samples,
                       OverlayPlane& p) {
    p.description = Text(values, kDescription);
    const std::string type = Text(values, kType);
    p.type = type.size() == 1 ? type[0] : 0;
    if (type != "G" && type != "R") return type.empty() ? "no overlay type" : "overlay type '" + type + "' unknown";
    int rows = 0, columns = 0;
    if (!Number(values, kRows, 0, rows) || !Number(values, kColumns, 0, columns)) return "no overlay rows or columns";
    p.rows = static_cast<uint16_t>(rows);
    p.columns = static_cast<uint16_t>(columns);
    if (rows == 0 || columns == 0) return "overlay of " + std::to_string(rows) + " x " + std::to_string(columns);
    if (values.count(kOrigin) &&
        (!Number(values, kOrigin, 0, p.originRow, true) || !Number(values, kOrigin, 1, p.originColumn, true)))
        return "overlay origin without a row and a column";
    if (values.count(kFrames)) {
        const std::string text = Text(values, kFrames);
        int64_t count = 0;
        const auto parsed = std::from_chars(text.data() + (text.rfind('+', 0) == 0), text.data() + text.size(), count);
        if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size() || count < 1 || count > 65535)
            return "overlay frames '" + text + "'";
        p.frames = static_cast<int>(count);
    }
    if (values.count(kFrameOrigin) && (!Number(values, kFrameOrigin, 0, p.firstFrame) || p.firstFrame < 1))
        return "overlay starts at frame " + std::to_string(p.firstFrame) + "; frames count from 1";
    p.everyFrame = !values.count(kFrames) && !values.count(kFrameOrigin);

    const int64_t top = p.originRow, left = p.originColumn;
    if (top + rows - 1 < 1 || top > layout.rows || left + columns - 1 < 1 || left > layout.columns)
        return "overlay at " + std::to_string(top) + "\\" + std::to_string(left) + " lies outside the " +
               std::to_string(layout.rows) + " x " + std::to_string(layout.columns) + " picture";

    const auto data = values.find(kData);
    if (data == values.end()) {
        int bitsAllocated = 1;
        Number(values, kBitsAllocated, 0, bitsAllocated);
        if (bitsAllocated <= 1) return "no overlay data";
        return TakeBitsFromPixels(values, layout, frames, samples, bitsAllocated, p);
    }
    if (frames > 0 && p.firstFrame > frames)
        return "overlay starts at frame " + std::to_string(p.firstFrame) + ", the picture has " + std::to_string(frames);
    const uint64_t needed = uint64_t(p.rows) * p.columns * static_cast<uint64_t>(p.frames);
    const uint64_t held = uint64_t{data->second.size()} * 8;
    if (held < needed)
        return "overlay data holds " + std::to_string(held) + " bits; " + std::to_string(rows) + " x " +
               std::to_string(columns) + " x " + std::to_string(p.frames) + " need " + std::to_string(needed);
    p.bits.assign(data->second.begin(), data->second.begin() + static_cast<std::ptrdiff_t>((needed + 7) / 8));
    return "";
}

}  // namespace

int OverlayPlane::frameFor(int pictureFrame) const {
    if (everyFrame) return 0;
    const int frame = pictureFrame - (firstFrame - 1);
    return frame >= 0 && frame < frames ? frame : -1;
}

std::vector<OverlayPlane> PlanesOfFrame(const std::vector<OverlayPlane>& planes, const PixelLayout& layout, int frame,
                                        const uint8_t* samples) {
    std::vector<OverlayPlane> out = planes;
    const int bytes = layout.sampleBytes();
    for (OverlayPlane& p : out) {
        if (p.bitPosition < 0 || !p.usable()) continue;
        p.frames = 1;
        p.firstFrame = frame + 1;
        p.everyFrame = false;
        const size_t count = layout.pixels();
        p.bits.assign((count + 7) / 8, 0);
        for (size_t i = 0; i < count; ++i)
            if ((SampleAt(samples, i, bytes) >> p.bitPosition) & 1) p.bits[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
    }
    return out;
}

bool OverlayPlane::bit(int frame, int row, int column) const {
    const uint64_t index = (uint64_t(frame) * rows + uint64_t(row)) * columns + uint64_t(column);
    if ((index >> 3) >= bits.size()) return false;  // a plane described, not read
    return (bits[static_cast<size_t>(index >> 3)] >> (index & 7)) & 1;
}

bool OverlayReader::wants(const ElementHeader& h) {
    if (h.group < 0x6000 || h.group > 0x601E || h.group % 2 != 0) return false;
    switch (h.element) {
    case kRows: case kColumns: case kFrames: case kDescription: case kType: case kOrigin:
    case kFrameOrigin: case kBitsAllocated: case kBitPosition: case kData: return true;
    default: return false;
    }
}

bool OverlayReader::read(ElementReader& reader, const ElementHeader& h) {
    RawPlane& plane = planes_[h.group];
    auto skipBecause = [&](std::string why) {
        if (plane.problem.empty()) plane.problem = std::move(why);
        return reader.skipValue(h);
    };
    if (plane.values.count(h.element)) return skipBecause("overlay group " + Hex(h.group) + " repeated");
    // Overlay Data is as long as the file holds; the rest are short values.
    const size_t limit = h.element == kData ? SIZE_MAX : kMaxSmallValue;
    if (h.undefinedLength() || h.length > limit)
        return skipBecause(TagText(h.group, h.element) + " of " +
                           (h.undefinedLength() ? "undefined length" : std::to_string(h.length) + " bytes"));
    std::vector<uint8_t>& value = plane.values[h.element];
    if (!reader.readValue(h, value, limit)) return false;
    // Overlay Data in words keeps its first pixel in bit 0 of the word.
    const bool words = IsNumber(h.element) || (h.element == kData && h.hasVr("OW"));
    if (reader.encoding().bigEndian && words) SwapToLittleEndian(value.data(), value.size() & ~size_t{1}, 2);
    return true;
}

std::vector<OverlayPlane> OverlayReader::finish(const PixelLayout& layout, int frames, const uint8_t* samples) const {
    std::vector<OverlayPlane> planes;
    for (const auto& [group, raw] : planes_) {
        OverlayPlane p;
        p.group = group;
        p.problem = CheckPlane(raw.values, layout, frames, samples, p);
        if (!raw.problem.empty()) p.problem = raw.problem;
        if (!p.problem.empty()) p.bits.clear();
        planes.push_back(std::move(p));
    }
    return planes;
}

void DrawOverlays(const std::vector<OverlayPlane>& planes, int choice, int frame, DicomPicture& picture) {
    if (choice == kNoOverlays || !picture.grey()) return;
    const int rows = picture.height, columns = picture.width;
    for (const OverlayPlane& p : planes) {
        if (!p.usable() || p.type != 'G') continue;
        if (choice != kAllOverlays && p.group != 0x6000 + 2 * (choice - 1)) continue;
        const int k = p.frameFor(frame);
        if (k < 0) continue;
        // Only the part of the plane over the picture.
        const int64_t firstRow = std::max<int64_t>(0, 1 - int64_t{p.originRow});
        const int64_t endRow = std::min<int64_t>(p.rows, int64_t{rows} + 1 - p.originRow);
        const int64_t firstColumn = std::max<int64_t>(0, 1 - int64_t{p.originColumn});
        const int64_t endColumn = std::min<int64_t>(p.columns, int64_t{columns} + 1 - p.originColumn);
        for (int64_t r = firstRow; r < endRow; ++r) {
            const int64_t y = p.originRow - 1 + r;
            for (int64_t c = firstColumn; c < endColumn; ++c) {
                if (!p.bit(k, static_cast<int>(r), static_cast<int>(c))) continue;
                const size_t at = static_cast<size_t>(y * columns + p.originColumn - 1 + c);
                if (picture.bits == 16) picture.words[at] = 65535;
                else picture.bytes[at] = 255;
            }
        }
    }
}

std::string DescribeOverlays(const std::vector<OverlayPlane>& planes) {
    std::string text;
    for (const OverlayPlane& p : planes) {
        text += "; overlay " + Hex(p.group);
        if (!p.usable()) {
            text += " skipped: " + p.problem;
            continue;
        }
        text += std::string(": ") + (p.type == 'G' ? "graphics" : "ROI");
        if (!p.description.empty()) text += " \"" + p.description + "\"";
        text += ", " + std::to_string(p.rows) + " x " + std::to_string(p.columns) + " at " +
                std::to_string(p.originRow) + "\\" + std::to_string(p.originColumn);
        if (p.bitPosition >= 0) text += ", in bit " + std::to_string(p.bitPosition) + " of the pixel data";
        else if (p.frames > 1 || p.firstFrame > 1)
            text += ", " + std::to_string(p.frames) + (p.frames == 1 ? " frame" : " frames") + " from frame " +
                    std::to_string(p.firstFrame);
    }
    return text;
}
