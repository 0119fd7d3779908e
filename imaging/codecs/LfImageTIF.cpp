// TIFF codec over libtiff 4.5, opened over our streams with TIFFClientOpenExt. Decoding
// reads strips or tiles itself for grey, palette, grey+alpha and CIE L*a*b* pictures and
// leaves every other colour model to libtiff's RGBA reader; orientation is applied last.
#include "LfImageTIF.h"

#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

namespace {

// Largest single allocation libtiff may make for one handle, and the largest strip buffer we
// accept; a picture that needs more is refused rather than exhausting memory.
constexpr tmsize_t kMaxLibraryAllocation = tmsize_t(512) << 20;
constexpr uint64_t kMaxStripBuffer = uint64_t(512) << 20;
constexpr double kMaxDpi = 1000000.0;

// ---------------------------------------------------------------- stream glue

tmsize_t ReadProc(thandle_t handle, void* buffer, tmsize_t size) {
    auto* client = static_cast<LfTiffClient*>(handle);
    if (!client->stream || size <= 0) return 0;
    return static_cast<tmsize_t>(client->stream->Read(buffer, 1, static_cast<size_t>(size)));
}

tmsize_t WriteProc(thandle_t handle, void* buffer, tmsize_t size) {
    auto* client = static_cast<LfTiffClient*>(handle);
    if (!client->stream || size <= 0) return 0;
    return static_cast<tmsize_t>(client->stream->Write(buffer, 1, static_cast<size_t>(size)));
}

toff_t SeekProc(thandle_t handle, toff_t offset, int whence) {
    auto* client = static_cast<LfTiffClient*>(handle);
    const toff_t failed = static_cast<toff_t>(-1);
    if (offset == failed || !client->stream) return failed;
    // Our streams address 31 bits; anything further cannot be reached.
    const int64_t signedOffset = static_cast<int64_t>(offset);
    const bool fits = whence == SEEK_SET ? offset <= static_cast<toff_t>(INT32_MAX)
                                         : signedOffset >= INT32_MIN && signedOffset <= INT32_MAX;
    if (!fits || !client->stream->Seek(static_cast<int32_t>(signedOffset), whence)) return failed;
    if (whence == SEEK_SET) return offset;
    const int32_t position = client->stream->Tell();
    return position < 0 ? failed : static_cast<toff_t>(position);
}

int CloseProc(thandle_t) { return 0; }

toff_t SizeProc(thandle_t handle) {
    auto* client = static_cast<LfTiffClient*>(handle);
    const int32_t size = client->stream ? client->stream->Size() : 0;
    return size < 0 ? 0 : static_cast<toff_t>(size);
}

int MapProc(thandle_t, void**, toff_t*) { return 0; }
void UnmapProc(thandle_t, void*, toff_t) {}

int OnError(TIFF*, void* userData, const char* module, const char* format, va_list args) {
    auto* client = static_cast<LfTiffClient*>(userData);
    if (client && client->image) {
        char text[LF_ERROR_SIZE];
        const int used = module ? std::snprintf(text, sizeof text, "%s: ", module) : 0;
        if (used >= 0 && static_cast<size_t>(used) < sizeof text)
            std::vsnprintf(text + used, sizeof text - used, format, args);
        client->image->SetLastError(text);
    }
    return 1;   // handled: nothing reaches the process-wide handler
}

int OnWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// ---------------------------------------------------------------- small helpers

int32_t ClampToInt(double value, double low, double high) {
    if (!std::isfinite(value)) return 0;
    return static_cast<int32_t>(std::clamp(value, low, high));
}

int32_t DpiFromTiff(float value, uint16_t unit) {
    double dpi = value;
    if (unit == RESUNIT_CENTIMETER) dpi = dpi * 2.54 + 0.5;
    return ClampToInt(dpi, 0.0, kMaxDpi);
}

uint8_t ClampByte(float v) {
    if (!(v > 0.0f)) return 0;
    if (v >= 255.0f) return 255;
    return static_cast<uint8_t>(v);
}

float LabGamma(float v) { return v > 0.00304f ? 1.055f * std::pow(v, 0.41667f) - 0.055f : 12.92f * v; }

// Inverse of the CIE lightness function: a cube above 6/29, a straight line below it (without
// the line, L* = 0 would come out as a visible grey instead of black).
float LabInverse(float f) {
    constexpr float kEdge = 6.0f / 29.0f;
    return f > kEdge ? f * f * f : 3.0f * kEdge * kEdge * (f - 4.0f / 29.0f);
}

// CIE L*a*b* (D65) to sRGB, written blue, green, red.
void LabToBgr(uint8_t lByte, uint8_t aByte, uint8_t bByte, uint8_t* out) {
    const float l = lByte / 2.55f;
    const float a = static_cast<int8_t>(aByte);
    const float b = static_cast<int8_t>(bByte);
    const float fy = (l + 16.0f) / 116.0f;
    const float fx = fy + a * 0.002f;
    const float fz = fy - b * 0.005f;
    const float x = 0.95047f * LabInverse(fx);
    const float y = LabInverse(fy);
    const float z = 1.0883f * LabInverse(fz);
    const float red = 3.240479f * x - 1.53715f * y - 0.498535f * z;
    const float green = -0.969256f * x + 1.875992f * y + 0.041556f * z;
    const float blue = 0.055648f * x - 0.204043f * y + 1.057311f * z;
    out[0] = ClampByte(LabGamma(blue) * 255.0f);
    out[1] = ClampByte(LabGamma(green) * 255.0f);
    out[2] = ClampByte(LabGamma(red) * 255.0f);
}

// Sample `index` of a decoded line. libtiff hands 16-, 24- and 32-bit samples over in host
// byte order; other widths stay packed, most significant bit first.
uint32_t SampleAt(const uint8_t* line, uint64_t index, unsigned bits) {
    switch (bits) {
    case 8: return line[index];
    case 16: { uint16_t v; std::memcpy(&v, line + index * 2, 2); return v; }
    case 24: { const uint8_t* p = line + index * 3; return p[0] | (p[1] << 8) | (uint32_t(p[2]) << 16); }
    case 32: { uint32_t v; std::memcpy(&v, line + index * 4, 4); return v; }
    default: break;
    }
    uint64_t bit = index * bits;
    uint32_t value = 0;
    for (unsigned k = 0; k < bits; ++k, ++bit)
        value = (value << 1) | ((line[bit >> 3] >> (7 - (bit & 7))) & 1);
    return value;
}

uint8_t LeadingZeros(uint8_t v) {
    uint8_t n = 0;
    for (uint8_t mask = 0x80; mask && !(v & mask); mask >>= 1) ++n;
    return n;
}

// Corrects the stored picture so that it displays as the Orientation tag says.
bool ApplyOrientation(LfImage& img, uint16_t orientation) {
    switch (orientation) {
    case ORIENTATION_TOPRIGHT: return img.Mirror();
    case ORIENTATION_BOTRIGHT: return img.Flip() && img.Mirror();
    case ORIENTATION_BOTLEFT: return img.Flip();
    case ORIENTATION_LEFTTOP: return img.RotateRight() && img.Mirror();
    case ORIENTATION_RIGHTTOP: return img.RotateRight();
    case ORIENTATION_RIGHTBOT: return img.RotateLeft() && img.Mirror();
    case ORIENTATION_LEFTBOT: return img.RotateLeft();
    default: return true;
    }
}

// ---------------------------------------------------------------- decoding

// One page being decoded. Each step returns nullptr or the message the decode fails with.
class PageReader {
public:
    PageReader(TIFF* tif, LfImage& img) : tif_(tif), img_(img) {}

