#include "LfImageGIF.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

const char* const kWriteError = "Write Error in GIF file";
const char* const kTooLarge = "GIF images are limited to 65535 x 65535 pixels";

constexpr int kMaxCodeBits = 12;
constexpr int kTableSize = 1 << kMaxCodeBits;  // 4096 codes
constexpr int kHashSize = 5003;                  // prime, a little above 4096 / 0.8
constexpr int kSubBlock = 254;                   // bytes per written data sub-block
constexpr int kTileWidth = 17;
constexpr int kTileHeight = 15;

// Retained frames of one decode may take at most this much memory together.
constexpr uint64_t kMaxKeptBytes = uint64_t{1} << 30;
// An LZW code of at most 12 bits expands to at most 4096 pixels, so pictures far larger than
// their data can only be headers claiming what the file does not hold. The pixels a decode
// may touch (screens, frames, retained copies) are limited to this many per byte of file,
// beyond a fixed allowance for one damaged large frame.
constexpr uint64_t kPixelsPerByte = 4096;
constexpr uint64_t kPixelAllowance = uint64_t{1} << 24;

// ---------------------------------------------------------------------------------------
// Writing

// Collects every write to the stream; the first short write marks the whole encode failed.
class GifWriter {
public:
    explicit GifWriter(LfFile* stream) : stream_(stream) {}
    void Bytes(const void* data, size_t length) {
        if (ok_ && length != 0 && stream_->Write(data, 1, length) != length) ok_ = false;
    }
    void Byte(uint8_t b) { Bytes(&b, 1); }
    void Word(uint32_t v) {
        const uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
        Bytes(b, 2);
    }
    bool Finish() { return ok_ && stream_->Flush() && stream_->Error() == 0; }

private:
    LfFile* stream_;
    bool ok_ = true;
};

// LZW compression of one frame: variable code widths from minimum code size + 1 up to 12
// bits, a 5003-slot hash table of (prefix, pixel) strings, a clear code whenever all 4096
// codes are used, and data cut into sub-blocks of 254 bytes.
class LzwEncoder {
public:
    LzwEncoder(GifWriter& out, int minCodeSize) : out_(out) {
        initBits_ = minCodeSize + 1;
        clearCode_ = 1 << minCodeSize;
        endCode_ = clearCode_ + 1;
        freeCode_ = clearCode_ + 2;
        width_ = initBits_;
        maxCode_ = (1 << width_) - 1;
    }

    void Add(const uint8_t* pixels, size_t count) {
        size_t k = 0;
        if (!started_ && count > 0) {
            ClearTable();
            Output(clearCode_);
            prefix_ = pixels[k++];
            started_ = true;
        }
        for (; k < count; ++k) {
            const int pixel = pixels[k];
            const int32_t key = prefix_ + (pixel << kMaxCodeBits);
            int slot = (pixel << 4) ^ prefix_;
            if (hashKey_[slot] == key) {
                prefix_ = hashCode_[slot];
                continue;
            }
            if (hashKey_[slot] >= 0) {
                const int step = slot == 0 ? 1 : kHashSize - slot;
                bool found = false;
                do {
                    slot -= step;
                    if (slot < 0) slot += kHashSize;
                    if (hashKey_[slot] == key) {
                        found = true;
                        break;
                    }
                } while (hashKey_[slot] > 0);
                if (found) {
                    prefix_ = hashCode_[slot];
                    continue;
                }
            }
            Output(prefix_);
            if (freeCode_ < kTableSize) {
                hashCode_[slot] = static_cast<uint16_t>(freeCode_++);
                hashKey_[slot] = key;
            } else {
                ClearTable();
                freeCode_ = clearCode_ + 2;
                clearMarked_ = true;
                Output(clearCode_);
            }
            prefix_ = pixel;
        }
    }

    void Finish() {
        if (started_) Output(prefix_);
        Output(endCode_);
        if (bitCount_ > 0) PutByte(static_cast<uint8_t>(bits_));
        bits_ = 0;
        bitCount_ = 0;
        FlushBlock();
    }

private:
    void ClearTable() { std::fill(std::begin(hashKey_), std::end(hashKey_), -1); }

    void Output(int code) {
        bits_ |= static_cast<uint32_t>(code) << bitCount_;
        bitCount_ += width_;
        while (bitCount_ >= 8) {
            PutByte(static_cast<uint8_t>(bits_));
            bits_ >>= 8;
            bitCount_ -= 8;
        }
        if (clearMarked_) {
            width_ = initBits_;
            maxCode_ = (1 << width_) - 1;
            clearMarked_ = false;
        } else if (freeCode_ > maxCode_) {
            ++width_;
            // At 12 bits no further code is ever made, so the width stays.
            maxCode_ = width_ == kMaxCodeBits ? kTableSize : (1 << width_) - 1;
        }
    }

    void PutByte(uint8_t b) {
        block_[blockLength_++] = b;
        if (blockLength_ == kSubBlock) FlushBlock();
    }

    void FlushBlock() {
        if (blockLength_ == 0) return;
        out_.Byte(static_cast<uint8_t>(blockLength_));
        out_.Bytes(block_, static_cast<size_t>(blockLength_));
        blockLength_ = 0;
    }

    GifWriter& out_;
    int initBits_, clearCode_, endCode_, freeCode_, width_, maxCode_;
    bool clearMarked_ = false;
    bool started_ = false;
    int prefix_ = 0;
    uint32_t bits_ = 0;
    int bitCount_ = 0;
    uint8_t block_[kSubBlock];
    int blockLength_ = 0;
    int32_t hashKey_[kHashSize];
    uint16_t hashCode_[kHashSize];
};

int MinCodeSize(uint32_t bitCount) { return std::max<int>(2, static_cast<int>(bitCount)); }

