// The image object: creation, lifetime, pixel access, palette, geometry and the alpha plane.
#include "LfImage.h"
#include "LfFormatRegistry.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr uint32_t kHeaderSize = sizeof(LfBitmapInfoHeader);
constexpr int32_t kDefaultDpi = 96;
constexpr int32_t kRotateBlock = 64;

// Pixels per metre for a resolution in dots per inch, rounded to nearest.
int32_t PelsPerMeter(int32_t dpi) {
    double ppm = std::floor(static_cast<double>(dpi) * 10000.0 / 254.0 + 0.5);
    return static_cast<int32_t>(std::min(ppm, static_cast<double>(std::numeric_limits<int32_t>::max())));
}

uint32_t RowBytes(uint32_t width, uint32_t bitCount) {
    return static_cast<uint32_t>(((static_cast<uint64_t>(width) * bitCount + 31) / 32) * 4);
}

// Palette entries that really exist in the block: creation sizes the palette by the bit
// count, so a colour count altered later can never reach past it.
uint32_t PaletteEntries(const LfBitmapInfoHeader& head) {
    uint32_t allocated = 0;
    if (head.bitCount == 1) allocated = 2;
    else if (head.bitCount == 4) allocated = 16;
    else if (head.bitCount == 8) allocated = 256;
    return std::min(head.colorsUsed, allocated);
}

uint8_t* DuplicatePlane(const uint8_t* plane, size_t size) {
    if (!plane) return nullptr;
    auto* copy = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (copy) std::memcpy(copy, plane, size);
    return copy;
}

// Reverses the rows of a width x height byte plane in place.
void FlipPlane(uint8_t* plane, uint32_t width, uint32_t height) {
    for (uint32_t k = 0; k < height / 2; ++k) {
        uint8_t* a = plane + static_cast<size_t>(k) * width;
        uint8_t* b = plane + static_cast<size_t>(height - 1 - k) * width;
        std::swap_ranges(a, a + width, b);
    }
}

// Creates a picture of the given size in the pixel layout of `like`: 16-bit grey stays 16-bit
// grey, since Create would widen a bit count of 16 to 24.
uint8_t* CreateShapedLike(LfImage& image, const LfImage& like, uint32_t width, uint32_t height) {
    if (like.IsGrey16()) return image.CreateGrey16(width, height, like.Type());
    return image.Create(width, height, like.BitCount(), like.Type());
}

uint16_t Grey16Sample(const uint8_t* row, uint32_t x) {
    uint16_t sample;
    std::memcpy(&sample, row + static_cast<size_t>(x) * 2, 2);
    return sample;
}

void SetGrey16Sample(uint8_t* row, uint32_t x, uint16_t sample) {
    std::memcpy(row + static_cast<size_t>(x) * 2, &sample, 2);
}

void MirrorPlane(uint8_t* plane, uint32_t width, uint32_t height) {
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = plane + static_cast<size_t>(y) * width;
        std::reverse(row, row + width);
    }
}

}  // namespace

// ---------------------------------------------------------------- creation and lifetime

LfImage::LfImage(uint32_t type) { Startup(type); }

LfImage::LfImage(const LfImage& source, bool copyPixels, bool copySelection, bool copyAlpha) {
    Startup(0);
    Copy(source, copyPixels, copySelection, copyAlpha);
}

LfImage::~LfImage() {
    Destroy();
    DestroyFrames();
}

void LfImage::Startup(uint32_t type) {
    block_ = nullptr;
    selection_ = nullptr;
    alpha_ = nullptr;
    layers_ = nullptr;
    frames_ = nullptr;
    frameCount_ = 0;
    std::memset(&head, 0, sizeof(head));
    std::memset(&info, 0, sizeof(info));
    info.type = type;
    info.quality = 90.0f;
    info.alphaMax = 255;
    info.transparentIndex = -1;
    info.xDpi = kDefaultDpi;
    info.yDpi = kDefaultDpi;
    head.xPelsPerMeter = PelsPerMeter(kDefaultDpi);
    head.yPelsPerMeter = PelsPerMeter(kDefaultDpi);
    info.littleEndianHost = std::endian::native == std::endian::little;
}

uint8_t* LfImage::Create(uint32_t width, uint32_t height, uint32_t bitCount, uint32_t type) {
    if (bitCount <= 1) bitCount = 1;
    else if (bitCount <= 4) bitCount = 4;
    else if (bitCount <= 8) bitCount = 8;
    else bitCount = 24;

    uint32_t colors = 0;
    if (bitCount == 1) colors = 2;
    else if (bitCount == 4) colors = 16;
    else if (bitCount == 8) colors = 256;
    return CreateBlock(width, height, bitCount, colors, type);
}

uint8_t* LfImage::CreateGrey16(uint32_t width, uint32_t height, uint32_t type) {
    return CreateBlock(width, height, 16, 0, type);
}