    const char* Read(bool& headerOnly);

private:
    const char* ReadRgba();
    const char* ReadSamples();
    void BuildPalette();
    void ConvertLine(const uint8_t* line, uint32_t y, bool tiled);

    TIFF* tif_;
    LfImage& img_;
    uint32_t width_ = 0, height_ = 0, rowsPerStrip_ = 0;
    uint16_t spp_ = 1, bps_ = 1, photometric_ = 0, orientation_ = 1;
    bool widePalette_ = false;
    std::vector<LfRgbQuad> wide_;       // one entry per possible sample value
    std::vector<uint8_t> values_;       // one line reduced to 8-bit samples
    std::vector<uint8_t> rowShift_;     // 16-bit strips: bits each picture row was shifted by
    uint64_t lineSize_ = 0;
};

const char* PageReader::Read(bool& headerOnly) {
    const tdir_t pages = TIFFNumberOfDirectories(tif_);
    img_.info.numFrames = static_cast<int32_t>(std::min<tdir_t>(pages, INT32_MAX));
    const int32_t frame = img_.CurrentFrame();
    if (frame < 0 || static_cast<tdir_t>(frame) >= pages || !TIFFSetDirectory(tif_, static_cast<tdir_t>(frame)))
        return "Error: page not present in TIFF file";

    TIFFGetField(tif_, TIFFTAG_IMAGEWIDTH, &width_);
    TIFFGetField(tif_, TIFFTAG_IMAGELENGTH, &height_);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_SAMPLESPERPIXEL, &spp_);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_BITSPERSAMPLE, &bps_);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip_);
    TIFFGetField(tif_, TIFFTAG_PHOTOMETRIC, &photometric_);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_ORIENTATION, &orientation_);

    if (img_.Escape() == -1) {
        img_.head.width = static_cast<int32_t>(width_);
        img_.head.height = static_cast<int32_t>(height_);
        img_.info.type = LF_FORMAT_TIF;
        headerOnly = true;
        return "output dimensions returned";
    }

    uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tif_, TIFFTAG_RESOLUTIONUNIT, &unit);
    float value = 0;
    if (TIFFGetField(tif_, TIFFTAG_XRESOLUTION, &value)) img_.SetXDpi(DpiFromTiff(value, unit));
    if (TIFFGetField(tif_, TIFFTAG_YRESOLUTION, &value)) img_.SetYDpi(DpiFromTiff(value, unit));
    int32_t x = img_.XOffset(), y = img_.YOffset();
    if (TIFFGetField(tif_, TIFFTAG_XPOSITION, &value)) x = ClampToInt(value, INT32_MIN, INT32_MAX);
    if (TIFFGetField(tif_, TIFFTAG_YPOSITION, &value)) y = ClampToInt(value, INT32_MIN, INT32_MAX);
    img_.SetOffset(x, y);
    img_.info.transparentIndex = -1;
    if (rowsPerStrip_ == 0 || rowsPerStrip_ > height_) rowsPerStrip_ = height_;

    uint16_t planar = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(tif_, TIFFTAG_PLANARCONFIG, &planar);
    // Interleaved 8- and 16-bit RGB is read here too: libtiff's RGBA reader premultiplies
    // colours by an unassociated alpha, which would change every translucent pixel.
    const bool ownRgb = photometric_ == PHOTOMETRIC_RGB && planar == PLANARCONFIG_CONTIG && spp_ >= 3 &&
                        (bps_ == 8 || bps_ == 16);
    const bool rgba = !ownRgb && (photometric_ == PHOTOMETRIC_RGB || photometric_ == PHOTOMETRIC_SEPARATED ||
                      photometric_ == PHOTOMETRIC_YCBCR || photometric_ == PHOTOMETRIC_LOGL ||
                      photometric_ == PHOTOMETRIC_LOGLUV ||
                      // Our own reader handles interleaved samples only.
                      (planar == PLANARCONFIG_SEPARATE && spp_ > 1));
    if (!rgba && (bps_ == 0 || bps_ > 32)) return "Unsupported TIFF sample size";

    uint32_t bpp = 8;
    widePalette_ = !rgba && photometric_ == PHOTOMETRIC_PALETTE && bps_ > 8;
    if (rgba || widePalette_ || spp_ >= 3) bpp = 24;   // RGB and L*a*b* pictures
    else if (bps_ == 1 && (photometric_ == PHOTOMETRIC_MINISWHITE || photometric_ == PHOTOMETRIC_MINISBLACK ||
                           photometric_ == PHOTOMETRIC_PALETTE))
        bpp = 1;
    else if (bps_ == 4) bpp = 4;
    if (widePalette_ && bps_ > 24) return "Too big palette to handle";

    if (img_.Escape() != 0) return "Cancelled";
    if (!img_.Create(width_, height_, bpp, LF_FORMAT_TIF)) return "LfImageTIF can't create image";
    if ((spp_ == 4 || (spp_ == 2 && bps_ == 8)) && !img_.AlphaCreate()) return "LfImageTIF can't allocate memory";
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif_, TIFFTAG_COMPRESSION, &compression);
    img_.SetCodecOption(compression, LF_FORMAT_TIF);

    if (rgba) img_.Clear(0);   // a damaged file can leave raster rows unset
    const char* failure = rgba ? ReadRgba() : ReadSamples();
    if (failure) return failure;
    if (!ApplyOrientation(img_, orientation_)) return "LfImageTIF can't allocate memory";
    return nullptr;
}

