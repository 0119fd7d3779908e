// What the window's details panel shows of a file: the converter's --info description and the
// patient, study and series attributes, all from the header step (no frame is read).
#pragma once

#include <string>
#include <vector>

#include "GreyRendering.h"
#include "TextAttributes.h"

struct FileDetails {
    bool described = false;  // the header step could describe the file
    std::string summary;     // as glintwise-convert --info says it
    TextAttributes text;     // the descriptive attributes, absent ones empty
    int frames = 0;          // frames the pixel data holds
    bool colour = false;     // never windowed
    std::vector<VoiWindow> windows;  // the file's own windows, with their explanations
};

// The details of a DICOM file or bare data set.
FileDetails ReadFileDetails(const std::string& path);

// The picture format a file that is not DICOM holds ("PNG", "JPEG", ...); empty when the
// image layer cannot read it either.
std::string PictureFormatOf(const std::string& path);

// A person name for people: components separated by spaces instead of "^", the alphabetic,
// ideographic and phonetic groups by " = ", empty groups left out.
std::string PersonNameForDisplay(const std::string& name);
// A DICOM date YYYYMMDD as YYYY-MM-DD; anything else as it stands.
std::string DateForDisplay(const std::string& date);