// The frame's pixel indices, top row first, left to right, then the 0 that ends the data.
void WriteFrameData(GifWriter& out, const LfImage& frame) {
    const uint32_t width = frame.Width();
    const uint32_t bits = frame.BitCount();
    out.Byte(static_cast<uint8_t>(MinCodeSize(bits)));
    auto lzw = std::make_unique<LzwEncoder>(out, MinCodeSize(bits));
    std::vector<uint8_t> line(bits == 8 ? 0 : width);
    for (uint32_t r = frame.Height(); r-- > 0;) {
        const uint8_t* row = frame.Row(r);
        if (bits == 8) {
            lzw->Add(row, width);
            continue;
        }
        for (uint32_t x = 0; x < width; ++x)
            line[x] = bits == 4 ? (row[x / 2] >> ((x & 1) ? 0 : 4)) & 0x0F
                                : (row[x / 8] >> (7 - x % 8)) & 1;
        lzw->Add(line.data(), width);
    }
    lzw->Finish();
    out.Byte(0);
}

void WriteColourTable(GifWriter& out, const LfRgbQuad* palette, uint32_t entries) {
    uint8_t rgb[256 * 3];
    for (uint32_t i = 0; i < entries; ++i) {
        rgb[3 * i] = palette[i].red;
        rgb[3 * i + 1] = palette[i].green;
        rgb[3 * i + 2] = palette[i].blue;
    }
    out.Bytes(rgb, static_cast<size_t>(entries) * 3);
}

// Signature, logical screen descriptor and, for palette images, the global table.
void WriteHeader(GifWriter& out, const LfImage& image) {
    out.Bytes("GIF89a", 6);
    out.Word(image.Width());
    out.Word(image.Height());
    const uint32_t bits = image.BitCount();
    const uint8_t flags = !image.IsIndexed() ? 0x11 : bits == 1 ? 0x80 : bits == 4 ? 0xE3 : 0xE7;
    out.Byte(flags);
    out.Byte(0);  // background colour index
    out.Byte(0);  // pixel aspect ratio
    if (image.IsIndexed()) WriteColourTable(out, image.Palette(), image.NumColors());
}

void WriteControl(GifWriter& out, const LfImage& frame, uint8_t disposal) {
    const int32_t transparent = frame.TransparentIndex();
    const uint8_t flags = static_cast<uint8_t>((transparent != -1 ? 1 : 0) | ((disposal & 7) << 2));
    const uint8_t block[] = {0x21, 0xF9, 4, flags};
    out.Bytes(block, sizeof block);
    out.Word(frame.FrameDelay());
    out.Byte(transparent != -1 ? static_cast<uint8_t>(transparent) : 0xFF);
    out.Byte(0);
}

void WriteComment(GifWriter& out, const char* comment) {
    const size_t length = strnlen(comment, 255);
    if (length == 0) return;
    const uint8_t block[] = {0x21, 0xFE, static_cast<uint8_t>(length)};
    out.Bytes(block, sizeof block);
    out.Bytes(comment, length);
    out.Byte(0);
}

void WriteLooping(GifWriter& out, int32_t loopCount) {
    const uint8_t block[] = {0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1};
    out.Bytes(block, sizeof block);
    out.Word(static_cast<uint32_t>(std::max(0, loopCount - 1)));
    out.Byte(0);
}

void WriteDescriptor(GifWriter& out, uint32_t left, uint32_t top, const LfImage& frame,
                     uint8_t flags) {
    out.Byte(',');
    out.Word(left);
    out.Word(top);
    out.Word(frame.Width());
    out.Word(frame.Height());
    out.Byte(flags);
}

bool FitsGif(uint64_t value) { return value <= 0xFFFF; }

bool SamePalette(const LfImage& a, const LfImage& b) {
    if (a.NumColors() != b.NumColors()) return false;
    for (uint32_t i = 0; i < a.NumColors(); ++i) {
        const LfRgbQuad p = a.PaletteColor(static_cast<uint8_t>(i));
        const LfRgbQuad q = b.PaletteColor(static_cast<uint8_t>(i));
        if (p.red != q.red || p.green != q.green || p.blue != q.blue) return false;
    }
    return true;
}

// The lowest palette entry holding a colour, among the colours of one tile: what a nearest
// colour search over the tile's palette finds, since every colour is also present exactly.
// Generation stamps make starting a new tile free.
class TileColourIndex {
public:
    void NextTile() {
        if (++generation_ == 0) {
            std::memset(slots_, 0, sizeof slots_);
            generation_ = 1;
        }
    }
    // The index recorded for the colour, or `entry` after recording it there.
    uint8_t Find(uint32_t colour, uint8_t entry) {
        uint32_t slot = (colour * 2654435761u) >> (32 - kBits);
        while (slots_[slot].generation == generation_) {
            if (slots_[slot].colour == colour) return slots_[slot].index;
            slot = (slot + 1) & (kSlots - 1);
        }
        slots_[slot] = Slot{generation_, colour, entry};
        return entry;
    }

private:
    static constexpr int kBits = 9;
    static constexpr uint32_t kSlots = 1u << kBits;  // twice the 255 colours of a tile
    struct Slot {
        uint32_t generation;
        uint32_t colour;
        uint8_t index;
    };
    Slot slots_[kSlots] = {};
    uint32_t generation_ = 0;
};

uint32_t Colour24(uint8_t blue, uint8_t green, uint8_t red) {
    return static_cast<uint32_t>(blue) | (static_cast<uint32_t>(green) << 8) |
           (static_cast<uint32_t>(red) << 16);
}

// ---------------------------------------------------------------------------------------
// Reading

// Buffered reading of the stream in 16383-byte blocks. Tell is the logical position;
// GiveBack returns the unread part of the buffer to the stream.
class GifReader {
public:
    explicit GifReader(LfFile* stream)
        : stream_(stream), buffer_(new uint8_t[kBuffer]), size_(stream->Size()) {}
    ~GifReader() { GiveBack(); }
    GifReader(const GifReader&) = delete;
    GifReader& operator=(const GifReader&) = delete;