uint8_t* LfImage::CreateBlock(uint32_t width, uint32_t height, uint32_t bitCount, uint32_t colors,
                              uint32_t type) {
    if (!Destroy()) return nullptr;

    if (width == 0 || height == 0) {
        SetLastError("LfImage::Create : width and height must be greater than zero");
        return nullptr;
    }

    // At most 256 MiB of pixels. Products are taken in 64 bits so that a width x height that
    // wraps around 32 bits cannot slip through. The limit holds for the rows as stored too:
    // padding every row of a narrow, tall picture to 4 bytes would otherwise let a 1-bit
    // picture of 256 MiB of pixels take a block of several GiB.
    constexpr uint64_t kMaxPixelBytes = 268435456;
    const uint64_t totalBits = static_cast<uint64_t>(width) * height * bitCount;
    const uint64_t storedBytes = static_cast<uint64_t>(RowBytes(width, bitCount)) * height;
    // The header keeps width and height signed.
    constexpr uint32_t kMaxSide = static_cast<uint32_t>(std::numeric_limits<int32_t>::max());
    if ((totalBits & ~static_cast<uint64_t>(7)) > kMaxPixelBytes * 8 || storedBytes > kMaxPixelBytes ||
        width > kMaxSide || height > kMaxSide) {
        SetLastError("LFIMAGE_MAX_MEMORY exceeded");
        return nullptr;
    }

    info.effectiveWidth = RowBytes(width, bitCount);
    info.type = type;
    head.size = kHeaderSize;
    head.width = static_cast<int32_t>(width);
    head.height = static_cast<int32_t>(height);
    head.planes = 1;
    head.bitCount = static_cast<uint16_t>(bitCount);
    head.compression = 0;
    head.imageSize = info.effectiveWidth * height;
    head.xPelsPerMeter = PelsPerMeter(info.xDpi > 0 ? info.xDpi : kDefaultDpi);
    head.yPelsPerMeter = PelsPerMeter(info.yDpi > 0 ? info.yDpi : kDefaultDpi);
    head.colorsUsed = colors;
    head.colorsImportant = 0;

    // Zeroed so that a decoder stopping early never exposes old heap contents in a file.
    block_ = static_cast<uint8_t*>(std::calloc(1, BlockSize()));
    if (!block_) {
        SetLastError("LfImage::Create can't allocate memory");
        return nullptr;
    }

    SelectionDelete();
    AlphaDelete();
    info.cacheValid = false;
    std::memcpy(block_, &head, kHeaderSize);
    info.pixels = block_ + kHeaderSize + PaletteSize();
    return block_;
}

bool LfImage::Destroy() {
    if (info.ghostOwner) return false;
    if (layers_) {
        for (int32_t i = 0; i < info.numLayers; ++i) delete layers_[i];
        delete[] layers_;
        layers_ = nullptr;
    }
    info.numLayers = 0;
    std::free(selection_);
    selection_ = nullptr;
    std::free(alpha_);
    alpha_ = nullptr;
    std::free(block_);
    block_ = nullptr;
    info.pixels = nullptr;
    return true;
}

bool LfImage::DestroyFrames() {
    if (info.ghostOwner) return false;
    if (frames_) {
        for (int32_t i = 0; i < frameCount_; ++i) delete frames_[i];
        delete[] frames_;
        frames_ = nullptr;
    }
    frameCount_ = 0;
    info.numFrames = 0;
    return true;
}

void LfImage::Copy(const LfImage& source, bool copyPixels, bool copySelection, bool copyAlpha) {
    if (&source == this) return;
    if (source.info.ghostOwner) {
        Ghost(&source);
        return;
    }
    // A ghost owns nothing it could replace; the old picture goes before the info record that
    // describes it (its layer count) is overwritten.
    if (!Destroy()) return;

    info = source.info;
    info.ghostOwner = nullptr;
    info.pixels = nullptr;
    if (!CreateShapedLike(*this, source, source.Width(), source.Height())) return;
    head.xPelsPerMeter = source.head.xPelsPerMeter;
    head.yPelsPerMeter = source.head.yPelsPerMeter;
    head.colorsImportant = std::min(source.head.colorsImportant, head.colorsUsed);
    std::memcpy(block_, &head, kHeaderSize);

    // Palette and rows are copied apart so that a source whose header was altered by a codec
    // can never make the copy run past either block.
    if (source.Palette() && Palette())
        std::memcpy(Palette(), source.Palette(), std::min(PaletteEntries(head), PaletteEntries(source.head)) * 4);
    if (copyPixels && source.block_) {
        const uint32_t rowBytes = std::min(info.effectiveWidth, source.info.effectiveWidth);
        for (uint32_t y = 0; y < Height(); ++y) std::memcpy(Row(y), source.Row(y), rowBytes);
    }
    const size_t plane = static_cast<size_t>(Width()) * Height();
    if (copySelection && source.selection_) {
        selection_ = DuplicatePlane(source.selection_, plane);
        info.selectionBox = source.info.selectionBox;
    }
    if (copyAlpha && source.alpha_) alpha_ = DuplicatePlane(source.alpha_, plane);
}

void LfImage::Ghost(const LfImage* source) {
    if (!source || source == this) return;
    if (!info.ghostOwner) {
        Destroy();
        DestroyFrames();
    }
    head = source->head;
    info = source->info;
    block_ = source->block_;
    selection_ = source->selection_;
    alpha_ = source->alpha_;
    layers_ = source->layers_;
    frames_ = source->frames_;
    frameCount_ = source->frameCount_;
    info.ghostOwner = source;
}

bool LfImage::Transfer(LfImage& source, bool takeFrames) {
    if (&source == this) return true;
    // A ghost's block belongs to another image: it cannot be given away.
    if (source.info.ghostOwner) return false;
    if (!Destroy()) return false;

    head = source.head;
    info = source.info;
    block_ = source.block_;
    selection_ = source.selection_;
    alpha_ = source.alpha_;
    layers_ = source.layers_;
    if (takeFrames) {
        DestroyFrames();
        frames_ = source.frames_;
        frameCount_ = source.frameCount_;
        info.numFrames = source.info.numFrames;
        source.frames_ = nullptr;
        source.frameCount_ = 0;
    }

    std::memset(&source.head, 0, sizeof(source.head));
    std::memset(&source.info, 0, sizeof(source.info));
    source.block_ = nullptr;
    source.selection_ = nullptr;
    source.alpha_ = nullptr;
    source.layers_ = nullptr;
    return true;
}

