#include "LfImageJAS.h"

#include <openjpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------- texts

const char* const kUnknownFormat = "error: unknowm format";
const char* const kCannotLoad = "error: cannot load image data";
const char* const kHeaderOnly = "output dimensions returned";
const char* const kTooManyComponents = "error: too many components";
const char* const kCannotConvert = "cannot convert to sRGB";
const char* const kWrongFrame = "wrong frame!";
const char* const kOnlyRgbOrGrey = "JasPer can save only RGB or GrayScale images";
const char* const kCannotCreate = "error : jas_image_create";
const char* const kPgxOnlyGrey = "PGX can save only GrayScale images";
const char* const kCannotEncode = "error: cannot encode image";

constexpr uint32_t kMaxComponents = 64;
// OpenJPEG holds every component as 32-bit samples before we see a row; a file that would
// need more than this is refused before decoding starts.
constexpr uint64_t kMaxLibrarySampleBytes = uint64_t(1) << 30;

// ---------------------------------------------------------------- components

// One plane of samples as the file describes it.
struct Component {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t precision = 8;   // bits per sample
    bool isSigned = false;
};

bool SameShape(const Component& a, const Component& b) {
    return a.width == b.width && a.height == b.height && a.precision == b.precision;
}

// Bit count a grey picture of this precision gets once creation has rounded it to 1, 4 or 8.
uint32_t GreyDepth(uint32_t precision) {
    if (precision <= 1) return 1;
    if (precision <= 4) return 4;
    return 8;
}

// True when a picture of this size and depth fits the image object's memory guard; the same
// rule as creation, checked before anything is decoded.
bool FitsImage(uint32_t width, uint32_t height, uint32_t bits) {
    const uint64_t total = uint64_t(width) * height * bits;
    return width > 0 && height > 0 && (total & ~uint64_t(7)) <= 0x80000000ull;
}

// Turns samples of one component into 8-bit values (or into the index range of a 1- or 4-bit
// grey picture). Precisions above 8 drop their low bits; narrower ones that do not match the
// target depth are stretched so that their top value stays white. Signed samples are moved
// up by half their range first. Out-of-range samples are clamped.
class SampleMap {
public:
    SampleMap(const Component& c, uint32_t targetBits) {
        const uint32_t p = std::clamp<uint32_t>(c.precision, 1, 31);
        top_ = (int64_t(1) << p) - 1;
        offset_ = c.isSigned ? int64_t(1) << (p - 1) : 0;
        if (p <= 16) {
            table_.resize(size_t(top_) + 1);
            for (int64_t v = 0; v <= top_; ++v) table_[size_t(v)] = Compute(v, p, targetBits);
        } else {
            shift_ = p - 8;
        }
    }
    uint8_t operator()(int32_t sample) const {
        const int64_t v = std::clamp<int64_t>(int64_t(sample) + offset_, 0, top_);
        return table_.empty() ? uint8_t(v >> shift_) : table_[size_t(v)];
    }

private:
    static uint8_t Compute(int64_t v, uint32_t p, uint32_t targetBits) {
        if (p > 8) return uint8_t(v >> (p - 8));
        if (p == targetBits) return uint8_t(v);
        const int64_t targetTop = (int64_t(1) << targetBits) - 1;
        const int64_t top = (int64_t(1) << p) - 1;
        return uint8_t((v * targetTop + top / 2) / top);
    }

    std::vector<uint8_t> table_;
    int64_t top_ = 255;
    int64_t offset_ = 0;
    uint32_t shift_ = 0;
};

// Builds the picture from rows of components, top row first: three components of one shape
// become a 24-bit picture, anything else a grey picture of the selected component.
class PictureBuilder {
public:
    explicit PictureBuilder(LfImage& image) : image_(image) {}

    // Creates the picture; false with the image's last-error text set.
    bool Start(const std::vector<Component>& comps, uint32_t colourType, uint32_t greyType) {
        colour_ = comps.size() == 3 && SameShape(comps[0], comps[1]) && SameShape(comps[0], comps[2]);
        plainBytes_ = true;
        for (const Component& c : comps) plainBytes_ = plainBytes_ && c.precision == 8 && !c.isSigned;
        if (colour_) {
            if (!image_.Create(comps[0].width, comps[0].height, 24, colourType)) return false;
            for (int c = 0; c < 3; ++c) maps_.emplace_back(comps[c], 8);
            return true;
        }
        image_.info.numFrames = static_cast<int32_t>(comps.size());
        const int32_t frame = image_.CurrentFrame();
        if (frame < 0 || frame >= static_cast<int32_t>(comps.size())) {
            image_.SetLastError(kWrongFrame);
            return false;
        }
        selected_ = static_cast<size_t>(frame);
        const Component& c = comps[selected_];
        const uint32_t bits = GreyDepth(c.precision);
        if (!image_.Create(c.width, c.height, bits, greyType)) return false;
        image_.SetGreyPalette();
        maps_.emplace_back(c, bits);
        return true;
    }

    bool IsColour() const { return colour_; }
    size_t Selected() const { return selected_; }
    // True when every component holds unsigned 8-bit samples, which PutBytes takes as they are.
    bool PlainBytes() const { return plainBytes_ && image_.BitCount() >= 8; }

    // Row y of 8-bit samples of a plain-bytes picture: one grey byte per pixel, or three
    // interleaved bytes, red first or (bgr) blue first.
    void PutBytes(uint32_t y, const uint8_t* in, bool bgr) {
        if (y >= image_.Height()) return;
        uint8_t* out = image_.Row(image_.Height() - 1 - y);
        const uint32_t width = image_.Width();
        if (!colour_) {
            std::memcpy(out, in, width);
        } else if (bgr) {
            std::memcpy(out, in, size_t(width) * 3);
        } else {
            for (uint32_t x = 0; x < width; ++x, in += 3, out += 3) {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
            }
        }
    }