const char* PageReader::ReadRgba() {
    char message[1024] = "";
    TIFFRGBAImage reader;
    if (!TIFFRGBAImageOK(tif_, message) || !TIFFRGBAImageBegin(&reader, tif_, 1, message))
        return "Corrupted TIFF file!";
    // Take the rows as stored, bottom row first; the orientation step turns them afterwards.
    reader.orientation = ORIENTATION_TOPLEFT;
    reader.req_orientation = ORIENTATION_BOTLEFT;
    const uint64_t pixels = uint64_t(width_) * height_;
    auto* raster = static_cast<uint32_t*>(_TIFFmalloc(static_cast<tmsize_t>(pixels * 4)));
    if (!raster) {
        TIFFRGBAImageEnd(&reader);
        return "No space for raster buffer";
    }
    const int ok = TIFFRGBAImageGet(&reader, raster, width_, height_);
    TIFFRGBAImageEnd(&reader);
    if (!ok) {
        _TIFFfree(raster);
        return "Corrupted TIFF file!";
    }
    uint8_t* alpha = img_.AlphaPlane();
    for (uint32_t y = 0; y < height_; ++y) {
        if (img_.Escape() != 0) {
            _TIFFfree(raster);
            return "Cancelled";
        }
        const uint32_t* src = raster + uint64_t(y) * width_;
        uint8_t* dst = img_.Row(y);
        for (uint32_t x = 0; x < width_; ++x) {
            dst[x * 3] = static_cast<uint8_t>(TIFFGetB(src[x]));
            dst[x * 3 + 1] = static_cast<uint8_t>(TIFFGetG(src[x]));
            dst[x * 3 + 2] = static_cast<uint8_t>(TIFFGetR(src[x]));
        }
        if (alpha)
            for (uint32_t x = 0; x < width_; ++x) alpha[uint64_t(y) * width_ + x] = static_cast<uint8_t>(TIFFGetA(src[x]));
    }
    _TIFFfree(raster);
    return nullptr;
}