    int Get() {
        if (position_ == length_ && !Refill()) return -1;
        return buffer_[position_++];
    }
    size_t Read(uint8_t* target, size_t count) {
        size_t done = 0;
        while (done < count) {
            if (position_ == length_ && !Refill()) break;
            const size_t n = std::min(count - done, length_ - position_);
            std::memcpy(target + done, buffer_.get() + position_, n);
            position_ += n;
            done += n;
        }
        return done;
    }
    bool Skip(size_t count) {
        while (count > 0) {
            if (position_ == length_ && !Refill()) return false;
            const size_t n = std::min(count, length_ - position_);
            position_ += n;
            count -= n;
        }
        return true;
    }
    int64_t Tell() { return static_cast<int64_t>(stream_->Tell()) - static_cast<int64_t>(length_ - position_); }
    bool SeekTo(int64_t position) {
        position_ = length_ = 0;
        return stream_->Seek(static_cast<int32_t>(position), SEEK_SET);
    }
    void GiveBack() {
        if (length_ > position_) stream_->Seek(-static_cast<int32_t>(length_ - position_), SEEK_CUR);
        position_ = length_ = 0;
    }
    // Bytes the stream holds beyond the logical position (0 when unknown).
    int64_t Remaining() {
        return size_ < 0 ? 0 : std::max<int64_t>(0, size_ - Tell());
    }

private:
    static constexpr size_t kBuffer = 16383;
    bool Refill() {
        position_ = 0;
        length_ = stream_->Read(buffer_.get(), 1, kBuffer);
        return length_ > 0;
    }

    LfFile* stream_;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t position_ = 0;
    size_t length_ = 0;
    int64_t size_;  // taken once: asking a stdio stream for its size drops its buffer
};

// Skips data sub-blocks up to and including the 0 that ends them; false at the stream's end.
bool SkipSubBlocks(GifReader& in) {
    for (;;) {
        const int n = in.Get();
        if (n < 0) return false;
        if (n == 0) return true;
        if (!in.Skip(static_cast<size_t>(n))) return false;
    }
}

struct ColourTable {
    uint32_t count = 0;  // 0: no table
    uint8_t rgb[256 * 3] = {};
    bool operator==(const ColourTable& o) const {
        return count == o.count && std::memcmp(rgb, o.rgb, static_cast<size_t>(count) * 3) == 0;
    }
};

bool ReadColourTable(GifReader& in, uint8_t flags, ColourTable& table) {
    table.count = 2u << (flags & 7);
    return in.Read(table.rgb, table.count * 3) == table.count * 3;
}

// What a graphic control extension says about the frame that follows it.
struct Control {
    int32_t transparent = -1;
    uint16_t delay = 0;
    uint8_t disposal = 0;
};

struct Descriptor {
    uint32_t left, top, width, height;
    uint8_t flags;
};

bool ReadDescriptor(GifReader& in, Descriptor& d) {
    uint8_t b[9];
    if (in.Read(b, 9) != 9) return false;
    d.left = b[0] | (b[1] << 8);
    d.top = b[2] | (b[3] << 8);
    d.width = b[4] | (b[5] << 8);
    d.height = b[6] | (b[7] << 8);
    d.flags = b[8];
    return true;
}

bool FitsScreen(const Descriptor& d, uint32_t screenWidth, uint32_t screenHeight) {
    return d.width > 0 && d.height > 0 && d.left + d.width <= screenWidth &&
           d.top + d.height <= screenHeight;
}

// The bits of an LZW stream, read least significant first from its sub-blocks.
class CodeReader {
public:
    explicit CodeReader(GifReader& in) : in_(in) {}
    // The next code of the given width, or -1 when the data ends.
    int Next(int width) {
        while (bitCount_ < width) {
            const int b = NextByte();
            if (b < 0) return -1;
            bits_ |= static_cast<uint32_t>(b) << bitCount_;
            bitCount_ += 8;
        }
        const int code = static_cast<int>(bits_ & ((1u << width) - 1));
        bits_ >>= width;
        bitCount_ -= width;
        return code;
    }
    // Moves past whatever is left of the data, up to its terminating 0.
    bool SkipRest() {
        if (terminated_) return true;
        if (failed_) return false;
        if (!in_.Skip(static_cast<size_t>(remaining_))) return false;
        remaining_ = 0;
        return SkipSubBlocks(in_);
    }

private:
    int NextByte() {
        if (remaining_ == 0) {
            if (terminated_ || failed_) return -1;
            const int n = in_.Get();
            if (n <= 0) {
                (n == 0 ? terminated_ : failed_) = true;
                return -1;
            }
            remaining_ = n;
        }
        const int b = in_.Get();
        if (b < 0) {
            failed_ = true;
            return -1;
        }
        --remaining_;
        return b;
    }

    GifReader& in_;
    uint32_t bits_ = 0;
    int bitCount_ = 0;
    int remaining_ = 0;
    bool terminated_ = false;
    bool failed_ = false;
};

