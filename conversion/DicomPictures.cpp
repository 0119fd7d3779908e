#include "DicomPictures.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "Conversion.h"
#include "LfColourQuantiser.h"
#include "LfFormatRegistry.h"

namespace fs = std::filesystem;

namespace {

bool Fail(const DicomReader& reader, PictureFailure& failure) {
    failure.refusal = reader.refusal();
    failure.words = WordsForRefusal(reader);
    return false;
}

bool TargetHoldsGrey(const std::string& path) {
    const LfSaveName* name = LfFindSaveName(SaveExtension(path));
    return name != nullptr && name->holdsGrey;
}

// The image stores rows bottom-up: top-down row y is image row height - 1 - y.
uint8_t* ImageRow(LfImage& image, const DicomPicture& picture, int32_t y) {
    return image.Row(static_cast<uint32_t>(picture.height - 1 - y));
}

bool MakeGrey8(const DicomPicture& p, LfImage& image) {
    if (image.Create(static_cast<uint32_t>(p.width), static_cast<uint32_t>(p.height), 8, LF_FORMAT_BMP) == nullptr)
        return false;
    image.SetGreyPalette();
    for (int32_t y = 0; y < p.height; ++y)
        std::memcpy(ImageRow(image, p, y), p.bytes.data() + size_t(y) * size_t(p.width), size_t(p.width));
    return true;
}

bool MakeGrey16(const DicomPicture& p, LfImage& image) {
    if (image.CreateGrey16(static_cast<uint32_t>(p.width), static_cast<uint32_t>(p.height), LF_FORMAT_PNG) == nullptr)
        return false;
    for (int32_t y = 0; y < p.height; ++y)
        std::memcpy(ImageRow(image, p, y), p.words.data() + size_t(y) * size_t(p.width), size_t(p.width) * 2);
    return true;
}

// 24 bits in the image's blue, green, red order; grey pictures as three equal bytes.
bool MakeColour24(const DicomPicture& p, LfImage& image) {
    if (image.Create(static_cast<uint32_t>(p.width), static_cast<uint32_t>(p.height), 24, LF_FORMAT_BMP) == nullptr)
        return false;
    const size_t width = static_cast<size_t>(p.width);
    for (int32_t y = 0; y < p.height; ++y) {
        uint8_t* row = ImageRow(image, p, y);
        const uint8_t* in = p.bytes.data() + size_t(y) * width * size_t(p.samples);
        for (size_t x = 0; x < width; ++x, row += 3) {
            if (p.samples == 3) {
                row[0] = in[3 * x + 2];
                row[1] = in[3 * x + 1];
                row[2] = in[3 * x];
            } else {
                row[0] = row[1] = row[2] = in[x];
            }
        }
    }
    return true;
}

// An 8-bit palette image of our quantiser's table, for formats of at most 256 colours.
bool MakeQuantised(const DicomPicture& p, bool dither, LfImage& image) {
    if (image.Create(static_cast<uint32_t>(p.width), static_cast<uint32_t>(p.height), 8, LF_FORMAT_BMP) == nullptr)
        return false;
    LfColourQuantiser quantiser;
    std::vector<uint8_t> indices;
    quantiser.Quantise(p.bytes.data(), p.width, p.height, size_t(p.width) * 3, dither, indices);
    LfRgbQuad* palette = image.Palette();
    for (int i = 0; i < 256; ++i) {
        const uint8_t* rgb = quantiser.Table() + 3 * std::min(i, quantiser.Size() - 1);
        palette[i] = LfRgbQuad{rgb[2], rgb[1], rgb[0], 0};
    }
    for (int32_t y = 0; y < p.height; ++y)
        std::memcpy(ImageRow(image, p, y), indices.data() + size_t(y) * size_t(p.width), size_t(p.width));
    return true;
}

bool QuantisesColour(const std::string& path) {
    const LfFormatInfo* row = LfFindFormat(FindType(path));
    return row != nullptr && row->quantisesColour;
}

bool Consistent(const DicomPicture& p) {
    if (p.empty() || (p.samples != 1 && p.samples != 3)) return false;
    const size_t pixels = size_t(p.width) * size_t(p.height);
    if (p.bits == 16) return p.samples == 1 && p.words.size() == pixels;
    return p.bits == 8 && p.bytes.size() == pixels * size_t(p.samples);
}

}  // namespace

bool ReadDicomPicture(const std::string& path, int index, const GreyRendering& rendering, bool acceptBare,
                      DicomPicture& picture, PictureFailure& failure) {
    DicomReader reader;
    reader.setRendering(rendering);
    reader.setAcceptBareDataSet(acceptBare);
    if (reader.parse(path.c_str(), 2) != 0 || !reader.picture(index, picture)) return Fail(reader, failure);
    return true;
}

bool PictureToImage(const DicomPicture& picture, GreyPixels grey, LfImage& image) {
    if (image.IsValid()) image.Destroy();
    if (!Consistent(picture)) return false;
    if (picture.bits == 16) return MakeGrey16(picture, image);
    if (picture.grey() && grey == GreyPixels::OneChannel) return MakeGrey8(picture, image);
    return MakeColour24(picture, image);
}

bool PictureToImage(const DicomPicture& picture, const std::string& targetPath, LfImage& image, bool dither) {
    if (picture.samples == 3 && Consistent(picture) && QuantisesColour(targetPath)) {
        if (image.IsValid()) image.Destroy();
        return MakeQuantised(picture, dither, image);
    }
    return PictureToImage(picture, TargetHoldsGrey(targetPath) ? GreyPixels::OneChannel : GreyPixels::ThreeChannels,
                          image);
}

std::string MakeOutputFolder(const std::string& path) {
    std::error_code ec;
    const fs::path folder = fs::path(path).parent_path();
    if (!folder.empty()) fs::create_directories(folder, ec);
    return ec ? "cannot create the folder " + folder.string() + ": " + ec.message() : "";
}

std::string SaveImage(LfImage& image, const std::string& path, const SaveChoices& choices, bool dicom,
                      const SaveSink& sink) {
    if (std::string error = MakeOutputFolder(path); !error.empty()) return error;
    image.SetJpegQuality(static_cast<float>(choices.quality));
    if (dicom) UseDicomPictureOptions(image);
    if (choices.tiffCompression != 0) image.SetCodecOption(choices.tiffCompression, LF_FORMAT_TIF);
    image.SetLastError("");
    LfPendingSave pending;
    const bool saved = sink ? image.SaveUnsynced(path.c_str(), FindType(path), pending) : SaveResultImage(path, image);
    if (!saved) {
        const std::string error = image.LastError();
        return error.empty() ? "cannot write " + path : error;
    }
    if (sink) sink(std::move(pending));
    return "";
}

std::string SaveDicomPicture(const DicomPicture& picture, const std::string& path, const SaveChoices& choices,
                             const SaveSink& sink) {
    LfImage image;
    if (!PictureToImage(picture, path, image, choices.dither)) return "cannot create the image";
    return SaveImage(image, path, choices, true, sink);
}
