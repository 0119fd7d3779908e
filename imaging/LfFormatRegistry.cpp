#include "LfFormatRegistry.h"

#include <algorithm>

#include "LfGifSequenceWriter.h"
#include "LfImageBMP.h"
#include "LfImageGIF.h"
#include "LfImageICO.h"
#include "LfImageJAS.h"
#include "LfImageJPG.h"
#include "LfImageMNG.h"
#include "LfImagePCX.h"
#include "LfImagePNG.h"
#include "LfImageRAW.h"
#include "LfImageSKA.h"
#include "LfImageTGA.h"
#include "LfImageTIF.h"
#include "LfImageWBMP.h"
#include "LfImageWMF.h"
#include "LfVideoWriter.h"

namespace {

using std::string_view_literals::operator""sv;

constexpr bool kGrey = true;
constexpr bool kColour = false;
// The TIFF codec's option word is a TIFF compression code; LZW comes with the predictor.
constexpr uint32_t kTiffLzwWithPredictor = 5;

// H.264 at CRF 18 by default (hardly told from the frames), yuv420p for every player, the
// index at the front so that a browser plays it while it loads.
constexpr LfVideoCodec kMp4Video = {.container = "mp4", .encoder = "libx264", .crfAtQuality90 = 18, .crfWorst = 51,
                                    .encoderOptions = "preset=medium", .muxerOptions = "movflags=+faststart"};
// VP9 in constant-quality mode; "good" at speed 4 keeps the encode within a few times H.264's.
constexpr LfVideoCodec kWebmVideo = {.container = "webm", .encoder = "libvpx-vp9", .crfAtQuality90 = 24,
                                     .crfWorst = 63, .encoderOptions = "deadline=good:cpu-used=4:row-mt=1",
                                     .muxerOptions = ""};

std::unique_ptr<LfSequenceWriter> MakeGifWriter() { return std::make_unique<LfGifSequenceWriter>(); }

template <const LfVideoCodec& codec>
std::unique_ptr<LfSequenceWriter> MakeVideoWriter() {
    return std::make_unique<LfVideoWriter>(codec);
}

// One row per identifier, in the probe order. A row without codec calls names a format the
// window offers but no codec serves yet: encoding and decoding it fail, the probe skips it.
// The JPEG 2000 family (11 to 15) is one class; its first row probes for all five.
const std::vector<LfFormatInfo> kFormats = {
    {.id = LF_FORMAT_BMP, .slot = 1, .name = "BMP", .saveExtensions = {{"bmp", 1, kGrey}}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = false, .dicomOption = 0,
     .codec = LfCodecOf<LfImageBMP>()},
    {.id = LF_FORMAT_JPG, .slot = 3, .name = "JPEG", .saveExtensions = {{"jpg", 2, kGrey}, {"jpeg", 3, kGrey}, {"jpe", 4, kGrey}}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = false, .dicomOption = 0,
     .codec = LfCodecOf<LfImageJPG>(), .endMarker = "\xFF\xD9"sv},
    {.id = LF_FORMAT_ICO, .slot = 5, .name = "ICO", .saveExtensions = {{"ico", 26, kColour}}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = true, .dicomOption = 0,
     .codec = LfCodecOf<LfImageICO>()},
    {.id = LF_FORMAT_GIF, .slot = 2, .name = "GIF", .saveExtensions = {{"gif", 25, kGrey}}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = true, .dicomOption = 0,
     .codec = LfCodecOf<LfImageGIF>(), .endMarker = "\x3B"sv, .sequenceWriter = &MakeGifWriter,
     .quantisesColour = true},
    {.id = LF_FORMAT_PNG, .slot = 4, .name = "PNG", .saveExtensions = {{"png", 5, kGrey}}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = true, .probed = true, .reportsFrames = false,
     // The flat surroundings of medical pictures pack as well with run-length deflate, at a
     // third of the time.
     .dicomOption = LF_PNG_FAST_DEFLATE,
     .codec = LfCodecOf<LfImagePNG>(), .endMarker = "\0\0\0\0IEND\xAE\x42\x60\x82"sv},
    {.id = LF_FORMAT_TIF, .slot = 6, .name = "TIFF", .saveExtensions = {{"tiff", 6, kGrey}, {"tif", 7, kGrey}}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = true, .probed = true, .reportsFrames = true,
     .dicomOption = kTiffLzwWithPredictor,
     .codec = LfCodecOf<LfImageTIF>()},
    {.id = LF_FORMAT_MNG, .slot = 16, .name = "MNG/JNG", .saveExtensions = {{"mng", 21, kColour}, {"jng", 22, kColour}}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = true, .dicomOption = 0,
     .codec = LfCodecOf<LfImageMNG>()},
    {.id = LF_FORMAT_TGA, .slot = 7, .name = "TGA", .saveExtensions = {{"tga", 8, kColour}}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = false, .dicomOption = 0,
     .codec = LfCodecOf<LfImageTGA>()},
    {.id = LF_FORMAT_PCX, .slot = 8, .name = "PCX", .saveExtensions = {{"pcx", 9, kColour}}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = false, .dicomOption = 0,
     .codec = LfCodecOf<LfImagePCX>()},
    {.id = LF_FORMAT_WBMP, .slot = 9, .name = "WBMP", .saveExtensions = {{"wbmp", 10, kColour}}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = false, .dicomOption = 0,
     .codec = LfCodecOf<LfImageWBMP>()},
    {.id = LF_FORMAT_WMF, .slot = 10, .name = "Windows metafile", .saveExtensions = {{"wmf", 11, kColour}, {"emf", 12, kColour}}, .inputExtensions = {},
     .reads = true, .writes = false, .writesGrey16 = false, .probed = true, .reportsFrames = false, .dicomOption = 0,
     .codec = LfCodecOf<LfImageWMF>()},
    {.id = LF_FORMAT_JP2, .slot = 11, .name = "JPEG 2000 (JP2)", .saveExtensions = {{"jp2", 13, kGrey}, {"j2k", 0, kGrey}}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = false, .dicomOption = 0,
     .codec = LfCodecOf<LfImageJAS>(), .endMarker = "\xFF\xD9"sv},
    {.id = LF_FORMAT_JPC, .slot = 12, .name = "JPEG 2000 code stream", .saveExtensions = {{"jpc", 15, kGrey}, {"j2c", 14, kGrey}}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = false, .reportsFrames = false, .dicomOption = 0,
     .codec = LfCodecOf<LfImageJAS>(), .endMarker = "\xFF\xD9"sv},
    {.id = LF_FORMAT_PGX, .slot = 13, .name = "PGX", .saveExtensions = {{"pgx", 16, kGrey}}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = false, .reportsFrames = false, .dicomOption = 0,
     .codec = LfCodecOf<LfImageJAS>()},
    {.id = LF_FORMAT_PNM, .slot = 14, .name = "PNM", .saveExtensions = {{"pnm", 17, kGrey}, {"pgm", 18, kGrey}, {"ppm", 19, kColour}}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = false, .reportsFrames = false, .dicomOption = 0,
     .codec = LfCodecOf<LfImageJAS>()},
    {.id = LF_FORMAT_RAS, .slot = 15, .name = "Sun raster", .saveExtensions = {{"ras", 20, kColour}}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = false, .reportsFrames = false, .dicomOption = 0,
     .codec = LfCodecOf<LfImageJAS>()},
    {.id = LF_FORMAT_SKA, .slot = 17, .name = "SKA", .saveExtensions = {{"ska", 23, kGrey}}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = false, .dicomOption = 0,
     .codec = LfCodecOf<LfImageSKA>()},
    {.id = LF_FORMAT_RAW, .slot = 18, .name = "camera raw", .saveExtensions = {},
     .inputExtensions = {"dng", "cr2", "cr3", "crw", "nef", "nrw", "arw", "srf", "sr2", "orf", "rw2",
                         "raf", "pef", "srw", "x3f", "3fr", "iiq", "mrw", "kdc", "dcr", "erf", "mef",
                         "mos", "rwl"},
     .reads = true, .writes = false, .writesGrey16 = false, .probed = true, .reportsFrames = false, .dicomOption = 0,
     .codec = LfCodecOf<LfImageRAW>()},
    {.id = LF_FORMAT_MP4, .slot = 19, .name = "MP4 movie", .saveExtensions = {{"mp4", 27, kColour}}, .inputExtensions = {},
     .reads = false, .writes = true, .writesGrey16 = false, .probed = false, .reportsFrames = false, .dicomOption = 0,
     .codec = {}, .endMarker = {}, .sequenceWriter = &MakeVideoWriter<kMp4Video>},
    {.id = LF_FORMAT_WEBM, .slot = 20, .name = "WebM movie", .saveExtensions = {{"webm", 28, kColour}}, .inputExtensions = {},
     .reads = false, .writes = true, .writesGrey16 = false, .probed = false, .reportsFrames = false, .dicomOption = 0,
     .codec = {}, .endMarker = {}, .sequenceWriter = &MakeVideoWriter<kWebmVideo>},
};

// The window's last target: a name without a format, kept because the window has always
// offered it.
const LfSaveName kRawWithoutFormat = {"raw", 24, kColour};

}  // namespace