// Rows of a frame in the order the file lists them: straight, or in the four interlace
// passes (every 8th row from 0, every 8th from 4, every 4th from 2, every 2nd from 1).
std::vector<uint32_t> RowOrder(uint32_t height, bool interlaced) {
    std::vector<uint32_t> order;
    order.reserve(height);
    if (!interlaced) {
        for (uint32_t y = 0; y < height; ++y) order.push_back(y);
        return order;
    }
    const uint32_t starts[] = {0, 4, 2, 1}, steps[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (uint32_t y = starts[pass]; y < height; y += steps[pass]) order.push_back(y);
    return order;
}

// One frame's pixel indices, top row first, and how many pixels of each row were decoded;
// with the LZW string tables, allocated once for all frames of a file.
struct FramePixels {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> index;
    std::vector<uint32_t> filled;  // decoded pixels per row, from the left
    std::vector<uint16_t> prefix = std::vector<uint16_t>(kTableSize);
    std::vector<uint8_t> suffix = std::vector<uint8_t>(kTableSize);
    std::vector<uint8_t> stack = std::vector<uint8_t>(kTableSize + 1);

    void Reset(uint32_t w, uint32_t h) {
        width = w;
        height = h;
        const size_t area = static_cast<size_t>(w) * h;
        if (index.size() < area) index.resize(area);  // read only where decoded
        filled.assign(h, 0);
    }
};

// Decodes the frame's LZW data (the code size byte included) into `frame` and leaves the
// stream after the data's terminating 0. A bad code size leaves the frame empty; an invalid
// code or the end of the data leaves it decoded as far as it goes. False when the stream
// ends inside the data.
bool DecodeLzw(GifReader& in, bool interlaced, FramePixels& frame) {
    const int minCodeSize = in.Get();
    if (minCodeSize < 0) return false;
    if (minCodeSize < 2 || minCodeSize > 9) return SkipSubBlocks(in);

    const std::vector<uint32_t> rows = interlaced ? RowOrder(frame.height, true) : std::vector<uint32_t>();
    const uint64_t total = static_cast<uint64_t>(frame.width) * frame.height;
    uint64_t delivered = 0;
    uint32_t x = 0, rowIndex = 0;
    auto put = [&](uint8_t pixel) {
        const uint32_t y = interlaced ? rows[rowIndex] : rowIndex;
        frame.index[static_cast<size_t>(y) * frame.width + x] = pixel;
        frame.filled[y] = ++x;
        if (x == frame.width) x = 0, ++rowIndex;
        ++delivered;
    };

    uint16_t* prefix = frame.prefix.data();
    uint8_t* suffix = frame.suffix.data();
    uint8_t* stack = frame.stack.data();
    const int clear = 1 << minCodeSize;
    const int end = clear + 1;
    int width = minCodeSize + 1;
    int freeSlot = clear + 2;
    int topSlot = 1 << width;
    int previous = -1;
    uint8_t first = 0;

    CodeReader codes(in);
    while (delivered < total) {
        const int code = codes.Next(width);
        if (code < 0 || code == end) break;
        if (code == clear) {
            width = minCodeSize + 1;
            freeSlot = clear + 2;
            topSlot = 1 << width;
            previous = -1;
            continue;
        }
        if (previous < 0) {
            // The first code after a clear must be a single pixel.
            first = static_cast<uint8_t>(code >= freeSlot ? 0 : code);
            put(first);
            previous = first;
            continue;
        }
        if (code > freeSlot) break;  // beyond the table: the rest of the frame is lost

        // Expand the string onto the stack, last pixel first.
        int depth = 0;
        int walk = code;
        if (code == freeSlot) {
            stack[depth++] = first;
            walk = previous;
        }
        while (walk >= clear && depth < kTableSize) {
            stack[depth++] = suffix[walk];
            walk = prefix[walk];
        }
        first = static_cast<uint8_t>(walk);
        stack[depth++] = first;

        if (freeSlot < kTableSize) {
            prefix[freeSlot] = static_cast<uint16_t>(previous);
            suffix[freeSlot] = first;
            ++freeSlot;
            if (freeSlot == topSlot && width < kMaxCodeBits) {
                ++width;
                topSlot <<= 1;
            }
        }
        previous = code;
        while (depth > 0 && delivered < total) put(stack[--depth]);
    }
    return codes.SkipRest();
}

uint32_t DepthFor(uint32_t entries) { return entries <= 2 ? 1 : entries <= 16 ? 4 : 8; }


LfRgbQuad TableColour(const ColourTable& table, uint32_t index, bool whiteBeyond) {
    if (index < table.count)
        return LfRgbQuad{table.rgb[3 * index + 2], table.rgb[3 * index + 1], table.rgb[3 * index], 0};
    const uint8_t v = whiteBeyond ? 255 : 0;
    return LfRgbQuad{v, v, v, 0};
}

// Reads one extension after its '!' and applies what it says. False at the stream's end.
bool ReadExtension(GifReader& in, Control& control, char* comment, int32_t& loopCount) {
    const int label = in.Get();
    if (label < 0) return false;
    if (label == 0xF9 || label == 0xFE || label == 0xFF) {
        const int size = in.Get();
        if (size < 0) return false;
        uint8_t b[255];
        if (in.Read(b, static_cast<size_t>(size)) != static_cast<size_t>(size)) return false;
        if (label == 0xF9 && size == 4) {
            control.transparent = (b[0] & 1) ? b[3] : -1;
            control.delay = static_cast<uint16_t>(b[1] | (b[2] << 8));
            control.disposal = (b[0] >> 2) & 7;
        } else if (label == 0xFE) {
            std::memcpy(comment, b, static_cast<size_t>(size));
            comment[size] = '\0';
        } else if (label == 0xFF && size == 11) {
            const int n = in.Get();
            if (n <= 0) return n == 0;
            if (in.Read(b, static_cast<size_t>(n)) != static_cast<size_t>(n)) return false;
            if (n > 2) loopCount = b[1] + 256 * b[2];
        }
        if (size == 0) return true;  // that length byte was the terminator
    }
    return SkipSubBlocks(in);
}

// Counts the frames that fit in the screen from the current position and returns there.
// A screen of 0 x 0 takes the size of the first frame.
int32_t CountFrames(GifReader& in, uint32_t& screenWidth, uint32_t& screenHeight) {
    const int64_t start = in.Tell();
    int32_t count = 0;
    bool expectIntroducer = true;
    bool first = true;
    for (;;) {
        const int c = in.Get();
        if (c < 0) break;
        if (!expectIntroducer || (c != '!' && c != ',' && c != ';')) {
            expectIntroducer = c == 0;
            continue;
        }
        if (c == ';') break;
        if (c == '!') {
            if (in.Get() < 0 || !SkipSubBlocks(in)) break;
            continue;
        }
        Descriptor d;
        if (!ReadDescriptor(in, d)) break;
        if (first && screenWidth == 0 && screenHeight == 0) {
            screenWidth = d.width;
            screenHeight = d.height;
        }
        first = false;
        if (FitsScreen(d, screenWidth, screenHeight)) ++count;
        if ((d.flags & 0x80) && !in.Skip((2u << (d.flags & 7)) * 3)) break;
        if (in.Get() < 0 || !SkipSubBlocks(in)) break;
    }
    in.SeekTo(start);
    return count;
}

// The picture frames are composed on. It stays a palette picture while every frame uses
// the first frame's colour table; a frame with another table turns it into 24 bits (with
// an alpha plane when it has transparent parts), so that no earlier pixel changes colour.
class Canvas {
public:
    bool Start(uint32_t width, uint32_t height, const ColourTable& table, int32_t transparent,
               uint8_t background) {
        table_ = table;
        const uint32_t entries = std::max<uint32_t>(table.count, transparent >= 0 ? transparent + 1 : 0);
        if (!image.Create(width, height, DepthFor(entries), LF_FORMAT_GIF)) return false;
        for (uint32_t i = 0; i < image.NumColors(); ++i)
            image.SetPaletteColor(static_cast<uint8_t>(i), TableColour(table, i, transparent >= 0));
        mask_ = static_cast<uint8_t>(image.NumColors() - 1);
        if (transparent >= 0) image.info.transparentIndex = transparent;
        background_ = transparent >= 0 ? static_cast<uint8_t>(transparent)
                                       : static_cast<uint8_t>(background & mask_);
        // Creation leaves every pixel at index 0.
        if (transparent > 0) FillRect(0, 0, width, height, static_cast<uint8_t>(transparent));
        return true;
    }

    bool IsTrueColour() const { return !image.IsIndexed(); }

    // Whether a frame with this table can be composed by palette index.
    bool TakesIndices(const ColourTable& table, int32_t transparent) const {
        const uint32_t needed = std::max<uint32_t>(table.count, transparent >= 0 ? transparent + 1 : 0);
        return !IsTrueColour() && table == table_ && needed <= image.NumColors();
    }

    bool MakeTrueColour() {
        if (IsTrueColour()) return true;
        LfImage colour;
        if (!colour.Create(image.Width(), image.Height(), 24, LF_FORMAT_GIF)) return false;
        const bool transparent = image.IsTransparent();
        if (transparent && !colour.AlphaCreate()) return false;
        for (uint32_t y = 0; y < image.Height(); ++y) {
            uint8_t* dst = colour.Row(y);
            for (uint32_t x = 0; x < image.Width(); ++x) {
                const uint8_t index = image.PixelIndexUnchecked(static_cast<int32_t>(x), static_cast<int32_t>(y));
                const LfRgbQuad c = image.PaletteColor(index);
                dst[3 * x] = c.blue;
                dst[3 * x + 1] = c.green;
                dst[3 * x + 2] = c.red;
                if (transparent && index == image.TransparentIndex())
                    colour.AlphaSet(static_cast<int32_t>(x), static_cast<int32_t>(y), 0);
            }
        }
        backgroundColour_ = image.PaletteColor(background_);
        image.Transfer(colour, false);
        return true;
    }

    // Fills a rectangle (top-down coordinates) with the background; a first fill uses
    // `index`, later restorations the screen's background (transparent when there is one).
    void FillRect(uint32_t left, uint32_t top, uint32_t width, uint32_t height, uint8_t index) {
        for (uint32_t y = top; y < top + height; ++y) {
            const int32_t row = static_cast<int32_t>(image.Height() - 1 - y);
            for (uint32_t x = left; x < left + width; ++x) {
                if (IsTrueColour()) {
                    uint8_t* p = image.Row(static_cast<uint32_t>(row)) + 3 * x;
                    p[0] = backgroundColour_.blue;
                    p[1] = backgroundColour_.green;
                    p[2] = backgroundColour_.red;
                    if (image.AlphaIsValid()) image.AlphaSet(static_cast<int32_t>(x), row, 0);
                } else if (image.BitCount() == 8) {
                    image.Row(static_cast<uint32_t>(row))[x] = index;
                } else {
                    image.SetPixelIndexUnchecked(static_cast<int32_t>(x), row, index);
                }
            }
        }
    }
    void Restore(uint32_t left, uint32_t top, uint32_t width, uint32_t height) {
        FillRect(left, top, width, height, background_);
    }

    // Keeps what a frame's rectangle holds, so that the frame can be undone afterwards:
    // outside its rectangle a frame changes nothing.
    void SaveRect(const Descriptor& d) {
        savedRect_ = d;
        savedColour_ = IsTrueColour();
        saved_.clear();
        VisitRect(d, [&](uint32_t x, uint32_t row) {
            if (!savedColour_) return saved_.push_back(image.PixelIndexUnchecked(int32_t(x), int32_t(row)));
            const uint8_t* p = image.Row(row) + 3 * static_cast<size_t>(x);
            saved_.insert(saved_.end(), {p[0], p[1], p[2], image.AlphaGet(int32_t(x), int32_t(row))});
        });
    }
    void RestoreSaved() {
        if (saved_.empty() || savedColour_ != IsTrueColour()) return;
        size_t at = 0;
        VisitRect(savedRect_, [&](uint32_t x, uint32_t row) {
            if (!savedColour_) return image.SetPixelIndexUnchecked(int32_t(x), int32_t(row), saved_[at++]);
            uint8_t* p = image.Row(row) + 3 * static_cast<size_t>(x);
            std::copy(&saved_[at], &saved_[at] + 3, p);
            if (image.AlphaIsValid()) image.AlphaSet(int32_t(x), int32_t(row), saved_[at + 3]);
            at += 4;
        });
    }

    // Draws the decoded pixels of a frame except its transparent ones.
    void Draw(const FramePixels& frame, const Descriptor& d, const ColourTable& table,
              int32_t transparent) {
        const bool colour = IsTrueColour();
        for (uint32_t y = 0; y < frame.height; ++y) {
            const uint8_t* src = &frame.index[static_cast<size_t>(y) * frame.width];
            const uint32_t row = image.Height() - 1 - (d.top + y);
            uint8_t* dst = image.Row(row);
            for (uint32_t x = 0; x < frame.filled[y]; ++x) {
                const uint8_t index = src[x];
                if (index == transparent) continue;
                const uint32_t at = d.left + x;
                if (colour) {
                    const LfRgbQuad c = TableColour(table, index, transparent >= 0);
                    dst[3 * at] = c.blue;
                    dst[3 * at + 1] = c.green;
                    dst[3 * at + 2] = c.red;
                    if (image.AlphaIsValid()) image.AlphaSet(static_cast<int32_t>(at), static_cast<int32_t>(row), 255);
                } else if (image.BitCount() == 8) {
                    dst[at] = index;
                } else {
                    image.SetPixelIndexUnchecked(static_cast<int32_t>(at), static_cast<int32_t>(row), index & mask_);
                }
            }
        }
    }

    LfImage image;

private:
    // Calls visit(x, stored row) for every pixel of a rectangle given top-down.
    template <class Visit>
    void VisitRect(const Descriptor& d, Visit visit) {
        for (uint32_t y = d.top; y < d.top + d.height; ++y)
            for (uint32_t x = d.left; x < d.left + d.width; ++x) visit(x, image.Height() - 1 - y);
    }

    ColourTable table_;
    Descriptor savedRect_{};
    bool savedColour_ = false;
    std::vector<uint8_t> saved_;
    uint8_t mask_ = 0;
    uint8_t background_ = 0;
    LfRgbQuad backgroundColour_ = {};
};

// Copies a frame's decoded pixels as colours into the 24-bit picture of a mosaic.
void DrawTile(LfImage& picture, const FramePixels& frame, const Descriptor& d,
              const ColourTable& table, int32_t transparent) {
    for (uint32_t y = 0; y < frame.height; ++y) {
        uint8_t* dst = picture.Row(picture.Height() - 1 - (d.top + y));
        const uint8_t* src = &frame.index[static_cast<size_t>(y) * frame.width];
        for (uint32_t x = 0; x < frame.filled[y]; ++x) {
            const LfRgbQuad c = TableColour(table, src[x], transparent >= 0);
            uint8_t* p = dst + 3 * static_cast<size_t>(d.left + x);
            p[0] = c.blue;
            p[1] = c.green;
            p[2] = c.red;
        }
    }
}

struct Screen {
    uint32_t width, height;
    uint8_t background;  // colour index of the screen's background
};

// Everything one decode builds from its frames: the composed picture with disposal between
// frames, or the 24-bit picture of a mosaic; the retained frames; and the budget of pixels
// the file may make the decoder touch.
class FrameComposer {
public:
    FrameComposer(const Screen& screen, bool keepAll, uint64_t budget)
        : screen_(screen), keepAll_(keepAll), budget_(budget) {}

    bool Spend(uint64_t pixels) {
        if (pixels > budget_) return false;
        budget_ -= pixels;
        return true;
    }
    bool IsMosaic() const { return mosaic_.IsValid(); }
    const char* Error() const { return error_; }

    bool StartMosaic() {
        if (mosaic_.Create(screen_.width, screen_.height, 24, LF_FORMAT_GIF)) return true;
        return Failed(mosaic_.LastError());
    }

    bool Add(const FramePixels& pixels, const Descriptor& d, const ColourTable& table, const Control& control) {
        if (IsMosaic()) {
            DrawTile(mosaic_, pixels, d, table, control.transparent);
            if (control.transparent >= 0)
                mosaic_.SetTransparentColor(TableColour(table, static_cast<uint32_t>(control.transparent), true));
            return true;
        }
        if (!Prepare(table, control)) return false;
        if (control.disposal == 3) canvas_.SaveRect(d);
        canvas_.Draw(pixels, d, table, control.transparent);
        previous_ = d;
        previousDisposal_ = control.disposal;
        started_ = true;
        return !keepAll_ || Keep(control);
    }

    // The picture of the frame asked for (the last one composed when the file ended early).
    LfImage* Result(int32_t wanted) {
        if (IsMosaic()) return &mosaic_;
        if (keepAll_ && wanted < static_cast<int32_t>(kept_.size())) return kept_[wanted].get();
        return canvas_.image.IsValid() ? &canvas_.image : nullptr;
    }

    void HandOverFrames(LfImage& image) {
        auto** frames = new LfImage*[kept_.size()];
        for (size_t k = 0; k < kept_.size(); ++k) frames[k] = kept_[k].release();
        image.SetFrames(frames, static_cast<int32_t>(kept_.size()));
    }

private:
    bool Failed(const char* message) {
        std::snprintf(error_, sizeof error_, "%s", message);
        return false;
    }

    // Starts the canvas with the first frame, or undoes the previous frame as its disposal
    // method says; turns the canvas to 24 bits when this frame brings other colours.
    bool Prepare(const ColourTable& table, const Control& control) {
        if (!started_) {
            if (canvas_.Start(screen_.width, screen_.height, table, control.transparent, screen_.background))
                return true;
            return Failed(canvas_.image.LastError());
        }
        if (previousDisposal_ == 2) canvas_.Restore(previous_.left, previous_.top, previous_.width, previous_.height);
        else if (previousDisposal_ == 3) canvas_.RestoreSaved();
        if (canvas_.TakesIndices(table, control.transparent)) return true;
        if (!canvas_.IsTrueColour() && !Spend(ScreenArea())) return Failed("Error reading GIF file: frames larger than their data");
        return canvas_.MakeTrueColour() || Failed(canvas_.image.LastError());
    }

    bool Keep(const Control& control) {
        keptBytes_ += canvas_.image.BlockSize() + (canvas_.image.AlphaIsValid() ? ScreenArea() : 0);
        if (keptBytes_ > kMaxKeptBytes || !Spend(ScreenArea()))
            return Failed("Error reading GIF file: too many frames to keep");
        auto copy = std::make_unique<LfImage>(canvas_.image);
        if (!copy->IsValid()) return Failed(copy->LastError());
        copy->info.frameDelay = control.delay;
        copy->info.disposal = control.disposal;
        kept_.push_back(std::move(copy));
        return true;
    }

    uint64_t ScreenArea() const { return uint64_t(screen_.width) * screen_.height; }

    Screen screen_;
    bool keepAll_;
    uint64_t budget_;
    Canvas canvas_;
    LfImage mosaic_;
    bool started_ = false;
    Descriptor previous_{};
    uint8_t previousDisposal_ = 0;
    std::vector<std::unique_ptr<LfImage>> kept_;
    uint64_t keptBytes_ = 0;
    char error_[LF_ERROR_SIZE] = {};
};

}  // namespace

