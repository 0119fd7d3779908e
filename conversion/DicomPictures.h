// The one way from a DICOM file to a saved picture: the window's Open, Save As and Batch and
// the converter all come through here, so the same file and target give the same bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "DicomReader.h"
#include "LfImage.h"
#include "LfPendingSave.h"
#include "RefusalWords.h"

// Takes a job's saves when a run commits them in groups: each output, written in full to its
// temporary, is handed over instead of being synced and renamed at once.
using SaveSink = std::function<void(LfPendingSave)>;

// How a picture is saved beyond the format its name chooses.
struct SaveChoices {
    int quality = 90;              // JPEG and JPEG 2000
    uint32_t tiffCompression = 0;  // a TIFF compression code; 0: the registry's choice
    bool dither = false;           // Floyd-Steinberg when a colour picture is quantised (GIF)
};

// Why a file gave no picture: the reader's kind of refusal and the user's words for it.
struct PictureFailure {
    DicomRefusal refusal = DicomRefusal::None;
    RefusalWords words;
    std::string text() const { return EnglishWords(words); }
};

// Reads the file as DICOM (a bare data set too when acceptBare) and renders frame `index`
// with the rendering. False with the failure filled in.
bool ReadDicomPicture(const std::string& path, int index, const GreyRendering& rendering, bool acceptBare,
                      DicomPicture& picture, PictureFailure& failure);

// The image object the target named by the path holds for the picture: one grey channel where
// the registry says the save name holds 8-bit grey, 16-bit grey for 16-bit pictures, else 24
// bits (grey as three equal channels). False when the picture is empty.
bool PictureToImage(const DicomPicture& picture, const std::string& targetPath, LfImage& image,
                    bool dither = false);
// The same with the choice made: grey pictures in one grey channel or three equal ones.
enum class GreyPixels { OneChannel, ThreeChannels };
bool PictureToImage(const DicomPicture& picture, GreyPixels grey, LfImage& image);

// Saves the picture to the path in the format its extension names, with the registry's
// options for DICOM pictures, creating the path's folder when missing: synced and renamed
// over the path at once, or handed to the sink when one is given. Empty on success, else the
// reason; a failed save leaves an existing file as it was.
std::string SaveDicomPicture(const DicomPicture& picture, const std::string& path, const SaveChoices& choices,
                             const SaveSink& sink = nullptr);

// Makes the folder the output path names, as every save does first; the reason when it
// cannot be made, else empty.
std::string MakeOutputFolder(const std::string& path);

// The same save for an image already built (pictures that are not DICOM pass dicom = false
// and keep the codecs' own defaults).
std::string SaveImage(LfImage& image, const std::string& path, const SaveChoices& choices, bool dicom,
                      const SaveSink& sink = nullptr);
