#pragma once
// A DICOMDIR: the directory file of a CD or archive, listing patients, studies, series and
// the files holding their images. Its records are items of one sequence, linked by byte
// offsets; every link is checked against the records that exist, so a file whose links loop
// or point between records is refused, and a file ID that could leave the DICOMDIR's folder
// is refused with it. No file system access beyond the DICOMDIR itself.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "TextAttributes.h"

class DicomSource;

struct DicomDirRecord {
    std::string type;                 // "PATIENT", "STUDY", "SERIES", "IMAGE", "PRIVATE", ...
    std::vector<std::string> fileId;  // Referenced File ID components; empty when none
    TextAttributes text;              // the record's identifying attributes, decoded to UTF-8
    std::vector<size_t> children;     // records of its lower-level entity, in link order
};

struct DicomDir {
    std::vector<DicomDirRecord> records;  // every record, in file order
    std::vector<size_t> roots;            // the root entity's records in link order: the tree
};

// A DICOMDIR cannot hold more records than its bytes allow; this bounds the nesting of
// entities, which is four levels in real files.
constexpr int kMaxDicomDirDepth = 16;

// Reads the DICOMDIR from the source (a whole Part 10 file: offsets count from its first
// byte). False with the reason in error when it is not a DICOMDIR or cannot be trusted.
bool ReadDicomDir(DicomSource& source, DicomDir& dir, std::string& error);
bool ReadDicomDirFile(const std::string& path, DicomDir& dir, std::string& error);

// Whether the file starts as a DICOMDIR does: a Part 10 file whose meta group names the
// Media Storage Directory SOP class. Reads at most its first kilobyte.
bool LooksLikeDicomDir(const std::string& path);

// The Referenced File ID's components joined by '/'.
std::string FileIdText(const std::vector<std::string>& fileId);
