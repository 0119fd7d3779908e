// The work behind the window's buttons, without Qt: turning a DICOM frame into the current
// image, choosing a format from a file name, saving, and the folder handling of the batch.
// Nothing here changes the process's working directory, so the command-line converter may
// call these functions from several threads at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DicomReader.h"
#include "LfImage.h"

// Replaces the image with the frame's picture: a 24-bit image of the frame's size (format
// identifier 1) holding the frame's rows in the image's bottom-up order, grey or colour.
// False, with the image left empty, when the frame is not a well-formed 24-bit frame or the
// image cannot be created.
bool FrameToImage(const GreyFrame& frame, LfImage& image);

// The same picture as an 8-bit image with a grey palette: the pixels of FrameToImage's
// picture in a third of the bytes. PNG writes it as one grey channel. A colour frame gives
// FrameToImage's 24-bit picture.
bool FrameToGreyImage(const GreyFrame& frame, LfImage& image);

// A 16-bit rendering's levels (frame.deep) as a 16-bit grey image.
bool DeepFrameToImage(const GreyFrame& frame, LfImage& image);

// Whether the format identifier's codec writes 16-bit grey images.
bool WritesGrey16(uint32_t type);

// DeepFrameToImage for a 16-bit rendering; else FrameToGreyImage when the registry says the
// path's save name holds 8-bit grey exactly (a grey palette, one grey channel), FrameToImage
// for any other.
bool FrameToImageFor(const GreyFrame& frame, const std::string& path, LfImage& image);

// The extension of the path's last component, lower case, without its dot; empty when the
// component has none.
std::string SaveExtension(const std::string& path);

// Format identifier chosen by the extension of the path's last component (case does not
// matter); 0 when there is no extension or it names no writable format ("raw" included).
uint32_t FindType(const std::string& path);

// Writes the image to the path in the format its extension names. False when nothing was
// written; an existing file at the path is then left as it was.
bool SaveResultImage(const std::string& path, LfImage& image);

// Sets the codec options the registry gives DICOM pictures (TIFF: LZW with the predictor
// instead of the codec's automatic JPEG, which alters grey levels; PNG: fast deflate).
void UseDicomPictureOptions(LfImage& image);

// The folder path made absolute and lexically normal, ending in '/'. The input comes back
// unchanged when it cannot be made absolute (an empty text, for instance).
std::string FormatDir(const std::string& dir);

// The regular files directly inside the folder (no sub-folders), as absolute paths sorted by
// file name in byte order. Empty when the folder cannot be listed.
std::vector<std::string> ListBatchFiles(const std::string& sourceDir);

// Result folder + the source file's name without its last extension + "." + ext.
std::string BatchOutputPath(const std::string& resultDir, const std::string& sourceFile,
                            const std::string& ext);
