#include "JpegLosslessDecoder.h"

#include <array>
#include <vector>

namespace {

constexpr int kLookupBits = 8;

struct HuffmanTable {
    bool defined = false;
    std::array<int32_t, 18> maxCode{};   // largest code of each length, -1 when none
    std::array<int32_t, 17> valueIndex{};  // index in values of the first code of each length
    std::array<int32_t, 17> minCode{};
    std::array<uint8_t, 256> values{};
    std::array<uint16_t, 1 << kLookupBits> lookup{};  // length << 8 | value for short codes, 0 otherwise
};

struct Component {
    uint8_t id = 0;
    bool decoded = false;
    std::vector<uint16_t> plane;  // samples before the point transform's shift
};

struct Frame {
    bool seen = false;
    int precision = 0;
    size_t rows = 0, columns = 0;
    std::vector<Component> components;
    unsigned restartInterval = 0;
    std::array<HuffmanTable, 4> tables;
};

// Entropy-coded bits with 0xFF00 stuffing removed. At a marker or the end of the data zero
// bits are fed, and `overrun` tells whether the decoder used any of them.
class BitReader {
public:
    BitReader(const uint8_t* at, const uint8_t* end) : at_(at), end_(end) {}

    uint32_t peek(int n) {
        if (bits_ < n) fill();
        return static_cast<uint32_t>(buffer_ >> (64 - n));
    }
    void skip(int n) {
        buffer_ <<= n;
        bits_ -= n;
    }
    uint32_t get(int n) {
        const uint32_t v = peek(n);
        skip(n);
        return v;
    }
    bool overrun() const { return padded_ * 8 > bits_; }
    const uint8_t* position() const { return at_; }

    // Drops the bits left of the interval and steps over the restart marker that follows.
    bool restart() {
        buffer_ = 0;
        bits_ = 0;
        padded_ = 0;
        marker_ = false;
        while (at_ + 1 < end_ && !(at_[0] == 0xFF && at_[1] >= 0xD0 && at_[1] <= 0xD7)) ++at_;
        if (at_ + 1 >= end_) return false;
        at_ += 2;
        return true;
    }

private:
    void fill() {
        while (bits_ <= 56) {
            uint8_t byte = 0;
            if (marker_ || at_ >= end_) {
                ++padded_;
            } else if (at_[0] == 0xFF) {
                if (at_ + 1 < end_ && at_[1] == 0x00) {
                    byte = 0xFF;
                    at_ += 2;
                } else {
                    marker_ = true;
                    ++padded_;
                }
            } else {
                byte = *at_++;
            }
            buffer_ |= uint64_t{byte} << (56 - bits_);
            bits_ += 8;
        }
    }