void LfImage::CopyInfo(const LfImage& source) {
    if (block_) return;
    const LfImage* owner = info.ghostOwner;
    info = source.info;
    // Only the settings travel; what describes the source's block stays with the source.
    info.ghostOwner = owner;
    info.pixels = nullptr;
    info.effectiveWidth = 0;
    info.cacheValid = false;
}

// ---------------------------------------------------------------- queries and settings

bool LfImage::SetType(uint32_t type) {
    if (type >= 1 && type <= 19 && type != LF_FORMAT_NONE) {
        info.type = type;
        return true;
    }
    info.type = 0;
    return false;
}

void LfImage::SetLastError(const char* text) {
    if (!text) text = "";
    if (text == info.lastError) return;
    const size_t length = strnlen(text, LF_ERROR_SIZE - 1);
    std::memmove(info.lastError, text, length);
    info.lastError[length] = '\0';
}

void LfImage::SetTransparentIndex(int32_t index) {
    if (index < static_cast<int64_t>(head.colorsUsed)) info.transparentIndex = index;
    else info.transparentIndex = 0;
}

void LfImage::SetTransparentColor(LfRgbQuad color) {
    color.alpha = 0;
    info.transparentColor = color;
}

void LfImage::SetColorsImportant(uint32_t count) {
    if (count == 0 || count > 256) {
        head.colorsImportant = 0;
    } else {
        switch (head.bitCount) {
        case 1: head.colorsImportant = std::min<uint32_t>(count, 2); break;
        case 4: head.colorsImportant = std::min<uint32_t>(count, 16); break;
        case 8: head.colorsImportant = count; break;
        default: return;
        }
    }
    if (block_) reinterpret_cast<LfBitmapInfoHeader*>(block_)->colorsImportant = head.colorsImportant;
    info.cacheValid = false;
}

int LfImage::FormatSlot(uint32_t format) {
    const LfFormatInfo* row = LfFindFormat(format);
    return row ? row->slot : 0;
}

uint32_t LfImage::CodecOption(uint32_t format) const {
    int slot = FormatSlot(format);
    if (slot == 0) slot = FormatSlot(info.type);
    return info.codecOptions[slot];
}

void LfImage::SetCodecOption(uint32_t option, uint32_t format) {
    int slot = FormatSlot(format);
    if (slot == 0) slot = FormatSlot(info.type);
    info.codecOptions[slot] = option;
}

void LfImage::SetXDpi(int32_t dpi) {
    if (dpi <= 0) dpi = kDefaultDpi;
    info.xDpi = dpi;
    head.xPelsPerMeter = PelsPerMeter(dpi);
    if (block_) reinterpret_cast<LfBitmapInfoHeader*>(block_)->xPelsPerMeter = head.xPelsPerMeter;
}

void LfImage::SetYDpi(int32_t dpi) {
    if (dpi <= 0) dpi = kDefaultDpi;
    info.yDpi = dpi;
    head.yPelsPerMeter = PelsPerMeter(dpi);
    if (block_) reinterpret_cast<LfBitmapInfoHeader*>(block_)->yPelsPerMeter = head.yPelsPerMeter;
}

// ---------------------------------------------------------------- rows and pixels

uint32_t LfImage::BlockSize() const { return kHeaderSize + PaletteSize() + head.imageSize; }

uint8_t* LfImage::Row(uint32_t row) const {
    if (!block_ || !info.pixels || row >= Height()) return nullptr;
    return info.pixels + static_cast<size_t>(row) * info.effectiveWidth;
}

bool LfImage::IsInside(int32_t x, int32_t y) const {
    return x >= 0 && y >= 0 && x < head.width && y < head.height;
}

void LfImage::Clear(uint8_t value) {
    if (!block_ || !info.pixels) return;
    if (head.bitCount == 1 && value) value = 255;
    else if (head.bitCount == 4) value = static_cast<uint8_t>((value % 16) * 17);
    std::memset(info.pixels, value, head.imageSize);
}

uint8_t LfImage::PixelIndex(int32_t x, int32_t y) const {
    if (!block_ || !info.pixels || PaletteEntries(head) == 0) return 0;
    if (!IsInside(x, y)) {
        if (info.transparentIndex >= 0) return static_cast<uint8_t>(info.transparentIndex);
        return *info.pixels;
    }
    return PixelIndexUnchecked(x, y);
}

uint8_t LfImage::PixelIndexUnchecked(int32_t x, int32_t y) const {
    const uint8_t* row = info.pixels + static_cast<size_t>(y) * info.effectiveWidth;
    switch (head.bitCount) {
    case 8: return row[x];
    case 4: {
        uint8_t b = row[x >> 1];
        return (x & 1) ? (b & 0x0F) : (b >> 4);
    }
    case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1;
    default: return 0;
    }
}

void LfImage::SetPixelIndex(int32_t x, int32_t y, uint8_t index) {
    if (!block_ || !info.pixels || PaletteEntries(head) == 0 || !IsInside(x, y)) return;
    SetPixelIndexUnchecked(x, y, index);
}

