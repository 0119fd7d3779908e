// LfExifReader: walks the marker sections of a JPEG stream, keeps the EXIF block, parses its
// TIFF-style directories into an LfExifInfo record, and can write the kept sections back in
// front of freshly encoded image data.
#pragma once

#include <cstdint>

#include "LfFile.h"

// What the EXIF block and the frame header say about a picture. Texts are NUL-terminated.
struct LfExifInfo {
    char version[5];
    char cameraMake[32];
    char cameraModel[40];
    char dateTime[20];
    int height;
    int width;
    int orientation;          // 1..8, 0 when absent or undefined
    int isColor;              // the frame has 3 components
    int process;              // start-of-frame marker code
    int flashUsed;
    float focalLength;
    float exposureTime;
    float apertureFNumber;
    float distance;
    float ccdWidth;
    float exposureBias;
    int whiteBalance;
    int meteringMode;
    int exposureProgram;
    int isoEquivalent;
    int compressionLevel;
    float focalPlaneXRes;
    float focalPlaneYRes;
    float focalPlaneUnits;
    float xResolution;
    float yResolution;
    float resolutionUnit;
    float brightness;
    char comments[1000];
    const uint8_t* thumbnailPointer;  // inside the held EXIF section
    int thumbnailSize;
    bool isExif;              // the EXIF block parsed successfully
};

// One held marker section: its data starts with the two length bytes.
struct LfJpegSection {
    uint8_t* data;
    int type;
    uint32_t size;
};

class LfExifReader {
public:
    // Read modes.
    static constexpr int kReadExif = 1;       // parse the EXIF and comment sections
    static constexpr int kReadImageData = 2;  // keep everything after the scan header
    static constexpr int kMaxSections = 20;
    static constexpr int kImageDataSection = 0x123;

    // Fills the given record, or a record of its own when none is given.
    explicit LfExifReader(LfExifInfo* info = nullptr);
    ~LfExifReader();
    LfExifReader(const LfExifReader&) = delete;
    LfExifReader& operator=(const LfExifReader&) = delete;

    // Reads the sections up to the start of scan; false (with LastError) on a malformed stream.
    bool ReadSections(LfFile* stream, int mode);
    // Keeps the first EXIF and the first comment section, in that order.
    void DiscardAllButExif();
    // Writes start of image, the held sections and the image data read in kReadImageData mode.
    bool WriteSections(LfFile* stream);
    const LfJpegSection* FindSection(int type) const;

    // Parses an EXIF block (the APP1 data after its length bytes) of the given length.
    bool ParseExif(const uint8_t* block, uint32_t length);

    const char* LastError() const { return lastError_; }
    const LfExifInfo& Info() const { return *info_; }
    int SectionCount() const { return sectionCount_; }

private:
    bool Fail(const char* text);
    bool ReadMarker(LfFile* stream, int& marker);
    bool ReadRestOfStream(LfFile* stream);
    void ReadComment(const uint8_t* text, uint32_t length);
    bool ParseDirectory(uint32_t offset, int depth, bool describesPicture);
    void HandleTag(uint16_t tag, uint16_t format, const uint8_t* value, uint32_t byteCount);
    bool ParseSubDirectory(uint32_t offset, int depth, bool describesPicture);
    uint16_t Get16(const uint8_t* p) const;
    uint32_t Get32(const uint8_t* p) const;
    double NumericValue(const uint8_t* value, uint16_t format, uint32_t byteCount) const;
    void FreeSections();

    LfExifInfo* info_;
    bool ownsInfo_;
    char lastError_[256];
    uint32_t largestWidth_ = 0;
    bool motorola_ = false;       // big-endian EXIF block
    LfJpegSection sections_[kMaxSections] = {};
    int sectionCount_ = 0;
    // The TIFF header of the block being parsed and the bytes that follow it.
    const uint8_t* tiff_ = nullptr;
    uint32_t tiffLength_ = 0;
    int directoriesLeft_ = 0;
};