    const uint8_t* at_;
    const uint8_t* end_;
    uint64_t buffer_ = 0;
    int bits_ = 0;
    int padded_ = 0;
    bool marker_ = false;
};

bool Fail(std::string& error, std::string text) {
    error = std::move(text);
    return false;
}

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// Builds the canonical codes of one table; counts whose codes overflow their lengths are
// refused, as are tables listing more than 256 values.
bool BuildTable(const uint8_t* counts, const uint8_t* values, size_t total, HuffmanTable& t) {
    t = HuffmanTable{};
    int32_t code = 0;
    size_t k = 0;
    for (int length = 1; length <= 16; ++length) {
        const int n = counts[length - 1];
        if (code + n > (1 << length)) return false;  // more codes than the length can hold
        t.valueIndex[length] = static_cast<int32_t>(k);
        t.minCode[length] = code;
        t.maxCode[length] = n ? code + n - 1 : -1;
        for (int i = 0; i < n; ++i, ++k, ++code) {
            if (length <= kLookupBits) {
                const int shift = kLookupBits - length;
                for (int fill = 0; fill < (1 << shift); ++fill)
                    t.lookup[(code << shift) | fill] = static_cast<uint16_t>(length << 8 | values[k]);
            }
        }
        code <<= 1;
    }
    t.maxCode[17] = INT32_MAX;  // sentinel: a code longer than 16 bits is damaged
    std::copy(values, values + total, t.values.begin());
    t.defined = true;
    return k == total;
}

bool ReadHuffmanTables(const uint8_t* p, size_t length, Frame& frame, std::string& error) {
    while (length > 0) {
        if (length < 17) return Fail(error, "damaged JPEG Huffman table");
        const int index = p[0] & 0x0F;
        if (index > 3 || (p[0] >> 4) > 1) return Fail(error, "damaged JPEG Huffman table");
        size_t total = 0;
        for (int i = 0; i < 16; ++i) total += p[1 + i];
        if (total > 256 || 17 + total > length) return Fail(error, "JPEG Huffman table overflows");
        // Lossless scans use only the first class; tables of the second are skipped.
        if ((p[0] >> 4) == 0 && !BuildTable(p + 1, p + 17, total, frame.tables[index]))
            return Fail(error, "JPEG Huffman table overflows");
        p += 17 + total;
        length -= 17 + total;
    }
    return true;
}

bool ReadFrameHeader(const uint8_t* p, size_t length, const PixelLayout& layout, Frame& frame, std::string& error) {
    if (frame.seen) return Fail(error, "JPEG frame with two frame headers");
    if (length < 6) return Fail(error, "damaged JPEG frame header");
    frame.seen = true;
    frame.precision = p[0];
    frame.rows = Be16(p + 1);
    frame.columns = Be16(p + 3);
    const size_t count = p[5];
    if (length != 6 + 3 * count || count == 0) return Fail(error, "damaged JPEG frame header");
    if (frame.precision < 2 || frame.precision > 16)
        return Fail(error, "JPEG lossless precision of " + std::to_string(frame.precision) + " bits");
    if (frame.precision > layout.bitsAllocated || (layout.bitsAllocated != 8 && layout.bitsAllocated != 16))
        return Fail(error, "JPEG precision of " + std::to_string(frame.precision) + " bits in " +
                               std::to_string(layout.bitsAllocated) + " bits allocated");
    if (frame.rows != layout.rows || frame.columns != layout.columns)
        return Fail(error, "JPEG frame of " + std::to_string(frame.columns) + " x " + std::to_string(frame.rows) +
                               " pixels in a picture of " + std::to_string(layout.columns) + " x " +
                               std::to_string(layout.rows));
    if (count != layout.samplesPerPixel || layout.photometric == Photometric::YbrFull422)
        return Fail(error, "JPEG frame of " + std::to_string(count) + " components for " +
                               std::to_string(layout.samplesPerPixel) + " samples per pixel");
    for (size_t c = 0; c < count; ++c) {
        const uint8_t* q = p + 6 + 3 * c;
        if (count > 1 && q[1] != 0x11) return Fail(error, "subsampled JPEG lossless components");
        Component component;
        component.id = q[0];
        component.plane.assign(frame.rows * frame.columns, 0);
        frame.components.push_back(std::move(component));
    }
    return true;
}

struct ScanComponent {
    Component* component;
    const HuffmanTable* table;
};

// One difference: its magnitude category through the Huffman table, then that many bits.
bool DecodeDifference(BitReader& bits, const HuffmanTable& t, int32_t& difference) {
    int length = 0, category = 0;
    const uint16_t hit = t.lookup[bits.peek(kLookupBits)];
    if (hit) {
        length = hit >> 8;
        category = hit & 0xFF;
        bits.skip(length);
    } else {
        int32_t code = static_cast<int32_t>(bits.get(kLookupBits));
        length = kLookupBits;
        while (length < 17 && code > t.maxCode[length]) {
            code = (code << 1) | static_cast<int32_t>(bits.get(1));
            ++length;
        }
        if (length > 16) return false;
        category = t.values[static_cast<size_t>(t.valueIndex[length] + code - t.minCode[length])];
    }
    if (category > 16) return false;
    if (category == 0) difference = 0;
    else if (category == 16) difference = 32768;
    else {
        const int32_t v = static_cast<int32_t>(bits.get(category));
        difference = v < (1 << (category - 1)) ? v - (1 << category) + 1 : v;
    }
    return true;
}

int32_t Predict(int predictor, int32_t a, int32_t b, int32_t c) {
    switch (predictor) {
    case 1: return a;
    case 2: return b;
    case 3: return c;
    case 4: return a + b - c;
    case 5: return a + ((b - c) >> 1);
    case 6: return b + ((a - c) >> 1);
    default: return (a + b) >> 1;
    }
}

bool DecodeScan(const uint8_t*& at, const uint8_t* end, const uint8_t* header, size_t length, Frame& frame,
                std::string& error) {
    if (!frame.seen) return Fail(error, "JPEG scan before the frame header");
    const size_t count = header[0];
    if (count == 0 || count > frame.components.size() || length != 4 + 2 * count)
        return Fail(error, "damaged JPEG scan header");
    std::vector<ScanComponent> scan;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t id = header[1 + 2 * i], tableIndex = header[2 + 2 * i] >> 4;
        Component* found = nullptr;
        for (Component& c : frame.components)
            if (c.id == id && !c.decoded) found = &c;
        if (!found || tableIndex > 3 || !frame.tables[tableIndex].defined)
            return Fail(error, "JPEG scan names an unknown component or table");
        found->decoded = true;
        scan.push_back({found, &frame.tables[tableIndex]});
    }
    const int predictor = header[1 + 2 * count];
    const int pointTransform = header[3 + 2 * count] & 0x0F;
    if (predictor < 1 || predictor > 7) return Fail(error, "JPEG scan with predictor " + std::to_string(predictor));
    if (pointTransform >= frame.precision) return Fail(error, "JPEG point transform larger than the precision");
    const int32_t initial = 1 << (frame.precision - pointTransform - 1);

