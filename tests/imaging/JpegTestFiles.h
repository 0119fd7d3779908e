// Builders for the JPEG and EXIF tests: TIFF-structured EXIF blocks in either byte order
// (including deliberately broken ones), marker segments, and JPEG bytes made by our encoder.
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "LfFile.h"
#include "LfImage.h"
#include "LfImageJPG.h"

namespace jpegtest {

using Bytes = std::vector<uint8_t>;

// Lays out numbered directories one after the other behind the 8-byte TIFF header; directory
// 0 sits at offset 8. Values longer than four bytes follow their directory.
class TiffBuilder {
public:
    explicit TiffBuilder(bool bigEndian) : be_(bigEndian) {}

    int AddDirectory() {
        dirs_.push_back({});
        return static_cast<int>(dirs_.size()) - 1;
    }
    void Ascii(int dir, uint16_t tag, const std::string& text) {
        Bytes v(text.begin(), text.end());
        v.push_back(0);
        Raw(dir, tag, 2, static_cast<uint32_t>(v.size()), v);
    }
    void Undefined(int dir, uint16_t tag, const Bytes& v) { Raw(dir, tag, 7, static_cast<uint32_t>(v.size()), v); }
    void Short(int dir, uint16_t tag, uint16_t value) { Raw(dir, tag, 3, 1, U16(value)); }
    void Long(int dir, uint16_t tag, uint32_t value) { Raw(dir, tag, 4, 1, U32(value)); }
    void Rational(int dir, uint16_t tag, uint32_t num, uint32_t den) {
        Bytes v = U32(num);
        Bytes d = U32(den);
        v.insert(v.end(), d.begin(), d.end());
        Raw(dir, tag, 5, 1, v);
    }
    void SRational(int dir, uint16_t tag, int32_t num, int32_t den) {
        Rational(dir, tag, static_cast<uint32_t>(num), static_cast<uint32_t>(den));
        dirs_[dir].entries.back().format = 10;
    }
    // The value bytes as given; more than four go out of line.
    void Raw(int dir, uint16_t tag, uint16_t format, uint32_t count, const Bytes& value) {
        dirs_[dir].entries.push_back({tag, format, count, value, -1, false, 0});
    }
    // The entry's value field holds the given number as is (an offset that may point anywhere).
    void Literal(int dir, uint16_t tag, uint16_t format, uint32_t count, uint32_t field) {
        dirs_[dir].entries.push_back({tag, format, count, {}, -1, true, field});
    }
    // A sub-directory entry whose value is the offset of another directory.
    void Link(int dir, uint16_t tag, int target) { dirs_[dir].entries.push_back({tag, 4, 1, {}, target, false, 0}); }
    void Next(int dir, int target) { dirs_[dir].next = target; }
    void NextLiteral(int dir, uint32_t offset) { dirs_[dir].nextLiteral = offset; }
    void SetFirstDirectoryField(uint32_t value) { firstField_ = value; }

    Bytes Tiff() const {
        std::vector<uint32_t> offsets;
        uint32_t pos = 8;
        for (const Dir& d : dirs_) {
            offsets.push_back(pos);
            pos += 2 + 12 * static_cast<uint32_t>(d.entries.size()) + 4;
            for (const Entry& e : d.entries)
                if (!e.literal && e.target < 0 && e.value.size() > 4) pos += static_cast<uint32_t>(e.value.size());
        }
        Bytes out = be_ ? Bytes{'M', 'M', 0, 42} : Bytes{'I', 'I', 42, 0};
        Append(out, U32(firstField_));
        for (size_t i = 0; i < dirs_.size(); ++i) {
            const Dir& d = dirs_[i];
            Bytes data;
            uint32_t dataPos = offsets[i] + 2 + 12 * static_cast<uint32_t>(d.entries.size()) + 4;
            Append(out, U16(static_cast<uint16_t>(d.entries.size())));
            for (const Entry& e : d.entries) {
                Append(out, U16(e.tag));
                Append(out, U16(e.format));
                Append(out, U32(e.count));
                if (e.literal) {
                    Append(out, U32(e.field));
                } else if (e.target >= 0) {
                    Append(out, U32(offsets[e.target]));
                } else if (e.value.size() > 4) {
                    Append(out, U32(dataPos + static_cast<uint32_t>(data.size())));
                    Append(data, e.value);
                } else {
                    Bytes v = e.value;
                    v.resize(4, 0);
                    Append(out, v);
                }
            }
            Append(out, U32(d.next >= 0 ? offsets[d.next] : d.nextLiteral));
            Append(out, data);
        }
        return out;
    }