void LfImage::SetPixelIndexUnchecked(int32_t x, int32_t y, uint8_t index) {
    uint8_t* row = info.pixels + static_cast<size_t>(y) * info.effectiveWidth;
    switch (head.bitCount) {
    case 8: row[x] = index; break;
    case 4: {
        uint8_t& b = row[x >> 1];
        if (x & 1) b = static_cast<uint8_t>((b & 0xF0) | (index & 0x0F));
        else b = static_cast<uint8_t>((b & 0x0F) | ((index & 0x0F) << 4));
        break;
    }
    case 1: {
        uint8_t& b = row[x >> 3];
        const uint8_t mask = static_cast<uint8_t>(0x80 >> (x & 7));
        if (index) b |= mask;
        else b &= static_cast<uint8_t>(~mask);
        break;
    }
    default: break;
    }
}

LfRgbQuad LfImage::PixelColor(int32_t x, int32_t y, bool withAlpha) const {
    LfRgbQuad color{0, 0, 0, 0};
    if (!block_ || !info.pixels) {
        if (info.transparentIndex >= 0 && head.bitCount < 24) return color;
        return info.transparentColor;
    }
    if (!IsInside(x, y)) {
        if (info.transparentIndex >= 0) {
            if (head.bitCount < 24) return PaletteColor(static_cast<uint8_t>(info.transparentIndex));
            return info.transparentColor;
        }
        return PixelColor(0, 0, true);
    }
    if (PaletteEntries(head)) {
        color = PaletteColor(PixelIndexUnchecked(x, y));
    } else if (head.bitCount == 24) {
        const uint8_t* p = info.pixels + static_cast<size_t>(y) * info.effectiveWidth + static_cast<size_t>(x) * 3;
        color.blue = p[0];
        color.green = p[1];
        color.red = p[2];
        color.alpha = info.transparentColor.alpha;
    } else if (IsGrey16()) {
        // Colour views of a 16-bit grey picture (previews) see the upper byte of each sample.
        const auto level = static_cast<uint8_t>(Grey16Sample(Row(static_cast<uint32_t>(y)), static_cast<uint32_t>(x)) >> 8);
        color = LfRgbQuad{level, level, level, 0};
    }
    if (withAlpha && alpha_) color.alpha = AlphaGet(x, y);
    return color;
}

void LfImage::SetPixelColor(int32_t x, int32_t y, LfRgbQuad color, bool withAlpha) {
    if (!block_ || !info.pixels || !IsInside(x, y)) return;
    if (PaletteEntries(head)) {
        SetPixelIndexUnchecked(x, y, NearestIndex(color));
    } else if (head.bitCount == 24) {
        uint8_t* p = info.pixels + static_cast<size_t>(y) * info.effectiveWidth + static_cast<size_t>(x) * 3;
        p[0] = color.blue;
        p[1] = color.green;
        p[2] = color.red;
    }
    if (withAlpha) AlphaSet(x, y, color.alpha);
}

void LfImage::DrawLine(int32_t x0, int32_t y0, int32_t x1, int32_t y1, LfRgbQuad color) {
    if (!block_) return;
    // Bresenham stepping along the longer extent; the error term starts at half of it.
    int64_t x = x0, y = y0;
    const int64_t dx = std::llabs(static_cast<int64_t>(x1) - x0);
    const int64_t dy = std::llabs(static_cast<int64_t>(y1) - y0);
    const int sx = x1 >= x0 ? 1 : -1;
    const int sy = y1 >= y0 ? 1 : -1;
    auto plot = [&](int64_t px, int64_t py) {
        if (px >= 0 && py >= 0 && px < head.width && py < head.height)
            SetPixelColor(static_cast<int32_t>(px), static_cast<int32_t>(py), color);
    };
    if (dx >= dy) {
        int64_t err = dx / 2;
        for (int64_t i = 0; i <= dx; ++i) {
            plot(x, y);
            err -= dy;
            if (err < 0) {
                y += sy;
                err += dx;
            }
            x += sx;
        }
    } else {
        int64_t err = dy / 2;
        for (int64_t i = 0; i <= dy; ++i) {
            plot(x, y);
            err -= dx;
            if (err < 0) {
                x += sx;
                err += dy;
            }
            y += sy;
        }
    }
}

// ---------------------------------------------------------------- palette

LfRgbQuad* LfImage::Palette() const {
    if (!block_ || PaletteEntries(head) == 0) return nullptr;
    return reinterpret_cast<LfRgbQuad*>(block_ + kHeaderSize);
}

LfRgbQuad LfImage::PaletteColor(uint8_t index) const {
    LfRgbQuad* pal = Palette();
    if (!pal || index >= PaletteEntries(head)) return LfRgbQuad{0, 0, 0, 0};
    return pal[index];
}

void LfImage::SetPaletteColor(uint8_t index, LfRgbQuad color) {
    LfRgbQuad* pal = Palette();
    if (!pal || index >= PaletteEntries(head)) return;
    pal[index] = color;
    info.cacheValid = false;
}

void LfImage::SetPalette(const LfRgbQuad* entries, uint32_t count) {
    LfRgbQuad* pal = Palette();
    if (!pal || !entries) return;
    std::memcpy(pal, entries, static_cast<size_t>(std::min(count, PaletteEntries(head))) * sizeof(LfRgbQuad));
    info.cacheValid = false;
}

void LfImage::SetPaletteRGB(const uint8_t* red, const uint8_t* green, const uint8_t* blue,
                            uint32_t count) {
    LfRgbQuad* pal = Palette();
    if (!pal || !red) return;
    if (!green) green = red;
    if (!blue) blue = green;
    const uint32_t n = std::min(count, PaletteEntries(head));
    for (uint32_t i = 0; i < n; ++i) pal[i] = LfRgbQuad{blue[i], green[i], red[i], 0};
    info.cacheValid = false;
}