void PageReader::BuildPalette() {
    const unsigned indexBits = std::min<unsigned>(bps_, 8);
    const uint32_t n = 1u << indexBits;
    const uint32_t entries = widePalette_ ? (1u << bps_) : n;
    std::vector<LfRgbQuad> table(std::max<uint32_t>(entries, 256), LfRgbQuad{0, 0, 0, 0});
    auto grey = [&](uint32_t i, uint8_t v) { table[i] = LfRgbQuad{v, v, v, 0}; };
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (bps_ == 1 && (photometric_ == PHOTOMETRIC_MINISBLACK || photometric_ == PHOTOMETRIC_MINISWHITE)) {
        const bool blackIsZero = photometric_ == PHOTOMETRIC_MINISBLACK;
        grey(0, blackIsZero ? 0 : 255);
        grey(1, blackIsZero ? 255 : 0);
    } else if (photometric_ == PHOTOMETRIC_PALETTE && TIFFGetField(tif_, TIFFTAG_COLORMAP, &red, &green, &blue)) {
        // libtiff holds 2^BitsPerSample entries per channel. Maps written with 8-bit values
        // exist in the wild; they are recognised by having no value above 255.
        bool sixteen = widePalette_;
        for (uint32_t i = 0; i < n && !sixteen; ++i) sixteen = red[i] > 255 || green[i] > 255 || blue[i] > 255;
        auto scale = [&](uint16_t v) {
            return static_cast<uint8_t>(sixteen ? uint32_t(v) * 255 / 65535 : v & 0xFF);
        };
        for (uint32_t i = 0; i < entries; ++i) table[i] = LfRgbQuad{scale(blue[i]), scale(green[i]), scale(red[i]), 0};
    } else {
        // Min-is-black ramp; min-is-white inverts it. Other one-sample models show as grey.
        const uint32_t step = 255 / (n - 1);
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t v = static_cast<uint8_t>(i * step);
            grey(i, photometric_ == PHOTOMETRIC_MINISWHITE ? 255 - v : v);
        }
    }
    if (widePalette_) wide_ = std::move(table);
    else
        for (uint32_t i = 0; i < n; ++i) img_.SetPaletteColor(static_cast<uint8_t>(i), table[i]);
}

