// The work behind the window's buttons, without Qt: choosing a format from a file name,
// saving, and the folder handling of the batch.
// Nothing here changes the process's working directory, so the command-line converter may
// call these functions from several threads at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "LfImage.h"

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