void LfImage::SetPaletteTriples(const uint8_t* rgb, uint32_t count) {
    LfRgbQuad* pal = Palette();
    if (!pal || !rgb) return;
    const uint32_t n = std::min(count, PaletteEntries(head));
    for (uint32_t i = 0; i < n; ++i) pal[i] = LfRgbQuad{rgb[i * 3 + 2], rgb[i * 3 + 1], rgb[i * 3], 0};
    info.cacheValid = false;
}

void LfImage::SetGreyPalette() {
    LfRgbQuad* pal = Palette();
    if (!pal) return;
    const uint32_t n = std::min<uint32_t>(PaletteEntries(head), 256);
    const uint32_t step = n > 1 ? 255 / (n - 1) : 0;
    for (uint32_t i = 0; i < n; ++i) {
        const auto v = static_cast<uint8_t>(i * step);
        pal[i] = LfRgbQuad{v, v, v, 0};
    }
    info.cacheValid = false;
}

bool LfImage::IsGrey() const {
    const LfRgbQuad* pal = Palette();
    if (!pal) return false;
    for (uint32_t i = 0; i < PaletteEntries(head); ++i) {
        if (pal[i].blue != i || pal[i].green != i || pal[i].red != i) return false;
    }
    return true;
}

uint8_t LfImage::NearestIndex(LfRgbQuad color) {
    const LfRgbQuad* pal = Palette();
    if (!pal) return 0;
    if (info.cacheValid && info.cacheColor.blue == color.blue && info.cacheColor.green == color.green &&
        info.cacheColor.red == color.red)
        return info.cacheIndex;

    uint32_t n = head.colorsImportant ? head.colorsImportant : PaletteEntries(head);
    n = std::min<uint32_t>({n, PaletteEntries(head), 256});
    int32_t best = 200000;
    uint8_t bestIndex = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const int32_t db = pal[i].blue - color.blue;
        const int32_t dg = pal[i].green - color.green;
        const int32_t dr = pal[i].red - color.red;
        const int32_t d = db * db + dg * dg + dr * dr;
        if (d < best) {
            best = d;
            bestIndex = static_cast<uint8_t>(i);
            if (d == 0) break;
        }
    }
    info.cacheColor = color;
    info.cacheIndex = bestIndex;
    info.cacheValid = true;
    return bestIndex;
}

void LfImage::SwapIndex(uint8_t a, uint8_t b) {
    LfRgbQuad* pal = Palette();
    if (!pal || a >= PaletteEntries(head) || b >= PaletteEntries(head)) return;
    std::swap(pal[a], pal[b]);
    for (int32_t y = 0; y < head.height; ++y) {
        for (int32_t x = 0; x < head.width; ++x) {
            const uint8_t i = PixelIndexUnchecked(x, y);
            if (i == a) SetPixelIndexUnchecked(x, y, b);
            else if (i == b) SetPixelIndexUnchecked(x, y, a);
        }
    }
    info.cacheValid = false;
}

int32_t LfImage::LuminanceDifference(uint8_t a, uint8_t b) const {
    auto luma = [](LfRgbQuad c) { return (601 * c.green + 306 * c.red + 117 * c.blue) >> 10; };
    return luma(PaletteColor(a)) - luma(PaletteColor(b));
}

void LfImage::SwapRedBlue() {
    if (!block_) return;
    if (LfRgbQuad* pal = Palette()) {
        for (uint32_t i = 0; i < PaletteEntries(head); ++i) std::swap(pal[i].blue, pal[i].red);
        info.cacheValid = false;
        return;
    }
    if (head.bitCount != 24) return;
    for (uint32_t y = 0; y < Height(); ++y) SwapRedBlue(Row(y), info.effectiveWidth);
}

void LfImage::SwapRedBlue(uint8_t* buffer, uint32_t length) const {
    if (!buffer || PaletteEntries(head) != 0 || IsGrey16()) return;
    const uint64_t limit = std::min<uint64_t>({length, info.effectiveWidth, static_cast<uint64_t>(Width()) * 3});
    for (uint64_t i = 0; i + 3 <= limit; i += 3) std::swap(buffer[i], buffer[i + 2]);
}

// ---------------------------------------------------------------- geometry and tone

bool LfImage::Flip(bool flipSelection, bool flipAlpha) {
    if (!block_ || !info.pixels) return false;
    const uint32_t rowBytes = info.effectiveWidth;
    auto* buffer = static_cast<uint8_t*>(std::malloc(rowBytes ? rowBytes : 1));
    if (!buffer) return false;
    for (uint32_t k = 0; k < Height() / 2; ++k) {
        uint8_t* a = Row(k);
        uint8_t* b = Row(Height() - 1 - k);
        std::memcpy(buffer, a, rowBytes);
        std::memcpy(a, b, rowBytes);
        std::memcpy(b, buffer, rowBytes);
    }
    std::free(buffer);
    if (flipSelection && selection_) FlipPlane(selection_, Width(), Height());
    if (flipAlpha) AlphaFlip();
    return true;
}