    BitReader bits(at, end);
    const size_t columns = frame.columns;
    unsigned untilRestart = frame.restartInterval;
    bool firstLine = true;  // the first line of the scan or of a restart interval predicts from the left
    bool freshStart = true;
    for (size_t y = 0; y < frame.rows; ++y) {
        if (y > 0) firstLine = false;
        for (size_t x = 0; x < columns; ++x) {
            if (frame.restartInterval) {
                if (untilRestart == 0) {
                    if (bits.overrun() || !bits.restart()) return Fail(error, "JPEG restart marker missing");
                    untilRestart = frame.restartInterval;
                    firstLine = freshStart = true;
                }
                --untilRestart;
            }
            for (const ScanComponent& s : scan) {
                uint16_t* row = s.component->plane.data() + y * columns;
                const uint16_t* above = y > 0 ? row - columns : row;  // used only below the first line
                int32_t prediction;
                if (freshStart) prediction = initial;
                else if (firstLine) prediction = row[x - 1];
                else if (x == 0) prediction = above[0];
                else prediction = Predict(predictor, row[x - 1], above[x], above[x - 1]);
                int32_t difference = 0;
                if (!DecodeDifference(bits, *s.table, difference)) return Fail(error, "damaged JPEG Huffman code");
                row[x] = static_cast<uint16_t>(prediction + difference);
            }
            freshStart = false;
        }
    }
    if (bits.overrun()) return Fail(error, "JPEG data ends early");
    at = bits.position();
    for (const ScanComponent& s : scan)
        for (uint16_t& v : s.component->plane) v = static_cast<uint16_t>(v << pointTransform);
    return true;
}

void WriteSamples(const Frame& frame, const PixelLayout& layout, uint8_t* out) {
    const size_t pixels = frame.rows * frame.columns;
    const size_t count = frame.components.size();
    const bool planar = layout.planarConfiguration == 1 && count > 1;
    const uint16_t mask = static_cast<uint16_t>((1u << frame.precision) - 1);
    for (size_t c = 0; c < count; ++c) {
        const uint16_t* plane = frame.components[c].plane.data();
        for (size_t p = 0; p < pixels; ++p) {
            const size_t index = planar ? c * pixels + p : p * count + c;
            const uint16_t v = plane[p] & mask;
            if (layout.bitsAllocated == 8) {
                out[index] = static_cast<uint8_t>(v);
            } else {
                out[2 * index] = static_cast<uint8_t>(v);
                out[2 * index + 1] = static_cast<uint8_t>(v >> 8);
            }
        }
    }
}

}  // namespace

bool DecodeJpegLosslessFrame(const uint8_t* data, size_t size, const PixelLayout& layout, uint8_t* samples,
                             std::string& error) {
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return Fail(error, "JPEG frame without its start marker");
    Frame frame;
    const uint8_t* at = data + 2;
    const uint8_t* end = data + size;
    for (;;) {
        while (at < end && *at != 0xFF) ++at;  // bytes between segments are skipped
        while (at < end && *at == 0xFF) ++at;
        if (at >= end) break;
        const uint8_t marker = *at++;
        if (marker == 0xD9) break;
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) continue;
        if (end - at < 2 || Be16(at) < 2 || Be16(at) > end - at) return Fail(error, "JPEG segment runs past the frame");
        const uint8_t* body = at + 2;
        const size_t length = Be16(at) - 2u;
        at += Be16(at);
        bool ok = true;
        if (marker == 0xC3) ok = ReadFrameHeader(body, length, layout, frame, error);
        else if (marker == 0xC4) ok = ReadHuffmanTables(body, length, frame, error);
        else if (marker == 0xDD) {
            if (length != 2) return Fail(error, "damaged JPEG restart interval");
            frame.restartInterval = Be16(body);
        } else if (marker == 0xDA) ok = length >= 4 && DecodeScan(at, end, body, length, frame, error);
        else if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC8 && marker != 0xCC)
            return Fail(error, "JPEG frame of a process other than lossless Huffman coding");
        if (!ok) return error.empty() ? Fail(error, "damaged JPEG scan header") : false;
    }
    if (!frame.seen) return Fail(error, "JPEG frame without a lossless frame header");
    for (const Component& c : frame.components)
        if (!c.decoded) return Fail(error, "JPEG frame without a scan for every component");
    WriteSamples(frame, layout, samples);
    return true;
}