bool LfImageGIF::Fail(const char* message) {
    SetLastError(message);
    return false;
}

void LfImageGIF::SetComment(const char* text) {
    if (!text) text = "";
    const size_t length = strnlen(text, sizeof comment_ - 1);
    std::memcpy(comment_, text, length);
    comment_[length] = '\0';
}

// ---------------------------------------------------------------------------------------
// Writing

bool LfWriteGifIndices(LfFile* stream, const uint8_t* indices, uint32_t width, uint32_t height, size_t stride,
                       int minCodeSize) {
    GifWriter out(stream);
    out.Byte(static_cast<uint8_t>(minCodeSize));
    auto lzw = std::make_unique<LzwEncoder>(out, minCodeSize);
    for (uint32_t r = 0; r < height; ++r) lzw->Add(indices + r * stride, width);
    lzw->Finish();
    out.Byte(0);
    return out.Finish();
}

bool LfImageGIF::Encode(LfFile* stream) {
    if (EncodeSafeCheck(stream)) return false;
    if (!FitsGif(Width()) || !FitsGif(Height())) return Fail(kTooLarge);
    if (BitCount() > 8) return EncodeTrueColour(stream);
    if (NumFrames() > 1 && Frames() != nullptr)
        return EncodeFrames(stream, Frames(), std::min(NumFrames(), FrameArrayLength()));
    return EncodePalette(stream);
}

