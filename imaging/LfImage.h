// LfImage: the in-memory picture. Pixels live in one heap block laid out like a Windows DIB
// (40-byte info header, palette of 4-byte entries, bottom-up rows padded to 4 bytes; 1, 4, 8
// or 24 bits per pixel, or 16-bit grey without a palette), beside an info record with the format, the last error, transparency,
// resolution and per-format codec options. Every codec class derives from it and adds only
// its own Encode(LfFile*) and Decode(LfFile*) and codec-private fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "LfFile.h"

class LfPendingSave;

// Format identifiers.
enum LfFormat : uint32_t {
    LF_FORMAT_UNKNOWN = 0,
    LF_FORMAT_BMP = 1,
    LF_FORMAT_GIF = 2,
    LF_FORMAT_JPG = 3,
    LF_FORMAT_PNG = 4,
    LF_FORMAT_ICO = 5,
    LF_FORMAT_TIF = 6,
    LF_FORMAT_TGA = 7,
    LF_FORMAT_PCX = 8,
    LF_FORMAT_WBMP = 9,
    LF_FORMAT_WMF = 10,
    LF_FORMAT_JP2 = 11,
    LF_FORMAT_JPC = 12,
    LF_FORMAT_PGX = 13,
    LF_FORMAT_PNM = 14,
    LF_FORMAT_RAS = 15,
    LF_FORMAT_NONE = 16,  // no codec serves it
    LF_FORMAT_MNG = 17,
    LF_FORMAT_SKA = 18,
    LF_FORMAT_RAW = 19,
    LF_FORMAT_MP4 = 20,   // movies: written from a sequence of frames, never read
    LF_FORMAT_WEBM = 21,
};

constexpr int LF_CODEC_SLOTS = 21;
constexpr size_t LF_ERROR_SIZE = 256;

#pragma pack(push, 1)
// The DIB info header: host byte order in the block, little-endian in files (codecs swap
// with SwapHeader on a big-endian host).
struct LfBitmapInfoHeader {
    uint32_t size;
    int32_t width;
    int32_t height;
    uint16_t planes;
    uint16_t bitCount;
    uint32_t compression;
    uint32_t imageSize;
    int32_t xPelsPerMeter;
    int32_t yPelsPerMeter;
    uint32_t colorsUsed;
    uint32_t colorsImportant;
};

// One palette entry or colour: blue, green, red, fourth byte (alpha when in use).
struct LfRgbQuad {
    uint8_t blue;
    uint8_t green;
    uint8_t red;
    uint8_t alpha;
};
#pragma pack(pop)
static_assert(sizeof(LfBitmapInfoHeader) == 40, "DIB info header is 40 bytes");
static_assert(sizeof(LfRgbQuad) == 4, "palette entries are 4 bytes");

inline bool operator==(const LfRgbQuad& a, const LfRgbQuad& b) {
    return a.blue == b.blue && a.green == b.green && a.red == b.red && a.alpha == b.alpha;
}

struct LfRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

class LfImage;

// Settings and state kept beside the pixel block. Copied whole between images (CopyInfo,
// Transfer) and into codec objects by the dispatch.
struct LfImageInfo {
    uint32_t effectiveWidth;       // bytes per row
    uint8_t* pixels;               // row 0 (the bottom row) inside the block
    const LfImage* ghostOwner;     // set on a ghost: it frees nothing
    uint32_t type;                 // format identifier
    char lastError[LF_ERROR_SIZE];
    int32_t progress;
    int32_t escape;                // -1: dimensions only; other non-zero: stop long work
    int32_t transparentIndex;      // -1 for none
    LfRgbQuad transparentColor;
    float quality;                 // JPEG and JPEG 2000, 0..100
    uint8_t jpegScale;
    int32_t currentFrame;
    int32_t numFrames;
    uint32_t frameDelay;
    int32_t xDpi;
    int32_t yDpi;
    LfRect selectionBox;
    uint8_t alphaMax;
    bool alphaPalette;             // palette fourth bytes are alpha values
    int32_t xOffset;
    int32_t yOffset;
    uint32_t codecOptions[LF_CODEC_SLOTS];
    LfRgbQuad cacheColor;          // nearest-colour cache
    uint8_t cacheIndex;
    bool cacheValid;
    int32_t numLayers;
    uint8_t disposal;
    bool retrieveAllFrames;
    bool littleEndianHost;         // detected at construction; the swaps below do nothing when set
};

