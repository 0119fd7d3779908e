// A DICOMDIR as an input of a run: the files its records reference, found in its folder the
// way CDs store them (names in any letter case, with or without ";1"), each with the
// attributes of the records above it; and its tree with counts for --info.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "DicomDir.h"

namespace convert {

struct DicomDirFile {
    std::string path;     // the file as found, or as named when missing
    std::string display;  // the DICOMDIR's folder as shown + the file ID with '/'
    std::string rel;      // the file ID's folders, '/'-separated
    std::string stem;     // the file ID's last component without extension
    std::map<uint32_t, std::string> attributes;  // patient, study, series and image records' values
    std::string error;    // why the file cannot be read (missing, outside the folder)
};

// The DICOMDIR directly inside the folder (its name in any letter case), or empty.
std::string DicomDirInFolder(const std::string& folder);

// The files the DICOMDIR references, in the order of its tree. False with the reason when
// the DICOMDIR is refused.
bool ListDicomDirFiles(const std::string& dicomdir, const std::string& shownFolder,
                       std::vector<DicomDirFile>& files, std::string& error);

// "DICOMDIR, 2 patients, 6 studies, 13 series, 31 images", then a line for each patient,
// study and series with what lies below it.
std::string DescribeDicomDir(const DicomDir& dir);

}  // namespace convert