bool LfImageGIF::EncodePalette(LfFile* stream) {
    GifWriter out(stream);
    WriteHeader(out, *this);
    WriteControl(out, *this, Disposal());
    WriteComment(out, comment_);
    WriteDescriptor(out, 0, 0, *this, 0);
    WriteFrameData(out, *this);
    out.Byte(';');
    return out.Finish() ? true : Fail(kWriteError);
}

// Tiles of 17 x 15 pixels from the top left, each with a 256-entry local table: entry 0 is
// black (or the transparent colour) and entry 17 i + j + 1 the colour of tile pixel (j, i),
// counting tile rows from the bottom. A pixel takes the lowest entry of its exact colour.
bool LfImageGIF::EncodeTrueColour(LfFile* stream) {
    const uint32_t width = Width();
    const uint32_t height = Height();
    GifWriter out(stream);
    WriteHeader(out, *this);
    WriteComment(out, comment_);

    LfImage tile(LF_FORMAT_GIF);
    auto colours = std::make_unique<TileColourIndex>();
    uint32_t lastWidth = 0, lastHeight = 0;
    for (uint32_t y = 0; y < height; y += kTileHeight) {
        for (uint32_t x = 0; x < width; x += kTileWidth) {
            const uint32_t w = std::min<uint32_t>(kTileWidth, width - x);
            const uint32_t h = std::min<uint32_t>(kTileHeight, height - y);
            if (w != lastWidth || h != lastHeight) {
                if (!tile.Create(w, h, 8, LF_FORMAT_GIF)) return Fail(tile.LastError());
                lastWidth = w;
                lastHeight = h;
            }
            LfRgbQuad* palette = tile.Palette();
            if (IsTransparent()) {
                tile.info.transparentIndex = 0;
                palette[0] = TransparentColor();
            }
            colours->NextTile();
            const uint32_t zero = Colour24(palette[0].blue, palette[0].green, palette[0].red);
            for (uint32_t i = 0; i < h; ++i) {
                const uint8_t* src = Row(height - y - h + i) + 3 * static_cast<size_t>(x);
                uint8_t* dst = tile.Row(i);
                for (uint32_t j = 0; j < w; ++j) {
                    const uint8_t* p = src + 3 * j;
                    const uint8_t entry = static_cast<uint8_t>(kTileWidth * i + j + 1);
                    palette[entry] = LfRgbQuad{p[0], p[1], p[2], 0};
                    const uint32_t c = Colour24(p[0], p[1], p[2]);
                    dst[j] = c == zero ? 0 : colours->Find(c, entry);
                }
            }
            WriteControl(out, tile, 0);
            WriteDescriptor(out, x, y, tile, 0x87);
            WriteColourTable(out, palette, 256);
            WriteFrameData(out, tile);
        }
        if (info.escape != 0) return Fail("Cancelled");
    }
    out.Byte(';');
    return out.Finish() ? true : Fail(kWriteError);
}