    // rows[c] holds row y of component c, its samples `step` apart.
    void PutRow(uint32_t y, const int32_t* const* rows, size_t step) {
        if (y >= image_.Height()) return;
        uint8_t* out = image_.Row(image_.Height() - 1 - y);
        const uint32_t width = image_.Width();
        if (colour_) {
            const int32_t* r = rows[0];
            const int32_t* g = rows[1];
            const int32_t* b = rows[2];
            for (uint32_t x = 0; x < width; ++x, out += 3) {
                const size_t i = size_t(x) * step;
                out[0] = maps_[2](b[i]);
                out[1] = maps_[1](g[i]);
                out[2] = maps_[0](r[i]);
            }
            return;
        }
        const int32_t* s = rows[selected_];
        const SampleMap& map = maps_[0];
        switch (image_.BitCount()) {
        case 8:
            for (uint32_t x = 0; x < width; ++x) out[x] = map(s[size_t(x) * step]);
            break;
        case 4:
            std::memset(out, 0, image_.EffectiveWidth());
            for (uint32_t x = 0; x < width; ++x)
                out[x >> 1] |= uint8_t(map(s[size_t(x) * step]) << ((x & 1) ? 0 : 4));
            break;
        default:
            std::memset(out, 0, image_.EffectiveWidth());
            for (uint32_t x = 0; x < width; ++x)
                if (map(s[size_t(x) * step])) out[x >> 3] |= uint8_t(0x80 >> (x & 7));
            break;
        }
    }

private:
    LfImage& image_;
    bool colour_ = false;
    size_t selected_ = 0;
    std::vector<SampleMap> maps_;
    bool plainBytes_ = false;
};

// ---------------------------------------------------------------- reading helpers

// Buffered reading over a stream, for text headers and byte-wise formats.
class ByteReader {
public:
    explicit ByteReader(LfFile* stream) : stream_(stream) {}

    int Get() {
        if (pos_ == len_ && !Refill()) return -1;
        return buffer_[pos_++];
    }
    int Peek() {
        if (pos_ == len_ && !Refill()) return -1;
        return buffer_[pos_];
    }
    // Copies up to n bytes; returns how many there were.
    size_t Read(uint8_t* out, size_t n) {
        if (n == 0) return 0;
        size_t done = std::min(n, len_ - pos_);
        std::memcpy(out, buffer_ + pos_, done);
        pos_ += done;
        if (done < n) done += stream_->Read(out + done, 1, n - done);
        return done;
    }
    // Bytes left in the stream, buffered ones included.
    int64_t Remaining() {
        const int64_t size = stream_->Size();
        const int64_t at = stream_->Tell();
        return std::max<int64_t>(0, size - at) + int64_t(len_ - pos_);
    }

private:
    bool Refill() {
        pos_ = 0;
        len_ = stream_->Read(buffer_, 1, sizeof buffer_);
        return len_ > 0;
    }

    LfFile* stream_;
    uint8_t buffer_[16384];
    size_t pos_ = 0;
    size_t len_ = 0;
};