bool LfImage::Mirror(bool mirrorSelection, bool mirrorAlpha) {
    if (!block_ || info.ghostOwner) return false;
    LfImage mirrored(*this, false, true, true);
    if (!mirrored.IsValid()) return false;

    const int32_t w = head.width;
    for (uint32_t y = 0; y < Height(); ++y) {
        const uint8_t* src = Row(y);
        uint8_t* dst = mirrored.Row(y);
        switch (head.bitCount) {
        case 24:
            for (int32_t x = 0; x < w; ++x) std::memcpy(dst + (w - 1 - x) * 3, src + x * 3, 3);
            break;
        case 16:
            for (int32_t x = 0; x < w; ++x) std::memcpy(dst + (w - 1 - x) * 2, src + x * 2, 2);
            break;
        case 8:
            for (int32_t x = 0; x < w; ++x) dst[w - 1 - x] = src[x];
            break;
        default:
            for (int32_t x = 0; x < w; ++x)
                mirrored.SetPixelIndexUnchecked(w - 1 - x, static_cast<int32_t>(y), PixelIndexUnchecked(x, static_cast<int32_t>(y)));
            break;
        }
    }
    if (mirrorAlpha) mirrored.AlphaMirror();
    if (mirrorSelection && mirrored.selection_) MirrorPlane(mirrored.selection_, Width(), Height());
    return Transfer(mirrored, false);
}

namespace {

// Source coordinates of a destination pixel for a quarter turn. W and H are the source's
// width and height; coordinates count rows from the bottom as stored.
struct QuarterTurn {
    bool clockwise;
    int32_t srcWidth;
    int32_t srcHeight;
    void Source(int32_t dx, int32_t dy, int32_t& sx, int32_t& sy) const {
        if (clockwise) {
            sx = srcWidth - 1 - dy;
            sy = dx;
        } else {
            sx = dy;
            sy = srcHeight - 1 - dx;
        }
    }
};

void RotatePlane(const uint8_t* src, uint8_t* dst, const QuarterTurn& turn) {
    const int32_t dstWidth = turn.srcHeight;
    const int32_t dstHeight = turn.srcWidth;
    for (int32_t y = 0; y < dstHeight; ++y) {
        for (int32_t x = 0; x < dstWidth; ++x) {
            int32_t sx, sy;
            turn.Source(x, y, sx, sy);
            dst[static_cast<size_t>(y) * dstWidth + x] = src[static_cast<size_t>(sy) * turn.srcWidth + sx];
        }
    }
}

}  // namespace

// Quarter turn into a new picture of swapped size, transferred here on success.
static bool RotateQuarter(LfImage& image, bool clockwise) {
    if (!image.IsValid() || image.info.ghostOwner) return false;
    const int32_t w = image.head.width;
    const int32_t h = image.head.height;
    const QuarterTurn turn{clockwise, w, h};

    LfImage rotated;
    rotated.CopyInfo(image);
    if (!CreateShapedLike(rotated, image, static_cast<uint32_t>(h), static_cast<uint32_t>(w))) {
        image.SetLastError(rotated.LastError());
        return false;
    }
    rotated.SetXDpi(image.YDpi());
    rotated.SetYDpi(image.XDpi());
    if (image.Palette()) std::memcpy(rotated.Palette(), image.Palette(), PaletteEntries(image.head) * 4);
    rotated.head.colorsImportant = image.head.colorsImportant;

    const int32_t newWidth = h;
    const int32_t newHeight = w;
    const uint32_t bits = image.BitCount();
    if (bits == 1) {
        for (int32_t y = 0; y < newHeight; ++y) {
            for (int32_t x = 0; x < newWidth; ++x) {
                int32_t sx, sy;
                turn.Source(x, y, sx, sy);
                rotated.SetPixelIndexUnchecked(x, y, image.PixelIndexUnchecked(sx, sy));
            }
        }
    } else {
        const uint32_t bytesPerPixel = bits / 8;  // 0 for 4-bit pictures, 2 for 16-bit grey
        for (int32_t ys = 0; ys < newHeight; ys += kRotateBlock) {
            rotated.info.progress = static_cast<int32_t>(100LL * ys / newHeight);
            for (int32_t xs = 0; xs < newWidth; xs += kRotateBlock) {
                const int32_t yEnd = std::min(ys + kRotateBlock, newHeight);
                const int32_t xEnd = std::min(xs + kRotateBlock, newWidth);
                for (int32_t y = ys; y < yEnd; ++y) {
                    uint8_t* dstRow = rotated.Row(static_cast<uint32_t>(y));
                    for (int32_t x = xs; x < xEnd; ++x) {
                        int32_t sx, sy;
                        turn.Source(x, y, sx, sy);
                        if (bytesPerPixel == 0) {
                            rotated.SetPixelIndexUnchecked(x, y, image.PixelIndexUnchecked(sx, sy));
                        } else {
                            const uint8_t* s = image.Row(static_cast<uint32_t>(sy)) + static_cast<size_t>(sx) * bytesPerPixel;
                            std::memcpy(dstRow + static_cast<size_t>(x) * bytesPerPixel, s, bytesPerPixel);
                        }
                    }
                }
            }
        }
    }

    if (image.AlphaIsValid()) {
        if (!rotated.AlphaCreate()) return false;
        RotatePlane(image.AlphaPlane(), rotated.AlphaPlane(), turn);
    }
    if (image.SelectionMask()) {
        if (!rotated.SelectionCreate()) return false;
        RotatePlane(image.SelectionMask(), rotated.SelectionMask(), turn);
    }
    return image.Transfer(rotated, false);
}

bool LfImage::RotateLeft() { return RotateQuarter(*this, false); }

bool LfImage::RotateRight() { return RotateQuarter(*this, true); }