class LfImage {
public:
    explicit LfImage(uint32_t type = 0);
    // Deep copy (see Copy).
    LfImage(const LfImage& source, bool copyPixels = true, bool copySelection = true,
            bool copyAlpha = true);
    LfImage& operator=(const LfImage&) = delete;
    virtual ~LfImage();

    // ---- creation and lifetime
    // Replaces the picture with a new one (palette and pixels zeroed); returns the block or
    // nullptr with the last-error text set. Bit counts normalise to 1, 4, 8 or 24.
    uint8_t* Create(uint32_t width, uint32_t height, uint32_t bitCount, uint32_t type = 0);
    // Replaces the picture with a 16-bit grey one (zeroed): bit count 16, no palette, each
    // sample a uint16_t in host byte order (0 black .. 65535 white), rows bottom-up and
    // padded to 4 bytes. Only the PNG and TIFF writers store it; pixel-colour writes, alpha
    // and resampling to another size refuse it (see each method).
    uint8_t* CreateGrey16(uint32_t width, uint32_t height, uint32_t type = 0);
    bool IsGrey16() const { return block_ != nullptr && head.bitCount == 16; }
    bool Destroy();
    bool DestroyFrames();
    void Copy(const LfImage& source, bool copyPixels = true, bool copySelection = true,
              bool copyAlpha = true);
    // Shares the source's block, mask, alpha, layers and frames without copying.
    void Ghost(const LfImage* source);
    // Moves the source's picture, info and (with takeFrames) frames here, leaving it empty.
    // False when this image is a ghost or the source is one.
    bool Transfer(LfImage& source, bool takeFrames = true);
    // Copies the settings of the info record when this object has no block; what describes
    // the source's block (pixel pointer, row width, ghost owner, colour cache) is not copied.
    void CopyInfo(const LfImage& source);
    bool IsValid() const { return block_ != nullptr; }

    // ---- queries and settings
    uint32_t Width() const { return static_cast<uint32_t>(head.width); }
    uint32_t Height() const { return static_cast<uint32_t>(head.height); }
    uint32_t BitCount() const { return head.bitCount; }
    uint32_t EffectiveWidth() const { return info.effectiveWidth; }
    uint32_t NumColors() const { return head.colorsUsed; }
    uint32_t PaletteSize() const { return head.colorsUsed * 4; }
    uint32_t Type() const { return info.type; }
    bool SetType(uint32_t type);
    int32_t NumFrames() const { return info.numFrames; }
    int32_t CurrentFrame() const { return info.currentFrame; }
    void SetCurrentFrame(int32_t frame) { info.currentFrame = frame; }
    const char* LastError() const { return info.lastError; }
    // Copies at most 255 characters.
    void SetLastError(const char* text);
    int32_t TransparentIndex() const { return info.transparentIndex; }
    void SetTransparentIndex(int32_t index);
    LfRgbQuad TransparentColor() const { return info.transparentColor; }
    void SetTransparentColor(LfRgbQuad color);
    bool IsTransparent() const { return info.transparentIndex >= 0; }
    bool IsIndexed() const { return head.colorsUsed != 0; }
    int32_t JpegQuality() const { return static_cast<int32_t>(info.quality + 0.5f); }
    void SetJpegQuality(float quality) { info.quality = quality; }
    uint8_t JpegScale() const { return info.jpegScale; }
    void SetJpegScale(uint8_t scale) { info.jpegScale = scale; }
    int32_t Escape() const { return info.escape; }
    void SetEscape(int32_t escape) { info.escape = escape; }
    int32_t Progress() const { return info.progress; }
    void SetProgress(int32_t progress) { info.progress = progress; }
    int32_t XOffset() const { return info.xOffset; }
    int32_t YOffset() const { return info.yOffset; }
    void SetOffset(int32_t x, int32_t y) { info.xOffset = x; info.yOffset = y; }
    uint8_t Disposal() const { return info.disposal; }
    void SetDisposal(uint8_t method) { info.disposal = method; }
    uint32_t FrameDelay() const { return info.frameDelay; }
    void SetFrameDelay(uint32_t delay) { info.frameDelay = delay; }
    bool RetrieveAllFrames() const { return info.retrieveAllFrames; }
    void SetRetrieveAllFrames(bool all) { info.retrieveAllFrames = all; }
    uint32_t ColorsImportant() const { return head.colorsImportant; }
    void SetColorsImportant(uint32_t count);
    // Identifier 0 or unknown means the slot of the image's own type.
    uint32_t CodecOption(uint32_t format = 0) const;
    void SetCodecOption(uint32_t option, uint32_t format = 0);
    int32_t XDpi() const { return info.xDpi; }
    int32_t YDpi() const { return info.yDpi; }
    // 0 or less stores 96; also writes pixels per metre into both headers.
    void SetXDpi(int32_t dpi);
    void SetYDpi(int32_t dpi);