// Puts one decoded line (picture row y, counted from the top) into the image.
void PageReader::ConvertLine(const uint8_t* line, uint32_t y, bool tiled) {
    const uint32_t stored = height_ - 1 - y;
    uint8_t* dst = img_.Row(stored);
    const uint32_t bpp = img_.BitCount();
    const uint64_t samples = uint64_t(width_) * spp_;

    if (widePalette_) {
        for (uint32_t x = 0; x < width_; ++x) {
            const LfRgbQuad& c = wide_[SampleAt(line, uint64_t(x) * spp_, bps_)];
            dst[x * 3] = c.blue;
            dst[x * 3 + 1] = c.green;
            dst[x * 3 + 2] = c.red;
        }
        return;
    }
    if (spp_ == 1 && bps_ == bpp) {
        std::memcpy(dst, line, static_cast<size_t>(lineSize_));
        return;
    }

    // Reduce every sample to 8 bits.
    const uint8_t* values = line;
    if (bps_ != 8) {
        uint8_t* out = values_.data();
        if (bps_ == 16 && !tiled && spp_ <= 2) {
            // Scale the row so that its brightest sample uses the top bit; a pass after the
            // last strip brings every row to the scale of the brightest row.
            uint8_t top = 0;
            for (uint64_t i = 0; i < samples; ++i) top = std::max(top, static_cast<uint8_t>(SampleAt(line, i, 16) >> 8));
            const uint8_t shift = LeadingZeros(top);
            rowShift_[y] = shift;
            for (uint64_t i = 0; i < samples; ++i) out[i] = static_cast<uint8_t>(SampleAt(line, i, 16) >> (8 - shift));
        } else {
            for (uint64_t i = 0; i < samples; ++i) {
                const uint32_t v = SampleAt(line, i, bps_);
                out[i] = static_cast<uint8_t>(bps_ < 8 ? v : v >> (bps_ - 8));
            }
        }
        values = out;
    }

    uint8_t* alpha = img_.AlphaPlane();
    uint8_t* alphaRow = alpha ? alpha + uint64_t(stored) * width_ : nullptr;
    if (spp_ == 1) {
        std::memcpy(dst, values, width_);   // an 8-bit picture
    } else if (spp_ == 2) {
        const uint8_t mask = bpp == 1 ? 1 : bpp == 4 ? 15 : 255;
        for (uint32_t x = 0; x < width_; ++x) {
            img_.SetPixelIndexUnchecked(static_cast<int32_t>(x), static_cast<int32_t>(stored), values[x * 2] & mask);
            if (alphaRow) alphaRow[x] = values[x * 2 + 1];
        }
    } else if (photometric_ == PHOTOMETRIC_RGB && spp_ == 3) {
        for (uint32_t x = 0; x < width_; ++x) {
            dst[x * 3] = values[x * 3 + 2];
            dst[x * 3 + 1] = values[x * 3 + 1];
            dst[x * 3 + 2] = values[x * 3];
        }
    } else {
        for (uint32_t x = 0; x < width_; ++x) {
            const uint8_t* p = values + uint64_t(x) * spp_;
            if (photometric_ == PHOTOMETRIC_RGB) {
                dst[x * 3] = p[2];
                dst[x * 3 + 1] = p[1];
                dst[x * 3 + 2] = p[0];
            } else {
                LabToBgr(p[0], p[1], p[2], dst + x * 3);
            }
            if (alphaRow && spp_ == 4) alphaRow[x] = p[3];
        }
    }
}

