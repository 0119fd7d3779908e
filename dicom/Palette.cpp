#include "Palette.h"

#include <algorithm>
#include <cstddef>

namespace {

const char* const kChannelNames[3] = {"red", "green", "blue"};

uint16_t Word(const std::vector<uint8_t>& bytes, size_t i) {
    return static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
}

// An entry as an 8-bit level: 16-bit entries keep their high byte.
uint8_t Level(uint32_t value, int entryBits) {
    return static_cast<uint8_t>(entryBits == 16 ? (value >> 8) : value);
}

// Expands segmented table data: discrete runs (0), linear ramps from the last value (1) and
// indirect references to earlier segments (2). The output never grows past count entries
// and an indirect segment may not refer to another indirect one, so the work is bounded.
class SegmentExpander {
public:
    SegmentExpander(const std::vector<uint8_t>& bytes, size_t count)
        : bytes_(bytes), words_(bytes.size() / 2), count_(count) {}

    bool run(std::vector<uint16_t>& out) {
        size_t at = 0;
        while (at < words_ && out.size() < count_)
            if (!segment(at, out, true)) return false;
        return !out.empty();
    }

private:
    bool segment(size_t& at, std::vector<uint16_t>& out, bool allowIndirect) {
        if (at + 2 > words_) return false;
        const uint16_t opcode = Word(bytes_, at), length = Word(bytes_, at + 1);
        at += 2;
        if (opcode == 0) {
            if (at + length > words_) return false;
            for (size_t i = 0; i < length && out.size() < count_; ++i) out.push_back(Word(bytes_, at + i));
            at += length;
            return true;
        }
        if (opcode == 1) {
            if (out.empty() || at + 1 > words_) return false;
            const double y0 = out.back(), y1 = Word(bytes_, at);
            ++at;
            for (size_t i = 1; i <= length && out.size() < count_; ++i)
                out.push_back(static_cast<uint16_t>(y0 + (y1 - y0) * static_cast<double>(i) / length + 0.5));
            return true;
        }
        if (opcode == 2 && allowIndirect) {
            if (at + 2 > words_) return false;
            size_t offset = Word(bytes_, at) | (size_t{Word(bytes_, at + 1)} << 16);
            at += 2;
            for (size_t i = 0; i < length && out.size() < count_; ++i)
                if (!segment(offset, out, false)) return false;
            return true;
        }
        return false;
    }

    const std::vector<uint8_t>& bytes_;
    size_t words_;
    size_t count_;
};

bool Refuse(std::string& error, std::string text) {
    error = std::move(text);
    return false;
}

}  // namespace

const uint8_t* PaletteTables::entry(int32_t index, uint8_t out[3]) const {
    const int64_t last = static_cast<int64_t>(channel[0].size()) - 1;
    const int64_t i = std::clamp<int64_t>(int64_t{index} - firstMapped, 0, last);
    for (int c = 0; c < 3; ++c) out[c] = channel[c][static_cast<size_t>(i)];
    return out;
}

bool BuildPalette(const PaletteSource& s, uint16_t pixelRepresentation, PaletteTables& tables,
                  std::string& error) {
    size_t count = 0;
    for (int c = 0; c < 3; ++c) {
        const std::string name = kChannelNames[c];
        if (!s.hasDescriptor[c]) return Refuse(error, "palette without its " + name + " descriptor");
        // A count of 0 stands for 65536 entries.
        const size_t entries = s.descriptor[c][0] == 0 ? 65536 : s.descriptor[c][0];
        const int bits = s.descriptor[c][2];
        if (bits != 8 && bits != 16) return Refuse(error, "palette entries of " + std::to_string(bits) + " bits");
        if (c == 0) {
            count = entries;
            const uint16_t first = s.descriptor[0][1];
            tables.firstMapped = pixelRepresentation ? static_cast<int16_t>(first) : first;
        } else if (entries != count) {
            return Refuse(error, "palette tables of different lengths");
        }
        std::vector<uint8_t>& out = tables.channel[c];
        out.clear();
        if (!s.segmented[c].empty()) {
            std::vector<uint16_t> words;
            if (!SegmentExpander(s.segmented[c], count).run(words))
                return Refuse(error, "damaged segmented " + name + " palette");
            words.resize(count, words.back());
            for (uint16_t w : words) out.push_back(Level(w, bits));
            continue;
        }
        const std::vector<uint8_t>& data = s.data[c];
        if (data.size() >= 2 * count) {
            // One 16-bit word per entry; 8-bit entries sit in its low byte.
            for (size_t i = 0; i < count; ++i) out.push_back(Level(Word(data, i), bits));
        } else if (data.size() >= count) {
            // Some writers declare 16 bits but store one byte per entry.
            out.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(count));
        } else {
            return Refuse(error, "the " + name + " palette holds " + std::to_string(data.size()) +
                                     " bytes for " + std::to_string(count) + " entries");
        }
    }
    return true;
}