    Bytes ExifBlock() const {
        Bytes out = {'E', 'x', 'i', 'f', 0, 0};
        Append(out, Tiff());
        return out;
    }

    Bytes U16(uint16_t v) const {
        return be_ ? Bytes{uint8_t(v >> 8), uint8_t(v)} : Bytes{uint8_t(v), uint8_t(v >> 8)};
    }
    Bytes U32(uint32_t v) const {
        return be_ ? Bytes{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}
                   : Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    }

private:
    struct Entry {
        uint16_t tag;
        uint16_t format;
        uint32_t count;
        Bytes value;
        int target;
        bool literal;
        uint32_t field;
    };
    struct Dir {
        std::vector<Entry> entries;
        int next = -1;
        uint32_t nextLiteral = 0;
    };
    static void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

    bool be_;
    uint32_t firstField_ = 8;
    std::vector<Dir> dirs_;
};

// A marker segment: 0xFF, the marker, the big-endian length (which counts itself), the payload.
inline Bytes Segment(uint8_t marker, const Bytes& payload) {
    const size_t length = payload.size() + 2;
    Bytes out = {0xFF, marker, uint8_t(length >> 8), uint8_t(length)};
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// The JPEG with the segments inserted right after its start-of-image marker.
inline Bytes InsertAfterSoi(const Bytes& jpeg, const Bytes& segments) {
    Bytes out(jpeg.begin(), jpeg.begin() + 2);
    out.insert(out.end(), segments.begin(), segments.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

// A memory stream holding the bytes, positioned at the start.
inline void Fill(LfMemFile& mem, const Bytes& bytes) {
    mem.Open();
    if (!bytes.empty()) mem.Write(bytes.data(), 1, bytes.size());
    mem.Seek(0, 0);
}

inline Bytes Contents(LfMemFile& mem) {
    const int32_t size = mem.Size();
    if (size <= 0) return {};
    const uint8_t* p = mem.GetBuffer(false);
    return Bytes(p, p + size);
}

// A memory stream that accepts only so many bytes, and whose flush may fail.
class FailingStream : public LfMemFile {
public:
    explicit FailingStream(size_t budget, bool flushFails = false) : budget_(budget), flushFails_(flushFails) { Open(); }
    size_t Write(const void* buffer, size_t size, size_t count) override {
        const size_t wanted = size * count;
        const size_t n = std::min(wanted, budget_);
        budget_ -= n;
        if (n == 0) return 0;
        LfMemFile::Write(buffer, 1, n);
        return n / size;
    }
    bool Flush() override { return !flushFails_; }

private:
    size_t budget_;
    bool flushFails_;
};

// A smooth colour picture with some detail: red rises to the right, green downwards, blue
// carries a checker pattern.
inline void MakeTestPicture(LfImage& image, uint32_t width, uint32_t height) {
    image.Create(width, height, 24, LF_FORMAT_BMP);
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = image.Row(y);
        for (uint32_t x = 0; x < width; ++x) {
            row[3 * x] = static_cast<uint8_t>(((x / 8 + y / 8) % 2) ? 200 : 60);
            row[3 * x + 1] = static_cast<uint8_t>(y * 255 / (height > 1 ? height - 1 : 1));
            row[3 * x + 2] = static_cast<uint8_t>(x * 255 / (width > 1 ? width - 1 : 1));
        }
    }
}

// Our encoding of the image with the given JPEG option word.
inline Bytes EncodeJpeg(LfImage& image, uint32_t options = 0) {
    image.SetCodecOption(options, LF_FORMAT_JPG);
    LfMemFile mem;
    mem.Open();
    if (!image.Encode(&mem, LF_FORMAT_JPG)) return {};
    return Contents(mem);
}

inline Bytes SmallJpeg(uint32_t width = 32, uint32_t height = 24) {
    LfImage image;
    MakeTestPicture(image, width, height);
    return EncodeJpeg(image);
}

}  // namespace jpegtest