const char* PageReader::ReadSamples() {
    BuildPalette();
    lineSize_ = (uint64_t(spp_) * bps_ * width_ + 7) / 8;
    const bool tiled = TIFFIsTiled(tif_);
    uint32_t tileWidth = 0, tileLength = 0;
    uint64_t tileRowBytes = 0;
    std::vector<uint8_t> tile;
    if (tiled) {
        TIFFGetField(tif_, TIFFTAG_TILEWIDTH, &tileWidth);
        TIFFGetField(tif_, TIFFTAG_TILELENGTH, &tileLength);
        tileRowBytes = (uint64_t(tileWidth) * spp_ * bps_ + 7) / 8;
        const uint64_t tileSize = TIFFTileSize64(tif_);
        if (tileWidth == 0 || tileLength == 0 || TIFFTileRowSize64(tif_) != tileRowBytes ||
            tileRowBytes > tileSize / tileLength)
            return "Corrupted tiled TIFF file!";
        if (tileSize > kMaxStripBuffer) return "LfImageTIF can't allocate memory";
        tile.resize(static_cast<size_t>(tileSize));
        rowsPerStrip_ = tileLength;
    }
    if (rowsPerStrip_ > kMaxStripBuffer / lineSize_ || uint64_t(width_) * spp_ > kMaxStripBuffer)
        return "LfImageTIF can't allocate memory";
    std::vector<uint8_t> strip(static_cast<size_t>(lineSize_ * rowsPerStrip_));
    values_.resize(static_cast<size_t>(uint64_t(width_) * spp_));
    rowShift_.assign(height_, 8);

    for (uint32_t r = 0; r < height_; r += rowsPerStrip_) {
        if (img_.Escape() != 0) return "Cancelled";
        const uint32_t rows = std::min(rowsPerStrip_, height_ - r);
        if (tiled) {
            const uint64_t pixelBits = uint64_t(spp_) * bps_;
            for (uint32_t tx = 0; tx < width_; tx += tileWidth) {
                if (TIFFReadTile(tif_, tile.data(), tx, r, 0, 0) < 0) return "Corrupted tiled TIFF file!";
                const uint64_t offset = tx * pixelBits / 8;
                const uint64_t columns = std::min(tileWidth, width_ - tx);
                const uint64_t bytes = std::min((columns * pixelBits + 7) / 8, lineSize_ - offset);
                for (uint32_t k = 0; k < rows; ++k)
                    std::memcpy(strip.data() + k * lineSize_ + offset, tile.data() + k * tileRowBytes, bytes);
            }
        } else {
            const uint32_t index = TIFFComputeStrip(tif_, r, 0);
            const tmsize_t wanted = static_cast<tmsize_t>(lineSize_ * rows);
            const tmsize_t got = index < TIFFNumberOfStrips(tif_) ? TIFFReadEncodedStrip(tif_, index, strip.data(), wanted) : -1;
            if (got < 0) {
                // Keep what was read; the rows a damaged file does not deliver stay black.
                for (uint32_t y = r; y < height_; ++y) std::memset(img_.Row(height_ - 1 - y), 0, img_.EffectiveWidth());
                break;
            }
            if (got < wanted) std::memset(strip.data() + got, 0, static_cast<size_t>(wanted - got));
        }
        for (uint32_t k = 0; k < rows; ++k) ConvertLine(strip.data() + k * lineSize_, r + k, tiled);
    }

    if (bps_ == 16 && !tiled && spp_ <= 2 && !widePalette_ && height_ > 0) {
        const uint8_t least = *std::min_element(rowShift_.begin(), rowShift_.end());
        for (uint32_t y = 0; y < height_; ++y) {
            const uint8_t extra = rowShift_[y] - least;
            if (extra == 0) continue;
            uint8_t* row = img_.Row(height_ - 1 - y);
            for (uint32_t x = 0; x < width_; ++x) row[x] >>= extra;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------- writing

// The compression a page is written with: the option word, or by default CCITT group 4 for
// 1 bit, LZW up to 16-bit grey and JPEG for colour.
uint32_t PageCompression(const LfImage& img) {
    const uint32_t chosen = img.CodecOption(LF_FORMAT_TIF);
    if (chosen != 0) return chosen;
    if (img.BitCount() == 1) return COMPRESSION_CCITTFAX4;
    return img.BitCount() <= 16 ? COMPRESSION_LZW : COMPRESSION_JPEG;
}

// Why a picture cannot be written with its compression, or nullptr when it can. 16-bit grey
// goes only to the lossless schemes that take any sample size; JPEG in TIFF holds 8 bits.
const char* CompressionRefusal(const LfImage& img) {
    if (!img.IsGrey16()) return nullptr;
    switch (PageCompression(img)) {
    case COMPRESSION_NONE: case COMPRESSION_LZW: case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE: case COMPRESSION_PACKBITS:
        return nullptr;
    case COMPRESSION_JPEG: case COMPRESSION_OJPEG:
        return "TIFF JPEG compression cannot hold 16-bit grey pictures; use LZW, deflate or none";
    default:
        return "this TIFF compression cannot hold 16-bit grey pictures; use LZW, deflate or none";
    }
}

}  // namespace

// ---------------------------------------------------------------- opening

TIFF* LfTiffOpen(LfTiffClient* client, const char* mode) {
    static std::once_flag quiet;
    std::call_once(quiet, [] {
        // Messages that libtiff raises before a handle exists would go to stderr.
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
    });
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) return nullptr;
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxLibraryAllocation);
    TIFFOpenOptionsSetErrorHandlerExtR(options, OnError, client);
    TIFFOpenOptionsSetWarningHandlerExtR(options, OnWarning, client);
    TIFF* tif = TIFFClientOpenExt("TIFF IMAGE", mode, static_cast<thandle_t>(client), ReadProc, WriteProc,
                                  SeekProc, CloseProc, SizeProc, MapProc, UnmapProc, options);
    TIFFOpenOptionsFree(options);
    return tif;
}