bool LfImage::IncreaseBitCount(uint32_t bitCount) {
    if (!block_) return false;
    if (bitCount == head.bitCount) return true;
    if (bitCount < head.bitCount) return false;
    if (bitCount != 4 && bitCount != 8 && bitCount != 24) return false;
    if (info.ghostOwner) return false;
    if (IsGrey16()) return Grey16ToColour();

    LfImage wider;
    wider.CopyInfo(*this);
    if (!wider.Create(Width(), Height(), bitCount, Type())) {
        SetLastError(wider.LastError());
        return false;
    }
    wider.info.transparentIndex = info.transparentIndex;
    wider.info.transparentColor = info.transparentColor;
    if (bitCount < 24) {
        std::memcpy(wider.Palette(), Palette(), std::min(PaletteEntries(head), PaletteEntries(wider.head)) * 4);
    } else if (info.transparentIndex >= 0) {
        wider.SetTransparentColor(PaletteColor(static_cast<uint8_t>(info.transparentIndex)));
    }
    const size_t plane = static_cast<size_t>(Width()) * Height();
    if (selection_) {
        wider.selection_ = DuplicatePlane(selection_, plane);
        if (!wider.selection_) return false;
    }
    if (alpha_) {
        wider.alpha_ = DuplicatePlane(alpha_, plane);
        if (!wider.alpha_) return false;
    }
    const bool alphaFromPalette = bitCount == 24 && !alpha_ && AlphaPaletteHasValues();
    if (alphaFromPalette && !wider.AlphaCreate()) return false;

    for (int32_t y = 0; y < head.height; ++y) {
        if (info.escape) break;
        for (int32_t x = 0; x < head.width; ++x) {
            if (bitCount < 24) {
                wider.SetPixelIndexUnchecked(x, y, PixelIndexUnchecked(x, y));
            } else {
                LfRgbQuad c = PaletteColor(PixelIndexUnchecked(x, y));
                if (alpha_) c.alpha = AlphaGet(x, y);
                wider.SetPixelColor(x, y, c, alphaFromPalette);
            }
        }
    }
    return Transfer(wider, false);
}

// 24-bit grey from the upper byte of each sample: the window shows 16-bit grey pictures so.
bool LfImage::Grey16ToColour() {
    LfImage wider;
    wider.CopyInfo(*this);
    if (!wider.Create(Width(), Height(), 24, Type())) {
        SetLastError(wider.LastError());
        return false;
    }
    for (uint32_t y = 0; y < Height(); ++y) {
        const uint8_t* src = Row(y);
        uint8_t* dst = wider.Row(y);
        for (uint32_t x = 0; x < Width(); ++x) std::memset(dst + static_cast<size_t>(x) * 3, Grey16Sample(src, x) >> 8, 3);
    }
    if (selection_) {
        wider.selection_ = DuplicatePlane(selection_, static_cast<size_t>(Width()) * Height());
        if (!wider.selection_) return false;
    }
    return Transfer(wider, false);
}

bool LfImage::Negative() {
    if (!block_ || !info.pixels) return false;
    if (IsGrey16()) {
        // 65535 - v for every selected sample (every sample without a selection).
        for (uint32_t y = 0; y < Height(); ++y) {
            uint8_t* row = Row(y);
            for (uint32_t x = 0; x < Width(); ++x)
                if (!selection_ || selection_[static_cast<size_t>(y) * Width() + x])
                    SetGrey16Sample(row, x, static_cast<uint16_t>(~Grey16Sample(row, x)));
        }
        return true;
    }
    if (head.bitCount == 24) {
        if (selection_) {
            const LfRect& box = info.selectionBox;
            const int32_t x0 = std::max(box.left, 0), x1 = std::min(box.right, head.width);
            const int32_t y0 = std::max(box.bottom, 0), y1 = std::min(box.top, head.height);
            for (int32_t y = y0; y < y1; ++y) {
                uint8_t* row = Row(static_cast<uint32_t>(y));
                for (int32_t x = x0; x < x1; ++x) {
                    if (!selection_[static_cast<size_t>(y) * Width() + x]) continue;
                    for (int c = 0; c < 3; ++c) row[x * 3 + c] = static_cast<uint8_t>(~row[x * 3 + c]);
                }
            }
        } else {
            for (uint32_t i = 0; i < head.imageSize; ++i) info.pixels[i] = static_cast<uint8_t>(~info.pixels[i]);
        }
        info.transparentColor.blue = static_cast<uint8_t>(~info.transparentColor.blue);
        info.transparentColor.green = static_cast<uint8_t>(~info.transparentColor.green);
        info.transparentColor.red = static_cast<uint8_t>(~info.transparentColor.red);
        return true;
    }
    if (IsGrey()) {
        // Inverting every bit inverts every 1-, 4- or 8-bit index at once.
        for (uint32_t i = 0; i < head.imageSize; ++i) info.pixels[i] = static_cast<uint8_t>(~info.pixels[i]);
        return true;
    }
    LfRgbQuad* pal = Palette();
    if (!pal) return false;
    for (uint32_t i = 0; i < PaletteEntries(head); ++i) {
        pal[i].blue = static_cast<uint8_t>(~pal[i].blue);
        pal[i].green = static_cast<uint8_t>(~pal[i].green);
        pal[i].red = static_cast<uint8_t>(~pal[i].red);
    }
    info.cacheValid = false;
    return true;
}

// ---------------------------------------------------------------- alpha plane

bool LfImage::AlphaCreate() {
    if (!block_) return false;
    if (IsGrey16()) {
        // Neither writer of 16-bit grey stores transparency: refuse rather than drop it.
        SetLastError("16-bit grey pictures have no alpha plane");
        return false;
    }
    if (alpha_) return true;
    const size_t plane = static_cast<size_t>(Width()) * Height();
    alpha_ = static_cast<uint8_t*>(std::malloc(plane ? plane : 1));
    if (!alpha_) return false;
    std::memset(alpha_, 255, plane);
    return true;
}

void LfImage::AlphaDelete() {
    if (info.ghostOwner) {
        alpha_ = nullptr;
        return;
    }
    std::free(alpha_);
    alpha_ = nullptr;
}

