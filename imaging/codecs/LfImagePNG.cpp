// PNG codec over libpng 1.6. libpng reports errors by jumping back to a recovery point; the
// point is set in a small function whose own locals never change after setjmp, and every
// value that must survive the jump lives in a PngCall owned by the caller. No object with a
// destructor lives in the frames a jump can skip, and nothing jumps out of a codec call.
#include "LfImagePNG.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <new>

#include "LfRunDeflate.h"

namespace {

// Pixels-per-inch values above this are nonsense and would overflow the pixels-per-metre field.
constexpr double kMaxDpi = 1000000.0;

// State of one Decode or Encode call. Plain data only: it must survive a longjmp.
struct PngCall {
    png_structp png;
    png_infop info;
    LfFile* stream;
    LfImage* image;
    bool keepLibraryMessages;   // decoding: library messages become the last-error text
    uint8_t* row;               // malloc'd row buffer
    bool headerOnly;            // the escape field asked for the dimensions only
    bool swapped;               // palette entries 0 and swapIndex exchanged for writing
    uint8_t swapIndex;
    png_color palette[256];
    png_byte transAlpha[256];
    // The run-length deflate path (both owned by the caller, freed after the call).
    LfRunDeflater* deflater;
    uint8_t* filtered;          // one row behind its filter-type byte
    size_t rowBytes;
    size_t pixelBytes;          // the distance of the Sub filter
};

void OnError(png_structp png, png_const_charp message) {
    auto* call = static_cast<PngCall*>(png_get_error_ptr(png));
    if (call && call->keepLibraryMessages && call->image) call->image->SetLastError(message);
    png_longjmp(png, 1);
}

// Warnings are not failures; libpng would print them otherwise.
void OnWarning(png_structp, png_const_charp) {}

void ReadData(png_structp png, png_bytep data, size_t length) {
    auto* call = static_cast<PngCall*>(png_get_io_ptr(png));
    if (!call || !call->stream || call->stream->Read(data, 1, length) != length)
        png_error(png, "Read Error");
}

void WriteData(png_structp png, png_bytep data, size_t length) {
    auto* call = static_cast<PngCall*>(png_get_io_ptr(png));
    if (!call || !call->stream || call->stream->Write(data, 1, length) != length)
        png_error(png, "Write Error");
}

void FlushData(png_structp png) {
    auto* call = static_cast<PngCall*>(png_get_io_ptr(png));
    if (!call || !call->stream || !call->stream->Flush()) png_error(png, "Flush Error");
}

int32_t DpiFromPhys(png_uint_32 value, int unit) {
    double dpi = value;
    if (unit == PNG_RESOLUTION_METER) dpi = std::floor(value * 254.0 / 10000.0 + 0.5);
    return static_cast<int32_t>(std::min(dpi, kMaxDpi));
}

// The colour a transparent index stands for: the palette entry for palette pictures, the
// stored transparent colour otherwise.
LfRgbQuad TransparentQuery(const LfImage& img) {
    if (img.IsIndexed() && img.TransparentIndex() >= 0 &&
        static_cast<uint32_t>(img.TransparentIndex()) < img.NumColors())
        return img.PaletteColor(static_cast<uint8_t>(img.TransparentIndex()));
    return img.TransparentColor();
}

// Everything between png_read_info and png_read_end. Returns false after setting the
// last-error text for the codec's own refusals; library errors jump out instead.
bool ReadPng(PngCall& c) {
    LfImage& img = *c.image;
    png_read_info(c.png, c.info);

    png_uint_32 width = 0, height = 0;
    int depth = 0, colorType = 0, interlace = 0;
    png_get_IHDR(c.png, c.info, &width, &height, &depth, &colorType, &interlace, nullptr, nullptr);

    if (img.Escape() == -1) {
        img.head.width = static_cast<int32_t>(width);
        img.head.height = static_cast<int32_t>(height);
        img.info.type = LF_FORMAT_PNG;
        c.headerOnly = true;
        return true;
    }

    int channels = 0;
    switch (colorType) {
    case PNG_COLOR_TYPE_GRAY:
    case PNG_COLOR_TYPE_PALETTE: channels = 1; break;
    case PNG_COLOR_TYPE_GRAY_ALPHA: channels = 2; break;
    case PNG_COLOR_TYPE_RGB: channels = 3; break;
    case PNG_COLOR_TYPE_RGB_ALPHA: channels = 4; break;
    default: img.SetLastError("unknown PNG color type"); return false;
    }
    const int pixelDepth = channels * depth;
    const uint32_t bpp = channels == 1 ? std::min(pixelDepth, 8) : channels == 2 ? 8 : 24;
    if (!img.Create(width, height, bpp, LF_FORMAT_PNG)) return false;

    png_uint_32 resX = 0, resY = 0;
    int unit = 0;
    if (png_get_pHYs(c.png, c.info, &resX, &resY, &unit)) {
        img.SetXDpi(DpiFromPhys(resX, unit));
        img.SetYDpi(DpiFromPhys(resY, unit));
    }

    png_colorp plte = nullptr;
    int numPalette = 0;
    if (png_get_PLTE(c.png, c.info, &plte, &numPalette) && numPalette > 0) {
        const uint32_t n = std::min<uint32_t>(numPalette, img.NumColors());
        for (uint32_t i = 0; i < n; ++i)
            img.SetPaletteColor(i, LfRgbQuad{plte[i].blue, plte[i].green, plte[i].red, 0});
        img.SetColorsImportant(numPalette);
    } else if (depth == 2) {
        for (uint8_t i = 0; i < 4; ++i) {
            const uint8_t v = static_cast<uint8_t>(i * 85);
            img.SetPaletteColor(i, LfRgbQuad{v, v, v, 0});
        }
    } else {
        img.SetGreyPalette();
    }

    png_bytep transAlpha = nullptr;
    int numTrans = 0;
    png_color_16p transColor = nullptr;
    if (png_get_tRNS(c.png, c.info, &transAlpha, &numTrans, &transColor)) {
        const int shift = depth == 16 ? 8 : 0;
        if (colorType == PNG_COLOR_TYPE_PALETTE && transAlpha && numTrans > 0) {
            if (numTrans == 1 && transAlpha[0] == 0) {
                img.SetTransparentIndex(0);
            } else {
                // Per-entry alpha. A single entry that is not fully transparent also lands
                // here: marking entry 0 transparent would lose its colour.
                LfRgbQuad* pal = img.Palette();
                const uint32_t n = img.NumColors();
                for (uint32_t i = 0; pal && i < n; ++i)
                    pal[i].alpha = i < static_cast<uint32_t>(numTrans) ? transAlpha[i] : 255;
                img.info.alphaPalette = true;
            }
        } else if (colorType == PNG_COLOR_TYPE_GRAY && transColor) {
            img.SetTransparentIndex(transColor->gray >> shift);
        } else if (colorType == PNG_COLOR_TYPE_RGB && transColor) {
            img.SetTransparentColor(LfRgbQuad{static_cast<uint8_t>(transColor->blue >> shift),
                                              static_cast<uint8_t>(transColor->green >> shift),
                                              static_cast<uint8_t>(transColor->red >> shift), 0});
            img.SetTransparentIndex(0);
        }
    }

    const bool withAlpha = channels % 2 == 0;
    if (withAlpha && !img.AlphaCreate()) {
        img.SetLastError("LfImagePNG can't allocate memory");
        return false;
    }
    if (colorType & PNG_COLOR_MASK_COLOR) png_set_bgr(c.png);
    if (img.Escape() != 0) {
        img.SetLastError("Cancelled");
        return false;
    }

    const int passes = png_set_interlace_handling(c.png);
    png_read_update_info(c.png, c.info);
    const size_t rowBytes = png_get_rowbytes(c.png, c.info);
    c.row = static_cast<uint8_t*>(std::calloc(rowBytes + 8, 1));
    if (!c.row) {
        img.SetLastError("LfImagePNG can't allocate memory");
        return false;
    }
    img.SetCodecOption(passes > 1 ? uint32_t{LF_PNG_INTERLACED} : 0u, LF_FORMAT_PNG);

    const uint32_t step = depth / 8;          // byte distance between samples of a pixel
    const uint32_t q = pixelDepth / 8;        // bytes per pixel
    const uint32_t samples = width * channels;
    const size_t copyBytes = std::min<size_t>(rowBytes, img.EffectiveWidth());
    uint8_t* alpha = img.AlphaPlane();
    uint8_t* buf = c.row;

    for (int pass = 0; pass < passes; ++pass) {
        const bool rebuild = passes > 1 && pass > 0;   // earlier passes live in the image
        for (uint32_t y = 0; y < height; ++y) {
            if (img.Escape() != 0) {
                img.SetLastError("Cancelled");
                return false;
            }
            const uint32_t r = height - 1 - y;
            uint8_t* dst = img.Row(r);
            uint8_t* alphaRow = alpha ? alpha + static_cast<size_t>(r) * width : nullptr;
            if (withAlpha) {
                const uint32_t colours = channels - 1;
                if (rebuild) {
                    for (uint32_t x = 0; x < width; ++x) {
                        for (uint32_t k = 0; k < colours; ++k) buf[x * q + k * step] = dst[x * colours + k];
                        buf[x * q + colours * step] = alphaRow[x];
                    }
                }
                png_read_row(c.png, buf, nullptr);
                for (uint32_t x = 0; x < width; ++x) {
                    for (uint32_t k = 0; k < colours; ++k) dst[x * colours + k] = buf[x * q + k * step];
                    alphaRow[x] = buf[x * q + colours * step];
                }
                continue;
            }
            if (rebuild) {
                std::memcpy(buf, dst, copyBytes);
                if (depth > 8)
                    for (uint32_t k = samples; k-- > 0;) buf[k * step] = buf[k];
            }
            png_read_row(c.png, buf, nullptr);
            if (depth > 8)
                for (uint32_t k = 0; k < samples; ++k) buf[k] = buf[k * step];
            std::memcpy(dst, buf, copyBytes);
            if (depth == 2 && pass == passes - 1) {
                // Two-bit pixels become nibbles, from the right end so nothing unread is overwritten.
                for (uint32_t n = width; n-- > 0;) {
                    const uint8_t v = (dst[n / 4] >> (6 - 2 * (n % 4))) & 3;
                    uint8_t& out = dst[n / 2];
                    out = (n % 2 == 0) ? static_cast<uint8_t>((out & 0x0F) | (v << 4))
                                       : static_cast<uint8_t>((out & 0xF0) | v);
                }
            }
        }
    }
    png_read_end(c.png, nullptr);
    return true;
}

bool RunRead(PngCall* call) {
    if (setjmp(png_jmpbuf(call->png))) return false;
    return ReadPng(*call);
}

// The deflate settings of the option word, shared by both writers.
void SetDeflate(PngCall& c, uint32_t options) {
    if (options & LF_PNG_FAST_DEFLATE) {
        // Pictures with large flat areas (medical images) pack about as well this way at a
        // third of the default's time.
        png_set_compression_level(c.png, 1);
        png_set_compression_strategy(c.png, Z_RLE);
        png_set_filter(c.png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    }
}

// The fast option packs the rows with our run-length deflate; interlaced pictures keep
// libpng, which deals the rows into the seven Adam7 passes.
bool UsesRunDeflate(uint32_t options) {
    return (options & LF_PNG_FAST_DEFLATE) && !(options & LF_PNG_INTERLACED);
}

void WriteIdat(void* context, const uint8_t* bytes, size_t size) {
    auto* c = static_cast<PngCall*>(context);
    png_write_chunk(c->png, reinterpret_cast<png_const_bytep>("IDAT"), bytes, size);
}

// Rows then go to PutRow's filter and our deflate instead of libpng.
void BeginRunDeflate(PngCall& c, size_t rowBytes, size_t pixelBytes) {
    c.rowBytes = rowBytes;
    c.pixelBytes = std::min(pixelBytes, rowBytes);
    c.filtered = static_cast<uint8_t*>(std::malloc(rowBytes + 1));
    c.deflater = new (std::nothrow) LfRunDeflater(&WriteIdat, &c);
    if (!c.filtered || !c.deflater || !c.deflater->Ready()) png_error(c.png, "Out of memory");
}

// One row, as libpng takes it: to libpng, or Sub-filtered (each byte less the byte one
// pixel to its left) behind its filter-type byte.
void PutRow(PngCall& c, const uint8_t* row) {
    if (!c.deflater) {
        png_write_row(c.png, row);
        return;
    }
    uint8_t* out = c.filtered;
    const size_t step = c.pixelBytes;
    out[0] = PNG_FILTER_VALUE_SUB;
    std::memcpy(out + 1, row, step);
    for (size_t x = step; x < c.rowBytes; ++x) out[1 + x] = static_cast<uint8_t>(row[x] - row[x - step]);
    c.deflater->Put(out, c.rowBytes + 1);
}

// Ends the picture data: libpng's own end, or the last IDAT and IEND.
void EndRows(PngCall& c) {
    if (!c.deflater) {
        png_write_end(c.png, c.info);
        return;
    }
    c.deflater->Finish();
    png_write_chunk(c.png, reinterpret_cast<png_const_bytep>("IEND"), nullptr, 0);
}

// A 16-bit grey picture as grey colour type at bit depth 16. PNG stores samples big-endian:
// libpng swaps each row's copy on a little-endian host, so the picture itself is not touched.
void WriteGrey16Png(PngCall& c) {
    LfImage& img = *c.image;
    const uint32_t options = img.CodecOption(LF_FORMAT_PNG);
    const int interlace = (options & LF_PNG_INTERLACED) ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE;
    png_set_pHYs(c.png, c.info, static_cast<png_uint_32>(img.head.xPelsPerMeter),
                 static_cast<png_uint_32>(img.head.yPelsPerMeter), PNG_RESOLUTION_METER);
    png_set_IHDR(c.png, c.info, img.Width(), img.Height(), 16, PNG_COLOR_TYPE_GRAY, interlace,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    SetDeflate(c, options);
    png_write_info(c.png, c.info);
    if (UsesRunDeflate(options)) {
        // PNG stores samples big-endian.
        const size_t rowBytes = static_cast<size_t>(img.Width()) * 2;
        c.row = static_cast<uint8_t*>(std::malloc(rowBytes));
        if (!c.row) png_error(c.png, "Out of memory");
        BeginRunDeflate(c, rowBytes, 2);
        for (uint32_t y = img.Height(); y-- > 0;) {
            std::memcpy(c.row, img.Row(y), rowBytes);
            if (img.info.littleEndianHost)
                for (size_t k = 0; k < rowBytes; k += 2) std::swap(c.row[k], c.row[k + 1]);
            PutRow(c, c.row);
        }
        EndRows(c);
        return;
    }
    if (img.info.littleEndianHost) png_set_swap(c.png);
    const int passes = png_set_interlace_handling(c.png);
    for (int pass = 0; pass < passes; ++pass)
        for (uint32_t y = img.Height(); y-- > 0;) png_write_row(c.png, img.Row(y));
    png_write_end(c.png, c.info);
}

// Everything between png_set_write_fn and png_write_end.
void WritePng(PngCall& c) {
    LfImage& img = *c.image;
    if (img.IsGrey16()) {
        WriteGrey16Png(c);
        return;
    }
    const uint32_t width = img.Width(), height = img.Height(), bpp = img.BitCount();
    int channels = bpp > 8 ? 3 : 1;
    int depth = static_cast<int>(bpp) / channels;
    const bool hasPalette = img.IsIndexed();
    const bool grey = hasPalette && img.IsGrey();
    const bool withAlpha = img.AlphaIsValid();
    int colorType = hasPalette ? (grey ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_PALETTE) : PNG_COLOR_TYPE_RGB;
    if (withAlpha) {
        // A colour palette with an alpha plane has no PNG colour type: write full RGBA.
        colorType = colorType == PNG_COLOR_TYPE_PALETTE ? PNG_COLOR_TYPE_RGB_ALPHA : colorType | PNG_COLOR_MASK_ALPHA;
        channels = colorType == PNG_COLOR_TYPE_RGB_ALPHA ? 4 : 2;
        depth = 8;
    }
    const bool paletteOut = colorType == PNG_COLOR_TYPE_PALETTE;
    const uint32_t options = img.CodecOption(LF_FORMAT_PNG);
    const int interlace = (options & LF_PNG_INTERLACED) ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE;
    const int32_t ti = img.TransparentIndex();
    const bool transparent = ti >= 0 && (!hasPalette || static_cast<uint32_t>(ti) < img.NumColors());
    const LfRgbQuad tc = TransparentQuery(img);

    png_color_16 background{};
    background.red = background.green = background.blue = 255;
    if (transparent) {
        background.red = tc.red;
        background.green = tc.green;
        background.blue = tc.blue;
    }
    png_set_bKGD(c.png, c.info, &background);
    png_set_pHYs(c.png, c.info, static_cast<png_uint_32>(img.head.xPelsPerMeter),
                 static_cast<png_uint_32>(img.head.yPelsPerMeter), PNG_RESOLUTION_METER);
    png_set_IHDR(c.png, c.info, width, height, depth, colorType, interlace,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);

    int numTrans = 0;
    png_color_16 transColor{};
    if (transparent && !withAlpha) {
        transColor.index = static_cast<png_byte>(ti & 0xFF);
        transColor.red = tc.red;
        transColor.green = tc.green;
        transColor.blue = tc.blue;
        transColor.gray = static_cast<png_uint_16>(ti);
        c.transAlpha[0] = 0;
        numTrans = 1;
        if (paletteOut && ti != 0) {
            // Viewers that honour only one transparent entry expect it first.
            img.SwapIndex(0, static_cast<uint8_t>(ti));
            c.swapped = true;
            c.swapIndex = static_cast<uint8_t>(ti);
        }
    }
    if (paletteOut) {
        uint32_t n = img.ColorsImportant() ? img.ColorsImportant() : img.NumColors();
        n = std::min({n, img.NumColors(), 1u << depth});
        const LfRgbQuad* pal = img.Palette();
        for (uint32_t i = 0; i < n; ++i) c.palette[i] = png_color{pal[i].red, pal[i].green, pal[i].blue};
        if (img.info.alphaPalette) {
            for (uint32_t i = 0; i < n; ++i) c.transAlpha[i] = pal[i].alpha;
            numTrans = static_cast<int>(n);
        }
        png_set_PLTE(c.png, c.info, c.palette, static_cast<int>(n));
    }
    if (numTrans > 0) png_set_tRNS(c.png, c.info, c.transAlpha, numTrans, &transColor);

    const size_t rowSize = std::max<size_t>(img.EffectiveWidth(), static_cast<size_t>(depth / 8) * channels * width);
    c.row = static_cast<uint8_t*>(std::calloc(rowSize, 1));
    if (!c.row) png_error(c.png, "Out of memory");
    SetDeflate(c, options);
    png_write_info(c.png, c.info);
    const int passes = png_set_interlace_handling(c.png);
    if (UsesRunDeflate(options)) {
        const size_t bits = static_cast<size_t>(width) * channels * depth;
        BeginRunDeflate(c, (bits + 7) / 8, std::max(channels * depth / 8, 1));
    }

    const size_t copyBytes = std::min<size_t>(rowSize, img.EffectiveWidth());
    const uint8_t* alpha = img.AlphaPlane();
    uint8_t* buf = c.row;
    for (int pass = 0; pass < passes; ++pass) {
        for (uint32_t y = height; y-- > 0;) {
            const uint8_t* src = img.Row(y);
            if (withAlpha) {
                const uint8_t* alphaRow = alpha + static_cast<size_t>(y) * width;
                for (uint32_t x = 0; x < width; ++x) {
                    uint8_t* out = buf + static_cast<size_t>(x) * channels;
                    uint8_t a = alphaRow[x];
                    if (bpp == 24) {
                        const uint8_t* p = src + static_cast<size_t>(x) * 3;
                        if (transparent && tc.alpha == 0 && p[0] == tc.blue && p[1] == tc.green && p[2] == tc.red) a = 0;
                        out[0] = p[2];
                        out[1] = p[1];
                        out[2] = p[0];
                        out[3] = a;
                        continue;
                    }
                    const uint8_t index = img.PixelIndexUnchecked(x, y);
                    const LfRgbQuad colour = img.PaletteColor(index);
                    if (grey) {
                        out[0] = colour.blue;
                        out[1] = a;
                    } else {
                        if (transparent && index == ti) a = 0;
                        out[0] = colour.red;
                        out[1] = colour.green;
                        out[2] = colour.blue;
                        out[3] = a;
                    }
                }
            } else {
                std::memcpy(buf, src, copyBytes);
                if (colorType == PNG_COLOR_TYPE_RGB)
                    for (uint32_t x = 0; x < width; ++x) std::swap(buf[x * 3], buf[x * 3 + 2]);
            }
            PutRow(c, buf);
        }
    }
    EndRows(c);
}

bool RunWrite(PngCall* call) {
    if (setjmp(png_jmpbuf(call->png))) return false;
    WritePng(*call);
    return true;
}

}  // namespace

bool LfImagePNG::Decode(LfFile* stream) {
    if (!stream) {
        SetLastError("null file handler");
        return false;
    }
    PngCall call{};
    call.stream = stream;
    call.image = this;
    call.keepLibraryMessages = true;
    call.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &call, OnError, OnWarning);
    if (!call.png) {
        SetLastError("Failed to create PNG structure");
        return false;
    }
    call.info = png_create_info_struct(call.png);
    if (!call.info) {
        png_destroy_read_struct(&call.png, nullptr, nullptr);
        SetLastError("Failed to initialize PNG info structure");
        return false;
    }
    png_set_read_fn(call.png, &call, ReadData);
    const bool ok = RunRead(&call);
    std::free(call.row);
    png_destroy_read_struct(&call.png, &call.info, nullptr);
    if (call.headerOnly) return Escape() == -1 && Type() == LF_FORMAT_PNG;
    return ok;
}

bool LfImagePNG::Encode(LfFile* stream) {
    if (EncodeSafeCheck(stream)) return false;
    PngCall call{};
    call.stream = stream;
    call.image = this;
    call.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &call, OnError, OnWarning);
    if (!call.png) {
        SetLastError("Failed to create PNG structure");
        return false;
    }
    call.info = png_create_info_struct(call.png);
    if (!call.info) {
        png_destroy_write_struct(&call.png, nullptr);
        SetLastError("Failed to initialize PNG info structure");
        return false;
    }
    png_set_write_fn(call.png, &call, WriteData, FlushData);
    bool ok = RunWrite(&call);
    std::free(call.row);
    std::free(call.filtered);
    delete call.deflater;
    // The encoder works on the caller's pixels: undo the palette swap on every path.
    if (call.swapped) SwapIndex(0, call.swapIndex);
    png_destroy_write_struct(&call.png, &call.info);
    if (ok && !stream->Flush()) ok = false;
    if (!ok) SetLastError("Error saving PNG file");
    return ok;
}