// ---------------------------------------------------------------- LfImageTIF

LfImageTIF::~LfImageTIF() { CloseWriter(); }

void LfImageTIF::CloseWriter() {
    if (writer_) TIFFClose(writer_);
    writer_ = nullptr;
    multiPage_ = false;
    pageCount_ = 0;
}

bool LfImageTIF::Decode(LfFile* stream) {
    if (!stream) {
        SetLastError("null file handler");
        return false;
    }
    LfTiffClient client{stream, this};
    TIFF* tif = LfTiffOpen(&client, "r");
    if (!tif) {
        SetLastError("Error encountered while opening TIFF file");
        return false;
    }
    bool headerOnly = false;
    const char* failure = nullptr;
    try {
        PageReader reader(tif, *this);
        failure = reader.Read(headerOnly);
    } catch (const std::bad_alloc&) {
        failure = "LfImageTIF can't allocate memory";
    }
    TIFFClose(tif);
    if (failure && *failure) SetLastError(failure);
    if (headerOnly) return Escape() == -1 && Type() == LF_FORMAT_TIF;
    return failure == nullptr;
}

bool LfImageTIF::Encode(LfFile* stream, bool append) {
    const char* failure = nullptr;
    if (EncodeSafeCheck(stream)) {
        failure = "";   // the check left its message
    } else if (const char* refusal = CompressionRefusal(*this)) {
        failure = refusal;
    } else {
        if (!writer_) {
            writerClient_ = LfTiffClient{stream, this};
            writer_ = LfTiffOpen(&writerClient_, "w");
        }
        if (!writer_) {
            failure = "initialization fail";
        } else {
            if (append || pageCount_ > 0) multiPage_ = true;
            ++pageCount_;
            bool written = false;
            try {
                written = WriteBody(multiPage_, pageCount_, pageCount_);
            } catch (const std::bad_alloc&) {
            }
            if (!written) failure = "Error saving TIFF file";
            else if (append && !TIFFWriteDirectory(writer_)) failure = "Error saving TIFF directory";
        }
    }
    if (!failure && append) return true;
    if (!failure) {
        // TIFFClose reports nothing: write the directory first so that a failed write is a failure.
        const bool written = TIFFWriteDirectory(writer_) == 1;
        CloseWriter();
        if (!written || !writerClient_.stream->Flush()) failure = "Error saving TIFF file";
    }
    if (!failure) return true;
    CloseWriter();   // before the message: closing may still report library errors
    if (*failure) SetLastError(failure);
    return false;
}