std::span<const LfFormatInfo> LfFormats() { return kFormats; }

const LfFormatInfo* LfFindFormat(uint32_t id) {
    for (const LfFormatInfo& row : kFormats)
        if (row.id == id) return &row;
    return nullptr;
}

const LfSaveName* LfFindSaveName(const std::string& ext, const LfFormatInfo** rowOut) {
    for (const LfFormatInfo& row : kFormats)
        for (const LfSaveName& name : row.saveExtensions)
            if (name.ext == ext) {
                if (rowOut) *rowOut = &row;
                return &name;
            }
    return nullptr;
}

uint32_t LfFormatForExtension(const std::string& ext) {
    const LfFormatInfo* row = nullptr;
    return LfFindSaveName(ext, &row) ? row->id : LF_FORMAT_UNKNOWN;
}

std::vector<std::string> LfWindowTargets() {
    std::vector<const LfSaveName*> offered = {&kRawWithoutFormat};
    for (const LfFormatInfo& row : kFormats)
        for (const LfSaveName& name : row.saveExtensions)
            if (name.windowPosition > 0) offered.push_back(&name);
    std::stable_sort(offered.begin(), offered.end(),
                     [](const LfSaveName* a, const LfSaveName* b) { return a->windowPosition < b->windowPosition; });
    std::vector<std::string> names;
    for (const LfSaveName* name : offered) names.push_back(name->ext);
    return names;
}

uint32_t LfFormatForInputExtension(const std::string& ext) {
    for (const LfFormatInfo& row : kFormats)
        for (const std::string& e : row.inputExtensions)
            if (e == ext) return row.id;
    return LF_FORMAT_UNKNOWN;
}
