#include "LfFormatRegistry.h"

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

namespace {

using std::string_view_literals::operator""sv;

// One row per identifier, in the probe order. A row without codec calls names a format the
// window offers but no codec serves yet: encoding and decoding it fail, the probe skips it.
// The JPEG 2000 family (11 to 15) is one class; its first row probes for all five.
const std::vector<LfFormatInfo> kFormats = {
    {.id = LF_FORMAT_BMP, .slot = 1, .name = "BMP", .saveExtensions = {"bmp"}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = false,
     .codec = LfCodecOf<LfImageBMP>()},
    {.id = LF_FORMAT_JPG, .slot = 3, .name = "JPEG", .saveExtensions = {"jpg", "jpeg", "jpe"}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = false,
     .codec = LfCodecOf<LfImageJPG>(), .endMarker = "\xFF\xD9"sv},
    {.id = LF_FORMAT_ICO, .slot = 5, .name = "ICO", .saveExtensions = {"ico"}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = true,
     .codec = LfCodecOf<LfImageICO>()},
    {.id = LF_FORMAT_GIF, .slot = 2, .name = "GIF", .saveExtensions = {"gif"}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = true,
     .codec = LfCodecOf<LfImageGIF>(), .endMarker = "\x3B"sv},
    {.id = LF_FORMAT_PNG, .slot = 4, .name = "PNG", .saveExtensions = {"png"}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = true, .probed = true, .reportsFrames = false,
     .codec = LfCodecOf<LfImagePNG>(), .endMarker = "\0\0\0\0IEND\xAE\x42\x60\x82"sv},
    {.id = LF_FORMAT_TIF, .slot = 6, .name = "TIFF", .saveExtensions = {"tiff", "tif"}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = true, .probed = true, .reportsFrames = true,
     .codec = LfCodecOf<LfImageTIF>()},
    {.id = LF_FORMAT_MNG, .slot = 16, .name = "MNG/JNG", .saveExtensions = {"mng", "jng"}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = true,
     .codec = LfCodecOf<LfImageMNG>()},
    {.id = LF_FORMAT_TGA, .slot = 7, .name = "TGA", .saveExtensions = {"tga"}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = false,
     .codec = LfCodecOf<LfImageTGA>()},
    {.id = LF_FORMAT_PCX, .slot = 8, .name = "PCX", .saveExtensions = {"pcx"}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = false,
     .codec = LfCodecOf<LfImagePCX>()},
    {.id = LF_FORMAT_WBMP, .slot = 9, .name = "WBMP", .saveExtensions = {"wbmp"}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = false,
     .codec = LfCodecOf<LfImageWBMP>()},
    {.id = LF_FORMAT_WMF, .slot = 10, .name = "Windows metafile", .saveExtensions = {"wmf", "emf"}, .inputExtensions = {},
     .reads = true, .writes = false, .writesGrey16 = false, .probed = true, .reportsFrames = false,
     .codec = LfCodecOf<LfImageWMF>()},
    {.id = LF_FORMAT_JP2, .slot = 11, .name = "JPEG 2000 (JP2)", .saveExtensions = {"jp2", "j2k"}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = false,
     .codec = LfCodecOf<LfImageJAS>(), .endMarker = "\xFF\xD9"sv},
    {.id = LF_FORMAT_JPC, .slot = 12, .name = "JPEG 2000 code stream", .saveExtensions = {"jpc", "j2c"}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = false, .reportsFrames = false,
     .codec = LfCodecOf<LfImageJAS>(), .endMarker = "\xFF\xD9"sv},
    {.id = LF_FORMAT_PGX, .slot = 13, .name = "PGX", .saveExtensions = {"pgx"}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = false, .reportsFrames = false,
     .codec = LfCodecOf<LfImageJAS>()},
    {.id = LF_FORMAT_PNM, .slot = 14, .name = "PNM", .saveExtensions = {"pnm", "pgm", "ppm"}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = false, .reportsFrames = false,
     .codec = LfCodecOf<LfImageJAS>()},
    {.id = LF_FORMAT_RAS, .slot = 15, .name = "Sun raster", .saveExtensions = {"ras"}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = false, .reportsFrames = false,
     .codec = LfCodecOf<LfImageJAS>()},
    {.id = LF_FORMAT_SKA, .slot = 17, .name = "SKA", .saveExtensions = {"ska"}, .inputExtensions = {},
     .reads = true, .writes = true, .writesGrey16 = false, .probed = true, .reportsFrames = false,
     .codec = LfCodecOf<LfImageSKA>()},
    {.id = LF_FORMAT_RAW, .slot = 18, .name = "camera raw", .saveExtensions = {},
     .inputExtensions = {"dng", "cr2", "cr3", "crw", "nef", "nrw", "arw", "srf", "sr2", "orf", "rw2",
                         "raf", "pef", "srw", "x3f", "3fr", "iiq", "mrw", "kdc", "dcr", "erf", "mef",
                         "mos", "rwl"},
     .reads = true, .writes = false, .writesGrey16 = false, .probed = true, .reportsFrames = false,
     .codec = LfCodecOf<LfImageRAW>()},
};

}  // namespace

std::span<const LfFormatInfo> LfFormats() { return kFormats; }

const LfFormatInfo* LfFindFormat(uint32_t id) {
    for (const LfFormatInfo& row : kFormats)
        if (row.id == id) return &row;
    return nullptr;
}

uint32_t LfFormatForExtension(const std::string& ext) {
    for (const LfFormatInfo& row : kFormats)
        for (const std::string& e : row.saveExtensions)
            if (e == ext) return row.id;
    return LF_FORMAT_UNKNOWN;
}

uint32_t LfFormatForInputExtension(const std::string& ext) {
    for (const LfFormatInfo& row : kFormats)
        for (const std::string& e : row.inputExtensions)
            if (e == ext) return row.id;
    return LF_FORMAT_UNKNOWN;
}