uint8_t LfImage::AlphaGet(int32_t x, int32_t y) const {
    if (!alpha_ || !IsInside(x, y)) return 0;
    return alpha_[static_cast<size_t>(y) * Width() + x];
}

void LfImage::AlphaSet(int32_t x, int32_t y, uint8_t value) {
    if (!alpha_ || !IsInside(x, y)) return;
    alpha_[static_cast<size_t>(y) * Width() + x] = value;
}

void LfImage::AlphaInvert() {
    if (!alpha_) return;
    const size_t plane = static_cast<size_t>(Width()) * Height();
    for (size_t i = 0; i < plane; ++i) alpha_[i] = static_cast<uint8_t>(~alpha_[i]);
}

bool LfImage::AlphaCopy(const LfImage& source) {
    if (!source.alpha_ || source.Width() != Width() || source.Height() != Height() || !block_) return false;
    if (!AlphaCreate()) return false;
    std::memcpy(alpha_, source.alpha_, static_cast<size_t>(Width()) * Height());
    info.alphaMax = source.info.alphaMax;
    return true;
}

bool LfImage::AlphaFlip() {
    if (!alpha_) return false;
    FlipPlane(alpha_, Width(), Height());
    return true;
}

bool LfImage::AlphaMirror() {
    if (!alpha_) return false;
    MirrorPlane(alpha_, Width(), Height());
    return true;
}

bool LfImage::AlphaFromGrey(const LfImage& grey) {
    if (!grey.IsValid() || grey.BitCount() != 8 || !grey.IsGrey()) return false;
    if (grey.Width() != Width() || grey.Height() != Height()) return false;
    if (!AlphaCreate()) return false;
    for (uint32_t y = 0; y < Height(); ++y)
        std::memcpy(alpha_ + static_cast<size_t>(y) * Width(), grey.Row(y), Width());
    return true;
}

bool LfImage::AlphaPaletteHasValues() const {
    const LfRgbQuad* pal = Palette();
    if (!pal) return false;
    for (uint32_t i = 0; i < PaletteEntries(head); ++i)
        if (pal[i].alpha != 0) return true;
    return false;
}

// ---------------------------------------------------------------- selection mask

bool LfImage::SelectionCreate() {
    if (!block_) return false;
    SelectionDelete();
    const size_t plane = static_cast<size_t>(Width()) * Height();
    selection_ = static_cast<uint8_t*>(std::calloc(plane ? plane : 1, 1));
    return selection_ != nullptr;
}

void LfImage::SelectionDelete() {
    if (!info.ghostOwner) std::free(selection_);
    selection_ = nullptr;
    // An empty box: nothing selected until a selection grows it.
    info.selectionBox = LfRect{head.width, 0, 0, head.height};
}

// ---------------------------------------------------------------- frames

LfImage* LfImage::Frame(int32_t index) const {
    if (!frames_ || index < 0 || index >= frameCount_) return nullptr;
    return frames_[index];
}

void LfImage::SetFrames(LfImage** frames, int32_t count) {
    if (!DestroyFrames()) {
        // A ghost cannot own anything; the handed-over frames would otherwise leak.
        if (frames) {
            for (int32_t i = 0; i < count; ++i) delete frames[i];
            delete[] frames;
        }
        return;
    }
    frames_ = frames;
    frameCount_ = frames ? std::max(count, 0) : 0;
    info.numFrames = frameCount_;
}

// ---------------------------------------------------------------- byte order

uint16_t LfImage::SwapWord(uint16_t value) const {
    if (info.littleEndianHost) return value;
    return static_cast<uint16_t>((value >> 8) | (value << 8));
}

uint32_t LfImage::SwapDword(uint32_t value) const {
    if (info.littleEndianHost) return value;
    return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

void LfImage::SwapHeader(LfBitmapInfoHeader& header) const {
    if (info.littleEndianHost) return;
    auto swap32s = [this](int32_t v) { return static_cast<int32_t>(SwapDword(static_cast<uint32_t>(v))); };
    header.size = SwapDword(header.size);
    header.width = swap32s(header.width);
    header.height = swap32s(header.height);
    header.planes = SwapWord(header.planes);
    header.bitCount = SwapWord(header.bitCount);
    header.compression = SwapDword(header.compression);
    header.imageSize = SwapDword(header.imageSize);
    header.xPelsPerMeter = swap32s(header.xPelsPerMeter);
    header.yPelsPerMeter = swap32s(header.yPelsPerMeter);
    header.colorsUsed = SwapDword(header.colorsUsed);
    header.colorsImportant = SwapDword(header.colorsImportant);
}

// ---------------------------------------------------------------- row iterator

LfRowIterator::LfRowIterator(LfImage* image) : image_(image) {}

void LfRowIterator::Reset() { row_ = 0; }

bool LfRowIterator::MoveTo(int32_t row) {
    if (!image_ || row < 0 || row > image_->head.height) return false;
    row_ = row;
    return true;
}

void LfRowIterator::ToTop() {
    if (image_ && image_->head.height > 0) row_ = image_->head.height - 1;
    else row_ = 0;
}

bool LfRowIterator::PrevRow() {
    if (row_ <= 0) return false;
    --row_;
    return true;
}

bool LfRowIterator::NextRow() {
    if (!image_ || row_ >= image_->head.height) return false;
    ++row_;
    return row_ < image_->head.height;
}

uint8_t* LfRowIterator::Row() const {
    if (!image_ || row_ < 0) return nullptr;
    return image_->Row(static_cast<uint32_t>(row_));
}