    // Slot of the per-format option words for an identifier (0 for none / unknown).
    static int FormatSlot(uint32_t format);

    // ---- rows and pixels
    uint8_t* Block() const { return block_; }
    uint32_t BlockSize() const;
    uint8_t* Row(uint32_t row) const;   // row 0 is the bottom row; nullptr beyond the height
    bool IsInside(int32_t x, int32_t y) const;
    void Clear(uint8_t value = 0);
    uint8_t PixelIndex(int32_t x, int32_t y) const;
    uint8_t PixelIndexUnchecked(int32_t x, int32_t y) const;
    void SetPixelIndex(int32_t x, int32_t y, uint8_t index);
    void SetPixelIndexUnchecked(int32_t x, int32_t y, uint8_t index);
    // A 16-bit grey picture reads as the upper byte of its sample and ignores colour writes.
    LfRgbQuad PixelColor(int32_t x, int32_t y, bool withAlpha = true) const;
    void SetPixelColor(int32_t x, int32_t y, LfRgbQuad color, bool withAlpha = false);
    void DrawLine(int32_t x0, int32_t y0, int32_t x1, int32_t y1, LfRgbQuad color);

    // ---- palette
    LfRgbQuad* Palette() const;
    LfRgbQuad PaletteColor(uint8_t index) const;
    void SetPaletteColor(uint8_t index, LfRgbQuad color);
    void SetPalette(const LfRgbQuad* entries, uint32_t count);
    // Blue defaults to green and green to red when absent.
    void SetPaletteRGB(const uint8_t* red, const uint8_t* green, const uint8_t* blue,
                       uint32_t count);
    void SetPaletteTriples(const uint8_t* rgb, uint32_t count);   // packed red, green, blue
    void SetGreyPalette();
    bool IsGrey() const;
    uint8_t NearestIndex(LfRgbQuad color);
    void SwapIndex(uint8_t a, uint8_t b);
    int32_t LuminanceDifference(uint8_t a, uint8_t b) const;
    void SwapRedBlue();
    void SwapRedBlue(uint8_t* buffer, uint32_t length) const;

    // ---- geometry and tone
    bool Flip(bool flipSelection = false, bool flipAlpha = true);
    bool Mirror(bool mirrorSelection = false, bool mirrorAlpha = true);
    bool RotateLeft();
    bool RotateRight();
    // 16-bit grey goes only to 24 bits (the upper byte of each sample as grey).
    bool IncreaseBitCount(uint32_t bitCount);
    bool Negative();