bool IsSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Reads a decimal number after optional white space (and, for PNM, comments running to the end
// of their line). False when no digit comes or the value passes `limit`.
bool ReadNumber(ByteReader& in, bool comments, uint64_t limit, uint64_t& value) {
    int c = in.Get();
    for (;;) {
        if (comments && c == '#') {
            while (c != -1 && c != '\n' && c != '\r') c = in.Get();
        } else if (!IsSpace(c)) {
            break;
        }
        c = in.Get();
    }
    if (c < '0' || c > '9') return false;
    value = 0;
    while (c >= '0' && c <= '9') {
        value = value * 10 + uint64_t(c - '0');
        if (value > limit) return false;
        c = in.Peek();
        if (c >= '0' && c <= '9') in.Get();
    }
    return true;
}

uint32_t Get32BE(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
void Put32BE(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}

// ---------------------------------------------------------------- readers

// A file's components, read in two steps: the header (nothing large allocated), then the rows.
class ComponentReader {
public:
    ComponentReader(LfImage& image, LfFile* stream) : image_(image), stream_(stream) {}
    virtual ~ComponentReader() = default;

    virtual bool ReadHeader() = 0;
    // Decodes what has to be decoded before the first row can be handed out.
    virtual bool Load() { return true; }
    virtual bool ReadRows(PictureBuilder& builder) = 0;

    std::vector<Component> comps;

protected:
    // The codec's messages are fixed texts; `why` names the reason at the call site only.
    bool Fail(const char* text, [[maybe_unused]] const char* why = nullptr) {
        image_.SetLastError(text);
        return false;
    }

    LfImage& image_;
    LfFile* stream_;
};

// ---- PNM: P1/P4 bilevel, P2/P5 grey, P3/P6 colour; any maxval up to 65535.
class PnmReader : public ComponentReader {
public:
    using ComponentReader::ComponentReader;

    bool ReadHeader() override {
        in_ = std::make_unique<ByteReader>(stream_);
        if (in_->Get() != 'P') return Fail(kUnknownFormat);
        const int kind = in_->Get();
        if (kind < '1' || kind > '6') return Fail(kUnknownFormat);
        kind_ = kind - '0';
        raw_ = kind_ >= 4;
        channels_ = (kind_ == 3 || kind_ == 6) ? 3 : 1;
        uint64_t width = 0, height = 0, maxval = 1;
        if (!ReadNumber(*in_, true, UINT32_MAX, width) || !ReadNumber(*in_, true, UINT32_MAX, height))
            return Fail(kCannotLoad, "bad PNM size");
        if (width == 0 || height == 0) return Fail(kCannotLoad, "PNM width or height is 0");
        const bool bilevel = kind_ == 1 || kind_ == 4;
        if (!bilevel && !ReadNumber(*in_, true, UINT32_MAX, maxval))
            return Fail(kCannotLoad, "bad PNM maxval");
        if (maxval == 0 || maxval > 65535) return Fail(kCannotLoad, "PNM maxval must be 1 to 65535");
        // Raster data starts after exactly one white-space character.
        if (raw_ && !IsSpace(in_->Get())) return Fail(kCannotLoad, "bad PNM header end");
        width_ = uint32_t(width);
        height_ = uint32_t(height);
        maxval_ = uint32_t(maxval);
        if (!FitsImage(width_, height_, channels_ == 3 ? 24 : 8)) return Fail("LFIMAGE_MAX_MEMORY exceeded");

        // Every sample needs at least one byte (bilevel raw: one bit) before anything is made.
        const uint64_t samples = uint64_t(width_) * height_ * channels_;
        uint64_t needed = samples;
        if (kind_ == 4) needed = uint64_t((width_ + 7) / 8) * height_;
        else if (raw_) needed = samples * (maxval_ > 255 ? 2 : 1);
        else if (kind_ != 1) needed = samples * 2 - 1;
        if (needed > uint64_t(in_->Remaining())) return Fail(kCannotLoad, "PNM data ends early");

        // Samples keep the precision of a maxval of the form 2^p - 1; any other maxval is
        // stretched to 8 or 16 bits so that maxval stays white.
        precision_ = 1;
        while ((uint64_t(1) << precision_) - 1 < maxval_) ++precision_;
        if ((1u << precision_) - 1 != maxval_) precision_ = maxval_ < 256 ? 8 : 16;
        comps.assign(channels_, Component{width_, height_, precision_, false});
        return true;
    }

    bool ReadRows(PictureBuilder& builder) override {
        const size_t n = size_t(width_) * channels_;
        std::vector<int32_t> samples(n);
        std::vector<uint8_t> bytes(kind_ == 4 ? (width_ + 7) / 8 : raw_ ? n * (maxval_ > 255 ? 2 : 1) : 0);
        const uint32_t top = (1u << precision_) - 1;
        std::vector<int32_t> stretch;
        if (top != maxval_ && kind_ != 1 && kind_ != 4) {
            stretch.resize(size_t(maxval_) + 1);
            for (uint32_t v = 0; v <= maxval_; ++v) stretch[v] = int32_t((uint64_t(v) * top + maxval_ / 2) / maxval_);
        }
        const int32_t* rows[3] = {samples.data(), samples.data() + 1, samples.data() + 2};
        const bool plain = raw_ && kind_ != 4 && maxval_ == 255 && builder.PlainBytes();
        for (uint32_t y = 0; y < height_; ++y) {
            if (plain) {
                if (in_->Read(bytes.data(), bytes.size()) != bytes.size()) return Fail(kCannotLoad, "PNM data ends early");
                builder.PutBytes(y, bytes.data(), false);
                continue;
            }
            if (!ReadRow(samples, bytes)) return Fail(kCannotLoad, "PNM data ends early");
            if (!stretch.empty())
                for (int32_t& s : samples) s = stretch[size_t(s)];
            builder.PutRow(y, rows, channels_);
        }
        return true;
    }

private:
    bool ReadRow(std::vector<int32_t>& samples, std::vector<uint8_t>& bytes) {
        const size_t n = samples.size();
        if (kind_ == 4) {
            if (in_->Read(bytes.data(), bytes.size()) != bytes.size()) return false;
            // A set bit is black; the grey component has black at 0.
            for (size_t x = 0; x < n; ++x) samples[x] = (bytes[x >> 3] >> (7 - (x & 7))) & 1 ? 0 : 1;
            return true;
        }
        if (raw_) {
            if (in_->Read(bytes.data(), bytes.size()) != bytes.size()) return false;
            if (maxval_ > 255) {
                for (size_t i = 0; i < n; ++i)
                    samples[i] = int32_t(std::min<uint32_t>((uint32_t(bytes[2 * i]) << 8) | bytes[2 * i + 1], maxval_));
            } else if (maxval_ == 255) {
                for (size_t i = 0; i < n; ++i) samples[i] = bytes[i];
            } else {
                for (size_t i = 0; i < n; ++i) samples[i] = std::min<int32_t>(bytes[i], int32_t(maxval_));
            }
            return true;
        }
        if (kind_ == 1) {
            // Plain bilevel digits may be written without separators.
            for (size_t x = 0; x < n; ++x) {
                int c = in_->Get();
                while (IsSpace(c) || c == '#') {
                    if (c == '#')
                        while (c != -1 && c != '\n' && c != '\r') c = in_->Get();
                    c = in_->Get();
                }
                if (c != '0' && c != '1') return false;
                samples[x] = c == '1' ? 0 : 1;
            }
            return true;
        }
        for (size_t i = 0; i < n; ++i) {
            uint64_t v = 0;
            if (!ReadNumber(*in_, true, UINT32_MAX, v)) return false;
            samples[i] = int32_t(std::min<uint64_t>(v, maxval_));
        }
        return true;
    }

    std::unique_ptr<ByteReader> in_;
    int kind_ = 0;
    bool raw_ = false;
    uint32_t channels_ = 1;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t maxval_ = 255;
    uint32_t precision_ = 8;
};

// ---- PGX: "PG", byte order, sign, depth, width, height, one white-space character, then
// one grey component of 1, 2 or 4 bytes per sample.
class PgxReader : public ComponentReader {
public:
    using ComponentReader::ComponentReader;

    bool ReadHeader() override {
        in_ = std::make_unique<ByteReader>(stream_);
        if (in_->Get() != 'P' || in_->Get() != 'G') return Fail(kUnknownFormat);
        int c = in_->Get();
        while (c == ' ' || c == '\t') c = in_->Get();
        const int second = in_->Get();
        if (c == 'M' && second == 'L') bigEndian_ = true;
        else if (c == 'L' && second == 'M') bigEndian_ = false;
        else return Fail(kCannotLoad, "bad PGX byte order");
        c = in_->Peek();
        while (c == ' ' || c == '\t' || c == '+' || c == '-') {
            if (c == '-') signed_ = true;
            in_->Get();
            c = in_->Peek();
        }
        uint64_t depth = 0, width = 0, height = 0;
        if (!ReadNumber(*in_, false, 64, depth) || !ReadNumber(*in_, false, UINT32_MAX, width) ||
            !ReadNumber(*in_, false, UINT32_MAX, height))
            return Fail(kCannotLoad, "bad PGX header");
        if (!IsSpace(in_->Get())) return Fail(kCannotLoad, "bad PGX header end");
        if (depth < 1 || depth > 16) return Fail(kCannotLoad, "PGX depth must be 1 to 16");
        if (width == 0 || height == 0) return Fail(kCannotLoad, "PGX width or height is 0");
        width_ = uint32_t(width);
        height_ = uint32_t(height);
        bytes_ = depth > 8 ? 2 : 1;
        if (!FitsImage(width_, height_, 8)) return Fail("LFIMAGE_MAX_MEMORY exceeded");
        if (uint64_t(width_) * height_ * bytes_ > uint64_t(in_->Remaining()))
            return Fail(kCannotLoad, "PGX data ends early");
        comps.assign(1, Component{width_, height_, uint32_t(depth), signed_});
        return true;
    }

    bool ReadRows(PictureBuilder& builder) override {
        std::vector<uint8_t> bytes(size_t(width_) * bytes_);
        std::vector<int32_t> samples(width_);
        const int32_t* rows[1] = {samples.data()};
        const uint32_t depth = comps[0].precision;
        for (uint32_t y = 0; y < height_; ++y) {
            if (in_->Read(bytes.data(), bytes.size()) != bytes.size()) return Fail(kCannotLoad, "PGX data ends early");
            for (uint32_t x = 0; x < width_; ++x) {
                uint32_t v = bytes[x];
                if (bytes_ == 2) {
                    const uint8_t* p = &bytes[2 * size_t(x)];
                    v = bigEndian_ ? (uint32_t(p[0]) << 8) | p[1] : (uint32_t(p[1]) << 8) | p[0];
                }
                // Signed samples are stored in two's complement of the sample width.
                int32_t s = int32_t(v & ((1u << depth) - 1));
                if (signed_ && (s >> (depth - 1)) & 1) s -= int32_t(1u << depth);
                samples[x] = s;
            }
            builder.PutRow(y, rows, 1);
        }
        return true;
    }

private:
    std::unique_ptr<ByteReader> in_;
    bool bigEndian_ = true;
    bool signed_ = false;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t bytes_ = 1;
};

// ---- Sun raster: a 32-byte big-endian header, an optional colour map, rows padded to 16 bits,
// plain or run-length encoded.
constexpr uint32_t kRasMagic = 0x59a66a95;
enum RasType : uint32_t { kRasOld = 0, kRasStandard = 1, kRasEncoded = 2, kRasRgb = 3 };
enum RasMapType : uint32_t { kRasNoMap = 0, kRasEqualRgb = 1 };

class RasReader : public ComponentReader {
public:
    using ComponentReader::ComponentReader;

    bool ReadHeader() override {
        in_ = std::make_unique<ByteReader>(stream_);
        uint8_t h[32];
        if (in_->Read(h, 4) != 4 || Get32BE(h) != kRasMagic) return Fail(kUnknownFormat);
        if (in_->Read(h + 4, 28) != 28) return Fail(kCannotLoad, "short Sun raster header");
        width_ = Get32BE(h + 4);
        height_ = Get32BE(h + 8);
        depth_ = Get32BE(h + 12);
        type_ = Get32BE(h + 20);
        const uint32_t mapType = Get32BE(h + 24);
        const uint32_t mapLength = Get32BE(h + 28);
        if (width_ == 0 || height_ == 0) return Fail(kCannotLoad, "Sun raster width or height is 0");
        if (depth_ != 1 && depth_ != 8 && depth_ != 24 && depth_ != 32)
            return Fail(kCannotLoad, "Sun raster depth must be 1, 8, 24 or 32");
        if (type_ > kRasRgb) return Fail(kCannotLoad, "unsupported Sun raster type");
        if (mapType > kRasEqualRgb || (mapType == kRasNoMap && mapLength != 0))
            return Fail(kCannotLoad, "unsupported Sun raster colour map");
        if (!FitsImage(width_, height_, 24)) return Fail("LFIMAGE_MAX_MEMORY exceeded");
        if (uint64_t(mapLength) > uint64_t(in_->Remaining())) return Fail(kCannotLoad, "Sun raster map runs past the file");
        if (mapLength % 3 != 0) return Fail(kCannotLoad, "Sun raster map length is not a multiple of 3");

        // The map is red entries, then green, then blue; entries beyond 256 are never indexed.
        std::vector<uint8_t> map(mapLength);
        if (in_->Read(map.data(), mapLength) != mapLength) return Fail(kCannotLoad, "Sun raster map runs past the file");
        const uint32_t entries = mapLength / 3;
        mapEntries_ = std::min<uint32_t>(entries, 256);
        for (uint32_t i = 0; i < mapEntries_; ++i) {
            map_[i][0] = map[i];
            map_[i][1] = map[entries + i];
            map_[i][2] = map[2 * entries + i];
            if (map_[i][0] != map_[i][1] || map_[i][0] != map_[i][2]) greyMap_ = false;
        }
        const bool mapped = depth_ <= 8 && mapEntries_ > 0;

        rowBytes_ = size_t((uint64_t(width_) * depth_ + 15) / 16 * 2);
        const uint64_t data = uint64_t(rowBytes_) * height_;
        // A run of 256 bytes takes three; less data than that cannot fill the picture.
        const uint64_t least = type_ == kRasEncoded ? (data + 255) / 256 * 3 : data;
        if (least > uint64_t(in_->Remaining())) return Fail(kCannotLoad, "Sun raster data ends early");

        if (depth_ >= 24 || (mapped && !greyMap_)) {
            comps.assign(3, Component{width_, height_, 8, false});
        } else {
            const uint32_t precision = depth_ == 1 && !mapped ? 1 : 8;
            comps.assign(1, Component{width_, height_, precision, false});
        }
        mapped_ = mapped;
        return true;
    }

    bool ReadRows(PictureBuilder& builder) override {
        std::vector<uint8_t> row(rowBytes_);
        const size_t channels = comps.size();
        std::vector<int32_t> samples(size_t(width_) * channels);
        const int32_t* rows[3] = {samples.data(), samples.data() + 1, samples.data() + 2};
        for (uint32_t y = 0; y < height_; ++y) {
            const bool complete = type_ == kRasEncoded ? Unpack(row) : in_->Read(row.data(), row.size()) == row.size();
            if (!complete) return Fail(kCannotLoad, "Sun raster data ends early");
            if (builder.PlainBytes() && ((depth_ == 24 && type_ != kRasRgb) || (depth_ == 8 && !mapped_))) {
                builder.PutBytes(y, row.data(), true);
                continue;
            }
            Convert(row, samples, channels);
            builder.PutRow(y, rows, channels);
        }
        return true;
    }

private:
    // Byte-encoded rows: 0x80 0 is one 0x80, 0x80 n v is n + 1 copies of v, any other byte
    // stands for itself. Runs may cross row ends; the remainder carries into the next row.
    bool Unpack(std::vector<uint8_t>& row) {
        size_t at = 0;
        while (at < row.size()) {
            if (pending_ > 0) {
                const size_t n = std::min<size_t>(pending_, row.size() - at);
                std::memset(&row[at], runValue_, n);
                at += n;
                pending_ -= n;
                continue;
            }
            const int c = in_->Get();
            if (c < 0) return false;
            if (c != 0x80) {
                row[at++] = uint8_t(c);
                continue;
            }
            const int count = in_->Get();
            if (count < 0) return false;
            if (count == 0) {
                row[at++] = 0x80;
                continue;
            }
            const int value = in_->Get();
            if (value < 0) return false;
            runValue_ = uint8_t(value);
            pending_ = size_t(count) + 1;
        }
        return true;
    }

    void Convert(const std::vector<uint8_t>& row, std::vector<int32_t>& samples, size_t channels) const {
        for (uint32_t x = 0; x < width_; ++x) {
            int32_t* out = &samples[size_t(x) * channels];
            if (depth_ >= 24) {
                const uint8_t* p = &row[size_t(x) * (depth_ / 8) + (depth_ == 32 ? 1 : 0)];
                const bool rgb = type_ == kRasRgb;
                out[0] = rgb ? p[0] : p[2];
                out[1] = p[1];
                out[2] = rgb ? p[2] : p[0];
                continue;
            }
            uint32_t index = depth_ == 8 ? row[x] : (row[x >> 3] >> (7 - (x & 7))) & 1;
            if (!mapped_) {
                // Without a map a set bit is black, and 8-bit values are grey levels.
                out[0] = depth_ == 1 ? int32_t(index ^ 1) : int32_t(index);
                continue;
            }
            if (index >= mapEntries_) index = 0;
            for (size_t c = 0; c < channels; ++c) out[c] = map_[index][c];
        }
    }

    std::unique_ptr<ByteReader> in_;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t depth_ = 0;
    uint32_t type_ = 0;
    size_t rowBytes_ = 0;
    uint8_t map_[256][3] = {};
    uint32_t mapEntries_ = 0;
    bool greyMap_ = true;
    bool mapped_ = false;
    size_t pending_ = 0;
    uint8_t runValue_ = 0;
};

// ---------------------------------------------------------------- OpenJPEG glue

// The library's stream over ours; positions are counted from where the stream stood when the
// call began, so a file embedded in a larger stream works too.
struct OpjContext {
    LfFile* stream = nullptr;
    int64_t base = 0;
    bool writeFailed = false;
    std::string error;
};

OPJ_SIZE_T ReadProc(void* buffer, OPJ_SIZE_T size, void* user) {
    auto* ctx = static_cast<OpjContext*>(user);
    const size_t n = ctx->stream->Read(buffer, 1, size);
    return n == 0 ? static_cast<OPJ_SIZE_T>(-1) : n;
}

OPJ_SIZE_T WriteProc(void* buffer, OPJ_SIZE_T size, void* user) {
    auto* ctx = static_cast<OpjContext*>(user);
    const size_t n = ctx->stream->Write(buffer, 1, size);
    if (n != size) {
        ctx->writeFailed = true;
        return static_cast<OPJ_SIZE_T>(-1);
    }
    return n;
}

OPJ_BOOL SeekProc(OPJ_OFF_T offset, void* user) {
    auto* ctx = static_cast<OpjContext*>(user);
    const int64_t target = ctx->base + offset;
    if (offset < 0 || target > INT32_MAX) return OPJ_FALSE;
    return ctx->stream->Seek(static_cast<int32_t>(target), SEEK_SET) ? OPJ_TRUE : OPJ_FALSE;
}

OPJ_OFF_T SkipProc(OPJ_OFF_T count, void* user) {
    auto* ctx = static_cast<OpjContext*>(user);
    const int64_t at = ctx->stream->Tell();
    const int64_t target = at + count;
    if (at < 0 || target < ctx->base || target > INT32_MAX) return -1;
    return ctx->stream->Seek(static_cast<int32_t>(target), SEEK_SET) ? count : -1;
}

void OnError(const char* message, void* user) {
    auto* ctx = static_cast<OpjContext*>(user);
    if (!ctx->error.empty()) return;   // the first error is the cause; later ones follow from it
    ctx->error = message ? message : "";
    while (!ctx->error.empty() && (ctx->error.back() == '\n' || ctx->error.back() == '\r')) ctx->error.pop_back();
}

void OnWarning(const char*, void*) {}

// opj_codec_t and opj_stream_t are the same type (void*), so each needs its own deleter.
struct OpjCodecDeleter {
    void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct OpjStreamDeleter {
    void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct OpjImageDeleter {
    void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};
using OpjCodec = std::unique_ptr<opj_codec_t, OpjCodecDeleter>;
using OpjStream = std::unique_ptr<opj_stream_t, OpjStreamDeleter>;
using OpjImage = std::unique_ptr<opj_image_t, OpjImageDeleter>;

OpjStream MakeOpjStream(OpjContext& ctx, bool input) {
    OpjStream s(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, input ? OPJ_TRUE : OPJ_FALSE));
    if (!s) return s;
    opj_stream_set_user_data(s.get(), &ctx, nullptr);
    if (input) {
        const int64_t size = ctx.stream->Size();
        opj_stream_set_user_data_length(s.get(), OPJ_UINT64(std::max<int64_t>(0, size - ctx.base)));
        opj_stream_set_read_function(s.get(), ReadProc);
    } else {
        opj_stream_set_write_function(s.get(), WriteProc);
    }
    opj_stream_set_skip_function(s.get(), SkipProc);
    opj_stream_set_seek_function(s.get(), SeekProc);
    return s;
}

void SetHandlers(opj_codec_t* codec, OpjContext& ctx) {
    opj_set_error_handler(codec, OnError, &ctx);
    opj_set_warning_handler(codec, OnWarning, &ctx);
    opj_set_info_handler(codec, OnWarning, &ctx);
}

// Samples of component c of an image with the image's reference grid mapped onto component 0:
// subsampled planes (4:2:0 chroma, say) are widened by repeating their samples.
bool UpsampleTo(opj_image_comp_t& target, const opj_image_comp_t& reference) {
    if (target.w == reference.w && target.h == reference.h) return true;
    const size_t count = size_t(reference.w) * reference.h;
    auto* data = static_cast<OPJ_INT32*>(opj_image_data_alloc(count * sizeof(OPJ_INT32)));
    if (!data) return false;
    for (uint32_t y = 0; y < reference.h; ++y) {
        const uint32_t sy = std::min<uint32_t>(target.h - 1, uint32_t(uint64_t(y) * target.h / reference.h));
        for (uint32_t x = 0; x < reference.w; ++x) {
            const uint32_t sx = std::min<uint32_t>(target.w - 1, uint32_t(uint64_t(x) * target.w / reference.w));
            data[size_t(y) * reference.w + x] = target.data[size_t(sy) * target.w + sx];
        }
    }
    opj_image_data_free(target.data);
    target.data = data;
    target.w = reference.w;
    target.h = reference.h;
    target.dx = reference.dx;
    target.dy = reference.dy;
    return true;
}

// Luma and two chroma planes to red, green and blue by the standard matrix, in place.
void YccToRgb(opj_image_t& image) {
    opj_image_comp_t* c = image.comps;
    const int32_t top = int32_t((int64_t(1) << c[0].prec) - 1);
    const int32_t half = int32_t(int64_t(1) << (c[0].prec - 1));
    const size_t count = size_t(c[0].w) * c[0].h;
    for (size_t i = 0; i < count; ++i) {
        const float y = float(c[0].data[i]) + (c[0].sgnd ? float(half) : 0.0f);
        const float cb = float(c[1].data[i]) - (c[1].sgnd ? 0.0f : float(half));
        const float cr = float(c[2].data[i]) - (c[2].sgnd ? 0.0f : float(half));
        const auto clamp = [top](float v) { return std::clamp(int32_t(std::lround(v)), 0, top); };
        c[0].data[i] = clamp(y + 1.402f * cr);
        c[1].data[i] = clamp(y - 0.344136f * cb - 0.714136f * cr);
        c[2].data[i] = clamp(y + 1.772f * cb);
    }
    for (int k = 0; k < 3; ++k) c[k].sgnd = 0;
}

// ---- JP2 files and raw code streams through OpenJPEG.
class OpjReader : public ComponentReader {
public:
    OpjReader(LfImage& image, LfFile* stream, OPJ_CODEC_FORMAT format)
        : ComponentReader(image, stream), format_(format) {}

    bool ReadHeader() override {
        ctx_.stream = stream_;
        ctx_.base = stream_->Tell();
        if (ctx_.base < 0) return Fail(kCannotLoad);
        ostream_ = MakeOpjStream(ctx_, true);
        codec_.reset(opj_create_decompress(format_));
        if (!ostream_ || !codec_) return Fail(kCannotLoad);
        SetHandlers(codec_.get(), ctx_);
        opj_dparameters_t parameters;
        opj_set_default_decoder_parameters(&parameters);
        opj_image_t* raw = nullptr;
        if (!opj_setup_decoder(codec_.get(), &parameters) || !opj_read_header(ostream_.get(), codec_.get(), &raw)) {
            opj_image_destroy(raw);
            return Fail(kCannotLoad, ctx_.error.c_str());
        }
        image.reset(raw);
        if (image->numcomps == 0) return Fail(kCannotLoad, "no components");
        Describe();
        return true;
    }

    bool Load() override {
        // The whole picture is decoded into 32-bit planes: refuse sizes nothing could hold
        // before the library allocates them.
        uint64_t bytes = 0;
        for (const Component& c : comps) bytes += uint64_t(c.width) * c.height * 4;
        if (bytes > kMaxLibrarySampleBytes || !FitsImage(comps[0].width, comps[0].height, 8))
            return Fail("LFIMAGE_MAX_MEMORY exceeded");
        if (comps.size() > kMaxComponents) return Fail(kTooManyComponents);
        if (!opj_decode(codec_.get(), ostream_.get(), image.get()) ||
            !opj_end_decompress(codec_.get(), ostream_.get()))
            return Fail(kCannotLoad, ctx_.error.c_str());
        for (uint32_t c = 0; c < image->numcomps; ++c)
            if (!image->comps[c].data) return Fail(kCannotLoad, "component without samples");
        if (image->numcomps > 2 && image->comps[0].prec <= 8 && !ToSrgb()) return Fail(kCannotConvert);
        Describe();
        return true;
    }

    bool ReadRows(PictureBuilder& builder) override {
        const int32_t* rows[kMaxComponents] = {};
        const size_t count = builder.IsColour() ? 3 : 1;
        const size_t first = builder.IsColour() ? 0 : builder.Selected();
        const uint32_t height = comps[first].height;
        for (uint32_t y = 0; y < height; ++y) {
            for (size_t c = first; c < first + count; ++c)
                rows[c] = image->comps[c].data + size_t(y) * image->comps[c].w;
            builder.PutRow(y, rows, 1);
        }
        return true;
    }

    OpjImage image;

private:
    void Describe() {
        comps.clear();
        for (uint32_t c = 0; c < image->numcomps; ++c) {
            const opj_image_comp_t& k = image->comps[c];
            // Before decoding, the sizes follow from the reference grid and the subsampling.
            uint32_t w = k.w, h = k.h;
            if (!k.data && k.dx && k.dy) {
                w = uint32_t((uint64_t(image->x1) + k.dx - 1) / k.dx - (uint64_t(image->x0) + k.dx - 1) / k.dx);
                h = uint32_t((uint64_t(image->y1) + k.dy - 1) / k.dy - (uint64_t(image->y0) + k.dy - 1) / k.dy);
            }
            comps.push_back(Component{w, h, k.prec, k.sgnd != 0});
        }
    }

    // Colour pictures end as red, green and blue planes of one size: YCC is converted, the
    // chroma of subsampled files widened, and planes beyond the third (alpha) left out.
    // Other colour spaces (CMYK, grey with extra planes) stay as they come.
    bool ToSrgb() {
        const OPJ_COLOR_SPACE space = image->color_space;
        const bool ycc = space == OPJ_CLRSPC_SYCC || space == OPJ_CLRSPC_EYCC;
        if (!ycc && space != OPJ_CLRSPC_SRGB && space != OPJ_CLRSPC_UNSPECIFIED && space != OPJ_CLRSPC_UNKNOWN)
            return true;
        opj_image_comp_t* c = image->comps;
        if (c[1].prec != c[0].prec || c[2].prec != c[0].prec) return true;
        if (!UpsampleTo(c[1], c[0]) || !UpsampleTo(c[2], c[0])) return false;
        if (ycc) YccToRgb(*image);
        for (uint32_t k = 3; k < image->numcomps; ++k) {
            opj_image_data_free(c[k].data);
            c[k].data = nullptr;
        }
        image->numcomps = 3;
        image->color_space = OPJ_CLRSPC_SRGB;
        return true;
    }

    OPJ_CODEC_FORMAT format_;
    OpjContext ctx_;
    OpjCodec codec_;
    OpjStream ostream_;
};

// ---------------------------------------------------------------- detection

// The variant a file's first bytes name, as its format identifier; 0 for none.
uint32_t DetectFormat(LfFile* stream) {
    uint8_t b[12] = {};
    const int32_t start = stream->Tell();
    const size_t n = stream->Read(b, 1, sizeof b);
    stream->Seek(start, SEEK_SET);
    static const uint8_t kJp2[12] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
    if (n >= 12 && std::memcmp(b, kJp2, 12) == 0) return LF_FORMAT_JP2;
    if (n >= 4 && b[0] == 0xFF && b[1] == 0x4F && b[2] == 0xFF && b[3] == 0x51) return LF_FORMAT_JPC;
    if (n >= 2 && b[0] == 'P' && b[1] == 'G') return LF_FORMAT_PGX;
    if (n >= 2 && b[0] == 'P' && b[1] >= '1' && b[1] <= '6') return LF_FORMAT_PNM;
    if (n >= 4 && Get32BE(b) == kRasMagic) return LF_FORMAT_RAS;
    return LF_FORMAT_UNKNOWN;
}

std::unique_ptr<ComponentReader> MakeReader(uint32_t format, LfImage& image, LfFile* stream) {
    switch (format) {
    case LF_FORMAT_JP2: return std::make_unique<OpjReader>(image, stream, OPJ_CODEC_JP2);
    case LF_FORMAT_JPC: return std::make_unique<OpjReader>(image, stream, OPJ_CODEC_J2K);
    case LF_FORMAT_PGX: return std::make_unique<PgxReader>(image, stream);
    case LF_FORMAT_PNM: return std::make_unique<PnmReader>(image, stream);
    case LF_FORMAT_RAS: return std::make_unique<RasReader>(image, stream);
    default: return nullptr;
    }
}

// ---------------------------------------------------------------- writing helpers

// The picture as 8-bit samples, rows top-down: one grey level per pixel, or red, green, blue.
// Palette pictures count as grey when every entry is a grey (red = green = blue); their
// samples are the entries' levels.
class SampleSource {
public:
    explicit SampleSource(const LfImage& image) : image_(image) {
        grey_ = image.IsIndexed();
        if (grey_) {
            for (uint32_t i = 0; i < image.NumColors() && i < 256; ++i) {
                const LfRgbQuad c = image.PaletteColor(uint8_t(i));
                if (c.red != c.green || c.red != c.blue) usable_ = false;
                levels_[i] = c.red;
            }
        }
    }

    bool Usable() const { return usable_; }
    uint32_t Components() const { return grey_ ? 1 : 3; }

    void Row(uint32_t y, uint8_t* out) const {
        const uint32_t stored = image_.Height() - 1 - y;
        const uint32_t width = image_.Width();
        if (!grey_) {
            const uint8_t* in = image_.Row(stored);
            for (uint32_t x = 0; x < width; ++x, in += 3, out += 3) {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
            }
            return;
        }
        for (uint32_t x = 0; x < width; ++x) out[x] = levels_[image_.PixelIndexUnchecked(int32_t(x), int32_t(stored))];
    }

private:
    const LfImage& image_;
    bool grey_ = false;
    bool usable_ = true;
    uint8_t levels_[256] = {};
};

bool WriteAll(LfFile* stream, const void* data, size_t length) {
    return length == 0 || stream->Write(data, 1, length) == length;
}

bool WriteText(LfFile* stream, const std::string& text) { return WriteAll(stream, text.data(), text.size()); }

bool WritePnm(LfFile* stream, const SampleSource& source, uint32_t width, uint32_t height) {
    const uint32_t channels = source.Components();
    const std::string header = std::string(channels == 3 ? "P6" : "P5") + "\n" + std::to_string(width) + " " +
                               std::to_string(height) + "\n255\n";
    if (!WriteText(stream, header)) return false;
    std::vector<uint8_t> row(size_t(width) * channels);
    for (uint32_t y = 0; y < height; ++y) {
        source.Row(y, row.data());
        if (!WriteAll(stream, row.data(), row.size())) return false;
    }
    return true;
}

bool WritePgx(LfFile* stream, const SampleSource& source, uint32_t width, uint32_t height) {
    if (!WriteText(stream, "PG ML + 8 " + std::to_string(width) + " " + std::to_string(height) + "\n")) return false;
    std::vector<uint8_t> row(width);
    for (uint32_t y = 0; y < height; ++y) {
        source.Row(y, row.data());
        if (!WriteAll(stream, row.data(), row.size())) return false;
    }
    return true;
}

// Standard (uncompressed) Sun raster: grey as 8 bits without a map, colour as 24-bit
// blue, green, red; rows padded to 16 bits.
bool WriteRas(LfFile* stream, const SampleSource& source, uint32_t width, uint32_t height) {
    const uint32_t channels = source.Components();
    const size_t rowBytes = (size_t(width) * channels + 1) / 2 * 2;
    const uint64_t length = uint64_t(rowBytes) * height;
    uint8_t h[32];
    Put32BE(h, kRasMagic);
    Put32BE(h + 4, width);
    Put32BE(h + 8, height);
    Put32BE(h + 12, channels * 8);
    Put32BE(h + 16, length > UINT32_MAX ? 0 : uint32_t(length));
    Put32BE(h + 20, kRasStandard);
    Put32BE(h + 24, kRasNoMap);
    Put32BE(h + 28, 0);
    if (!WriteAll(stream, h, sizeof h)) return false;
    std::vector<uint8_t> row(rowBytes, 0);
    for (uint32_t y = 0; y < height; ++y) {
        source.Row(y, row.data());
        if (channels == 3)
            for (size_t x = 0; x < width; ++x) std::swap(row[3 * x], row[3 * x + 2]);
        if (!WriteAll(stream, row.data(), row.size())) return false;
    }
    return true;
}

// Resolution levels for a picture: the library's default of six needs 32 pixels a side; a
// smaller picture gets as many as its shorter side allows.
int ResolutionsFor(uint32_t width, uint32_t height) {
    const uint32_t side = std::min(width, height);
    int levels = 1;
    while (levels < 6 && (side >> levels) >= 1) ++levels;
    return levels;
}

// Error text of an encode that could not write (the library's own reason is not shown: the
// codec's message is a fixed text).
std::string EncodeFailure([[maybe_unused]] const std::string& detail) { return kCannotEncode; }

// JP2 file or raw code stream through OpenJPEG: one layer, lossless 5/3 wavelet, the
// quality as the rate. Returns the failure text, empty on success.
std::string WriteJpeg2000(LfFile* stream, const SampleSource& source, uint32_t width, uint32_t height,
                          float quality, OPJ_CODEC_FORMAT codecFormat) {
    const uint32_t channels = source.Components();
    std::vector<opj_image_cmptparm_t> parameters(channels);
    for (opj_image_cmptparm_t& p : parameters) {
        p = opj_image_cmptparm_t{};
        p.dx = p.dy = 1;
        p.w = width;
        p.h = height;
        p.prec = 8;
    }
    OpjImage image(opj_image_create(channels, parameters.data(), channels == 3 ? OPJ_CLRSPC_SRGB : OPJ_CLRSPC_GRAY));
    if (!image) return kCannotCreate;
    image->x1 = width;
    image->y1 = height;
    std::vector<uint8_t> row(size_t(width) * channels);
    for (uint32_t y = 0; y < height; ++y) {
        source.Row(y, row.data());
        for (uint32_t c = 0; c < channels; ++c) {
            OPJ_INT32* out = image->comps[c].data + size_t(y) * width;
            for (uint32_t x = 0; x < width; ++x) out[x] = row[size_t(x) * channels + c];
        }
    }

    opj_cparameters_t cp;
    opj_set_default_encoder_parameters(&cp);
    // The quality is the rate, the share of the uncompressed size to keep, to three decimals
    // (quality 90 keeps 0.900); the library wants its inverse. A rate of 1 is lossless.
    char rateText[32];
    std::snprintf(rateText, sizeof rateText, "%.3f", double(quality) / 100.0);
    double rate = std::atof(rateText);
    if (!(rate >= 0.001)) rate = 0.001;   // quality 0, negative or not a number
    cp.tcp_numlayers = 1;
    cp.cp_disto_alloc = 1;
    cp.tcp_rates[0] = rate >= 1.0 ? 0.0f : float(1.0 / rate);
    cp.numresolution = ResolutionsFor(width, height);
    cp.tcp_mct = channels == 3 ? 1 : 0;

    OpjContext ctx;
    ctx.stream = stream;
    ctx.base = stream->Tell();
    OpjCodec codec(opj_create_compress(codecFormat));
    OpjStream ostream = MakeOpjStream(ctx, false);
    if (!codec || !ostream || ctx.base < 0) return kCannotEncode;
    SetHandlers(codec.get(), ctx);
    const bool written = opj_setup_encoder(codec.get(), &cp, image.get()) &&
                         opj_start_compress(codec.get(), image.get(), ostream.get()) &&
                         opj_encode(codec.get(), ostream.get()) && opj_end_compress(codec.get(), ostream.get());
    if (!written || ctx.writeFailed) return EncodeFailure(ctx.writeFailed ? "write error" : ctx.error);
    return {};
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Writing

bool LfImageJAS::Encode(LfFile* stream, uint32_t format) {
    if (EncodeSafeCheck(stream)) return false;
    const SampleSource source(*this);
    if (!source.Usable()) {
        SetLastError(kOnlyRgbOrGrey);
        return false;
    }
    if (format == LF_FORMAT_PGX && source.Components() != 1) {
        SetLastError(kPgxOnlyGrey);
        return false;
    }
    const uint32_t width = Width();
    const uint32_t height = Height();
    const std::string writeError = EncodeFailure("write error");
    std::string failure;
    switch (format) {
    case LF_FORMAT_JP2: failure = WriteJpeg2000(stream, source, width, height, info.quality, OPJ_CODEC_JP2); break;
    case LF_FORMAT_JPC: failure = WriteJpeg2000(stream, source, width, height, info.quality, OPJ_CODEC_J2K); break;
    case LF_FORMAT_PGX: if (!WritePgx(stream, source, width, height)) failure = writeError; break;
    case LF_FORMAT_PNM: if (!WritePnm(stream, source, width, height)) failure = writeError; break;
    case LF_FORMAT_RAS: if (!WriteRas(stream, source, width, height)) failure = writeError; break;
    default: failure = "Encode: Unknown format"; break;
    }
    if (failure.empty() && !stream->Flush()) failure = writeError;
    if (!failure.empty()) SetLastError(failure.c_str());
    return failure.empty();
}

// ---------------------------------------------------------------------------------------
// Reading

bool LfImageJAS::Decode(LfFile* stream, uint32_t format) {
    if (!stream) return false;
    const uint32_t detected = DetectFormat(stream);
    std::unique_ptr<ComponentReader> reader = MakeReader(detected, *this, stream);
    if (!reader) {
        SetLastError(kUnknownFormat);
        return false;
    }
    if (!reader->ReadHeader()) return false;

    if (Escape() == -1) {
        head.width = static_cast<int32_t>(reader->comps[0].width);
        head.height = static_cast<int32_t>(reader->comps[0].height);
        info.type = detected;
        SetLastError(kHeaderOnly);
        return true;
    }
    if (reader->comps.size() > kMaxComponents) {
        SetLastError(kTooManyComponents);
        return false;
    }
    if (!reader->Load()) return false;

    PictureBuilder builder(*this);
    // A grey result takes the identifier asked for; one found by probing names itself.
    const uint32_t greyType = format != LF_FORMAT_UNKNOWN ? format : detected;
    if (!builder.Start(reader->comps, detected, greyType)) return false;
    if (!reader->ReadRows(builder)) {
        Destroy();
        return false;
    }
    return true;
}