bool LfImageGIF::EncodeFrames(LfFile* stream, LfImage* const* frames, int32_t count,
                              bool localColourTables, bool perFrameDisposal) {
    if (stream == nullptr) return Fail("invalid file pointer");
    if (frames == nullptr || count <= 0 || frames[0] == nullptr) return Fail("multipage GIF, no images!");
    for (int32_t k = 0; k < count; ++k) {
        const LfImage* frame = frames[k];
        if (frame == nullptr) return Fail("Bad image pointer");
        if (!frame->IsValid()) return Fail("Empty image");
        if (!frame->IsIndexed())
            return Fail("LfImageGIF::Encode cannot create animated GIFs with a true color frame. "
                        "Reduce the bit depth first");
        if (frame->XOffset() < 0 || frame->YOffset() < 0 ||
            !FitsGif(uint64_t(frame->XOffset()) + frame->Width()) ||
            !FitsGif(uint64_t(frame->YOffset()) + frame->Height()))
            return Fail(kTooLarge);
    }

    const LfImage& first = *frames[0];
    GifWriter out(stream);
    WriteHeader(out, first);
    if (loopCount_ != 1) WriteLooping(out, loopCount_);
    for (int32_t k = 0; k < count; ++k) {
        const LfImage& frame = *frames[k];
        WriteControl(out, frame, perFrameDisposal ? frame.Disposal() : Disposal());
        if (k == 0) WriteComment(out, comment_);
        // Indices of a frame with another palette mean other colours: it brings its own table.
        const bool local = localColourTables || !SamePalette(frame, first);
        WriteDescriptor(out, static_cast<uint32_t>(frame.XOffset()), static_cast<uint32_t>(frame.YOffset()),
                        frame, local ? static_cast<uint8_t>(0x80 | (frame.BitCount() - 1)) : 0);
        if (local) WriteColourTable(out, frame.Palette(), frame.NumColors());
        WriteFrameData(out, frame);
    }
    out.Byte(';');
    return out.Finish() ? true : Fail(kWriteError);
}