    // ---- alpha plane (width x height bytes, row 0 first, 255 = opaque; none on 16-bit grey)
    bool AlphaCreate();
    void AlphaDelete();
    bool AlphaIsValid() const { return alpha_ != nullptr; }
    uint8_t* AlphaPlane() const { return alpha_; }
    uint8_t AlphaGet(int32_t x, int32_t y) const;
    void AlphaSet(int32_t x, int32_t y, uint8_t value);
    void AlphaInvert();
    bool AlphaCopy(const LfImage& source);
    bool AlphaFlip();
    bool AlphaMirror();
    bool AlphaFromGrey(const LfImage& grey);
    bool AlphaPaletteHasValues() const;
    uint8_t AlphaMax() const { return info.alphaMax; }

    // ---- selection mask (width x height bytes, non-zero = selected); absent normally
    uint8_t* SelectionMask() const { return selection_; }
    bool SelectionCreate();
    void SelectionDelete();

    // ---- frames of multi-frame files (owned when retrieve-all-frames is set)
    LfImage* Frame(int32_t index) const;
    LfImage** Frames() const { return frames_; }
    // Takes ownership of an array (new[]) of count images (each new, may be nullptr). The
    // array length is kept apart from info.numFrames, which codecs set to the file's count.
    void SetFrames(LfImage** frames, int32_t count);
    int32_t FrameArrayLength() const { return frameCount_; }

    // ---- byte order (swap only when the host is not little-endian)
    uint16_t SwapWord(uint16_t value) const;
    uint32_t SwapDword(uint32_t value) const;
    void SwapHeader(LfBitmapInfoHeader& header) const;

    // ---- dispatch by format identifier
    bool Load(const char* path, uint32_t format = 0);
    // Writes a temporary file beside the target and renames it over the target on success.
    bool Save(const char* path, uint32_t format);
    // Save's first half: the picture written in full to the temporary, which `pending` then
    // holds, not yet synced nor renamed. False, with nothing left on disk, when it failed.
    bool SaveUnsynced(const char* path, uint32_t format, LfPendingSave& pending);
    bool Encode(LfFile* stream, uint32_t format);
    bool Encode(FILE* handle, uint32_t format);
    bool Decode(LfFile* stream, uint32_t format);
    bool Decode(FILE* handle, uint32_t format);
    // True when encoding must not go on ("null file handler", "null image!!!").
    bool EncodeSafeCheck(LfFile* stream);

    // ---- resampling: 1 nearest pixel, 2 bicubic B-spline, other bilinear / area shrink;
    // a 16-bit grey picture is refused (IncreaseBitCount(24) first).
    bool Resample(int32_t newWidth, int32_t newHeight, int mode = 1, LfImage* destination = nullptr);

    // The authoritative copy of the info header and the info record; codecs use them freely.
    LfBitmapInfoHeader head;
    LfImageInfo info;

protected:
    void Startup(uint32_t type);
    bool Grey16ToColour();
    uint8_t* CreateBlock(uint32_t width, uint32_t height, uint32_t bitCount, uint32_t colors, uint32_t type);

    uint8_t* block_ = nullptr;
    uint8_t* selection_ = nullptr;
    uint8_t* alpha_ = nullptr;
    LfImage** layers_ = nullptr;
    LfImage** frames_ = nullptr;
    int32_t frameCount_ = 0;        // length of frames_
};

// Walks the rows of an image: starts at row 0 (the bottom row); MoveTo(n) moves only when
// 0 <= n <= height; Row() is nullptr past the last row.
class LfRowIterator {
public:
    explicit LfRowIterator(LfImage* image);
    void Reset();                   // row 0
    bool MoveTo(int32_t row);
    void ToTop();                   // the top row (height - 1)
    bool PrevRow();                 // one row down; false below row 0
    bool NextRow();                 // one row up
    uint8_t* Row() const;
    int32_t RowNumber() const { return row_; }

private:
    LfImage* image_;
    int32_t row_ = 0;
};
