// The format registry: one row per format identifier. The dispatch (Encode, Decode and the
// probe order), the per-format option slots, the extension map behind FindType, the window's
// target list, which targets keep grey pictures grey, the options DICOM pictures are saved
// with, and the converter's format list and names all read this table. Adding a codec is its
// source pair and one row in LfFormatRegistry.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "LfImage.h"
#include "LfSequenceWriter.h"

// How the dispatch runs one codec class: encode on a ghost of the caller's image, decode into
// a temporary carrying the caller's settings. Null for a format without a codec.
struct LfCodecCalls {
    bool (*encode)(LfImage& image, LfFile* stream, uint32_t format) = nullptr;
    bool (*decode)(LfImage& image, LfFile* stream, uint32_t format, bool probing) = nullptr;
};

// A name a picture can be saved under.
struct LfSaveName {
    std::string ext;         // lower case, no dot
    int windowPosition = 0;  // place in the window's target list, from 1; 0: not offered there
    bool holdsGrey = false;  // an 8-bit grey picture is stored exactly, as one grey channel
};

struct LfFormatInfo {
    uint32_t id;
    int slot;                              // index of the codec option word (0 for none)
    const char* name;                      // as the converter's --info shows it
    std::vector<LfSaveName> saveExtensions;    // what FindType maps to this identifier
    std::vector<std::string> inputExtensions;  // further hints for reading only
    bool reads;
    bool writes;
    bool writesGrey16;   // stores 16-bit grey pictures (LfImage::CreateGrey16) at full depth
    bool probed;         // tried by Decode with identifier 0 (once per class)
    bool reportsFrames;  // a failed decode still reports the frame count it found
    // The codec option word DICOM pictures are saved with (0: the codec's defaults). TIFF
    // keeps every grey level with LZW and the predictor instead of its automatic JPEG.
    uint32_t dicomOption;
    LfCodecCalls codec;
    // The bytes every complete file of the format ends with (empty when the format has no
    // such marker): a file cut short, as a killed writer leaves it, lacks them.
    std::string_view endMarker = {};
    // Formats written from a sequence of frames make their writer here. A row without codec
    // calls is a movie only (mp4, webm); one with them (GIF) holds stills too, and animates
    // the frames of a multi-frame picture. Null for the others.
    std::unique_ptr<LfSequenceWriter> (*sequenceWriter)() = nullptr;
    // At most 256 colours a picture: a DICOM colour picture is quantised (LfColourQuantiser)
    // before it is saved, rather than left to the codec's own way with 24 bits.
    bool quantisesColour = false;
};

// Every row, in the probe order of Decode with identifier 0.
std::span<const LfFormatInfo> LfFormats();

// The row of an identifier, or null when no row names it (0, 16, anything else).
const LfFormatInfo* LfFindFormat(uint32_t id);

// The identifier whose save extensions hold `ext` (lower case, no dot); 0 when none does.
uint32_t LfFormatForExtension(const std::string& ext);

// The save name `ext` (lower case, no dot) with its row; null when no row has it.
const LfSaveName* LfFindSaveName(const std::string& ext, const LfFormatInfo** row = nullptr);

// The window's target list, in its order: the rows' offered save names, and "raw", which
// the window offers although no format stands behind it (saving under it fails).
std::vector<std::string> LfWindowTargets();

// The identifier whose input extensions hold `ext` (lower case, no dot); 0 when none does.
uint32_t LfFormatForInputExtension(const std::string& ext);

// ---- building the codec calls of one class

// A codec class is constructed with its identifier, borrows the caller's settings and works
// on a stream. The JPEG 2000 family class is the exception: constructed with type 0, it
// receives the identifier as a second argument of Encode and Decode (0 while probing, so it
// recognises the variant itself).
template <class Codec>
constexpr bool kLfTakesFormatArgument = requires(Codec& c, LfFile* f, uint32_t id) { c.Decode(f, id); };

template <class Codec>
Codec LfMakeCodec(uint32_t type) {
    if constexpr (std::is_constructible_v<Codec, uint32_t>) return Codec(type);
    else return Codec();
}

template <class Codec>
bool LfEncodeWith(LfImage& image, LfFile* stream, uint32_t format) {
    Codec codec = LfMakeCodec<Codec>(kLfTakesFormatArgument<Codec> ? 0u : format);
    codec.Ghost(&image);  // shares the pixel block; frees nothing when discarded
    bool ok;
    if constexpr (kLfTakesFormatArgument<Codec>) ok = codec.Encode(stream, format);
    else ok = codec.Encode(stream);
    if (!ok) image.SetLastError(codec.LastError());
    return ok;
}

// On success the picture, info record and frames move into the caller's image. A failed
// probe try leaves nothing behind: neither its message nor its frame count.
template <class Codec>
bool LfDecodeWith(LfImage& image, LfFile* stream, uint32_t format, bool probing) {
    const uint32_t type = kLfTakesFormatArgument<Codec> ? 0u : format;
    Codec codec = LfMakeCodec<Codec>(type);
    codec.CopyInfo(image);
    codec.info.type = type;
    bool ok;
    if constexpr (kLfTakesFormatArgument<Codec>) ok = codec.Decode(stream, probing ? 0u : format);
    else ok = codec.Decode(stream);
    if (ok) {
        if (codec.info.type == 0) codec.info.type = format;
        if (image.Transfer(codec, true)) return true;
        image.SetLastError("Decode: the image shares another image's pixels");
        return false;
    }
    if (!probing) {
        image.SetLastError(codec.LastError());
        const LfFormatInfo* row = LfFindFormat(format);
        if (row && row->reportsFrames) image.info.numFrames = codec.info.numFrames;
    }
    return false;
}

template <class Codec>
constexpr LfCodecCalls LfCodecOf() {
    return {&LfEncodeWith<Codec>, &LfDecodeWith<Codec>};
}