// ---------------------------------------------------------------------------------------
// Reading

bool LfImageGIF::Decode(LfFile* stream) {
    if (stream == nullptr) return Fail("null file handler");
    GifReader in(stream);
    uint8_t header[13];
    const size_t got = in.Read(header, sizeof header);
    if (got < 4 || std::memcmp(header, "GIF8", 4) != 0) return false;
    if (got < sizeof header) return Fail("Error reading GIF file: truncated header");
    Screen screen{static_cast<uint32_t>(header[6] | (header[7] << 8)),
                  static_cast<uint32_t>(header[8] | (header[9] << 8)), header[11]};
    const uint8_t screenFlags = header[10];

    if (info.escape == -1) {
        head.width = static_cast<int32_t>(screen.width);
        head.height = static_cast<int32_t>(screen.height);
        info.type = LF_FORMAT_GIF;
        return true;
    }

    auto global = std::make_unique<ColourTable>();
    int mosaicHints = 0;  // signs of a true-colour mosaic written by our encoder
    if (screenFlags & 0x80) {
        if (!ReadColourTable(in, screenFlags, *global)) return Fail("Error reading GIF file: colour table");
    } else {
        ++mosaicHints;
    }

    const int32_t count = CountFrames(in, screen.width, screen.height);
    const int32_t wanted = info.currentFrame;
    info.numFrames = count;
    if (wanted < 0 || wanted >= count) return Fail("Error reading GIF file: no such frame");
    if (count == 1) mosaicHints = 0;

    const bool keepAll = info.retrieveAllFrames;
    FrameComposer composer(screen, keepAll, kPixelAllowance + kPixelsPerByte * static_cast<uint64_t>(in.Remaining()));
    if (!composer.Spend(uint64_t(screen.width) * screen.height))
        return Fail("Error reading GIF file: screen larger than its data");

    Control control;      // from the control extension before the next frame
    Control last;         // of the frame returned (the last one of a mosaic)
    int32_t frameIndex = -1;
    auto local = std::make_unique<ColourTable>();
    FramePixels pixels;
    bool expectIntroducer = true;
    for (;;) {
        if (info.escape > 0) return Fail("Cancelled");
        const int c = in.Get();
        if (c < 0) break;
        if (!expectIntroducer || (c != '!' && c != ',' && c != ';')) {
            expectIntroducer = c == 0;
            continue;
        }
        if (c == ';') break;
        if (c == '!') {
            if (!ReadExtension(in, control, comment_, loopCount_)) break;
            continue;
        }

        Descriptor d;
        if (!ReadDescriptor(in, d)) break;
        const Control frameControl = control;
        control = Control{};
        const ColourTable* table = global.get();
        if (d.flags & 0x80) {
            if (!ReadColourTable(in, d.flags, *local)) break;
            table = local.get();
        }
        if (!FitsScreen(d, screen.width, screen.height)) {
            if (in.Get() < 0 || !SkipSubBlocks(in)) break;
            continue;
        }
        if (++frameIndex == 0 && d.width != screen.width && d.height != screen.height) ++mosaicHints;
        if (frameIndex == 0 && mosaicHints >= 2 && !composer.StartMosaic()) return Fail(composer.Error());

        if (!composer.Spend(uint64_t(d.width) * d.height)) return Fail("Error reading GIF file: frames larger than their data");
        pixels.Reset(d.width, d.height);
        const bool complete = DecodeLzw(in, (d.flags & 0x40) != 0, pixels);
        if (composer.IsMosaic() || frameIndex == wanted) {
            last = frameControl;
            info.xOffset = static_cast<int32_t>(d.left);
            info.yOffset = static_cast<int32_t>(d.top);
        }
        if (!composer.Add(pixels, d, *table, frameControl)) return Fail(composer.Error());
        if (!complete || (!keepAll && !composer.IsMosaic() && frameIndex == wanted)) break;
    }
    in.GiveBack();

    LfImage* result = composer.Result(wanted);
    if (result == nullptr) return Fail("Error reading GIF file: no image data");
    if (!Adopt(*result, last.delay, last.disposal)) return false;
    // A mosaic's transparent colour is the colour of the last tile's transparent entry.
    if (composer.IsMosaic()) info.transparentIndex = last.transparent >= 0 ? 0 : -1;
    if (keepAll && !composer.IsMosaic()) composer.HandOverFrames(*this);
    info.numFrames = count;
    return true;
}

// Takes a copy of the decoded picture with its transparency; the settings of this decode
// (frame number, escape, options, offsets) stay.
bool LfImageGIF::Adopt(const LfImage& result, uint32_t delay, uint8_t disposal) {
    const LfImageInfo settings = info;
    LfImage picture(result);
    if (!picture.IsValid()) return Fail(picture.LastError());
    if (!Transfer(picture, false)) return Fail("Error reading GIF file: image is shared");
    const LfImageInfo adopted = info;
    info = settings;
    info.pixels = adopted.pixels;
    info.effectiveWidth = adopted.effectiveWidth;
    info.cacheValid = false;
    info.type = LF_FORMAT_GIF;
    info.transparentIndex = adopted.transparentIndex;
    info.transparentColor = adopted.transparentColor;
    info.frameDelay = delay;
    info.disposal = disposal;
    return true;
}