bool LfImageTIF::WriteBody(bool multiPage, int32_t page, int32_t pageCount) {
    TIFF* tif = writer_;
    const uint32_t width = Width(), height = Height();
    const bool withAlpha = AlphaIsValid();
    uint32_t bpp = BitCount();
    uint16_t spp = bpp == 24 ? 3 : 1;
    if (bpp == 24 && withAlpha) {
        bpp = 32;
        spp = 4;
    }
    const uint16_t bps = static_cast<uint16_t>(bpp / spp);

    uint16_t photometric = PHOTOMETRIC_RGB;
    bool invert = false;
    if (bpp == 1) {
        // Value 0 must be the lighter colour: min-is-white.
        photometric = PHOTOMETRIC_MINISWHITE;
        invert = LuminanceDifference(0, 1) < 0;
    } else if (bpp == 4 || bpp == 8) {
        photometric = IsGrey() ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_PALETTE;
    } else if (IsGrey16()) {
        photometric = PHOTOMETRIC_MINISBLACK;   // one sample of 16 bits, host order as libtiff wants
    }
    if (bpp == 8 && withAlpha) spp = 2;

    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bps);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    uint32_t rowsPerStrip = TIFFDefaultStripSize(tif, static_cast<uint32_t>(-1));
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, static_cast<float>(XDpi()));
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, static_cast<float>(YDpi()));
    if (multiPage) {
        char name[32];
        std::snprintf(name, sizeof name, "Page %d", page);
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(tif, TIFFTAG_PAGENUMBER, static_cast<uint16_t>(page), static_cast<uint16_t>(pageCount));
        TIFFSetField(tif, TIFFTAG_PAGENAME, name);
    } else {
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
    }
    if (spp == 2 || spp == 4) {
        // Without this tag readers take the extra sample for a colour channel and the
        // transparency is lost.
        const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    if (photometric == PHOTOMETRIC_PALETTE) {
        uint16_t red[256] = {}, green[256] = {}, blue[256] = {};
        const LfRgbQuad* pal = Palette();
        for (uint32_t i = 0; pal && i < NumColors() && i < 256; ++i) {
            red[i] = static_cast<uint16_t>(pal[i].red * 257);
            green[i] = static_cast<uint16_t>(pal[i].green * 257);
            blue[i] = static_cast<uint16_t>(pal[i].blue * 257);
        }
        TIFFSetField(tif, TIFFTAG_COLORMAP, red, green, blue);
    }

    const uint32_t compression = PageCompression(*this);
    if (compression > 0xFFFF || !TIFFSetField(tif, TIFFTAG_COMPRESSION, compression)) return false;
    if (compression == COMPRESSION_LZW && bpp >= 8) TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    if (compression == COMPRESSION_JPEG) {
        TIFFSetField(tif, TIFFTAG_JPEGQUALITY, JpegQuality());
        rowsPerStrip = (rowsPerStrip + 7) / 8 * 8;
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    }

    std::vector<uint8_t> buffer(std::max<size_t>(EffectiveWidth(), size_t(width) * spp * bps / 8));
    const uint8_t* alpha = AlphaPlane();
    for (uint32_t row = 0; row < height; ++row) {
        const uint32_t stored = height - 1 - row;
        const uint8_t* src = Row(stored);
        const uint8_t* alphaRow = alpha ? alpha + uint64_t(stored) * width : nullptr;
        uint8_t* out = buffer.data();
        if (bpp == 32) {
            for (uint32_t x = 0; x < width; ++x) {
                out[x * 4] = src[x * 3 + 2];
                out[x * 4 + 1] = src[x * 3 + 1];
                out[x * 4 + 2] = src[x * 3];
                out[x * 4 + 3] = alphaRow[x];
            }
        } else if (bpp == 24) {
            for (uint32_t x = 0; x < width; ++x) {
                out[x * 3] = src[x * 3 + 2];
                out[x * 3 + 1] = src[x * 3 + 1];
                out[x * 3 + 2] = src[x * 3];
            }
        } else if (spp == 2) {
            for (uint32_t x = 0; x < width; ++x) {
                out[x * 2] = src[x];
                out[x * 2 + 1] = alphaRow[x];
            }
        } else {
            std::memcpy(out, src, EffectiveWidth());
            if (invert)
                for (uint32_t i = 0; i < EffectiveWidth(); ++i) out[i] = static_cast<uint8_t>(~out[i]);
        }
        if (TIFFWriteScanline(tif, out, row, 0) < 0) return false;
    }
    return true;
}
