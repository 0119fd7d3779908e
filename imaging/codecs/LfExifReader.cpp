#include "LfExifReader.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr int kMarkerSOI = 0xD8;
constexpr int kMarkerEOI = 0xD9;
constexpr int kMarkerSOS = 0xDA;
constexpr int kMarkerJFIF = 0xE0;
constexpr int kMarkerEXIF = 0xE1;
constexpr int kMarkerCOM = 0xFE;

// Directories nest at most this deep (the first directory is depth 0).
constexpr int kMaxNesting = 5;
// Directories may link to each other and to themselves; this bounds the work on any block.
constexpr int kMaxDirectories = 64;
// The user comment keeps at most this many characters.
constexpr uint32_t kUserCommentLength = 199;

// Bytes of one component of each directory entry format 1..12.
constexpr uint32_t kFormatSize[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};

enum ExifTag : uint16_t {
    TagMake = 0x010F,
    TagModel = 0x0110,
    TagOrientation = 0x0112,
    TagXResolution = 0x011A,
    TagYResolution = 0x011B,
    TagResolutionUnit = 0x0128,
    TagThumbnailOffset = 0x0201,
    TagThumbnailLength = 0x0202,
    TagExposureTime = 0x829A,
    TagFNumber = 0x829D,
    TagExifOffset = 0x8769,
    TagExposureProgram = 0x8822,
    TagIsoEquivalent = 0x8827,
    TagExifVersion = 0x9000,
    TagDateTimeOriginal = 0x9003,
    TagCompressionLevel = 0x9102,
    TagShutterSpeed = 0x9201,
    TagAperture = 0x9202,
    TagBrightness = 0x9203,
    TagExposureBias = 0x9204,
    TagMaxAperture = 0x9205,
    TagSubjectDistance = 0x9206,
    TagMeteringMode = 0x9207,
    TagWhiteBalance = 0x9208,
    TagFlash = 0x9209,
    TagFocalLength = 0x920A,
    TagUserComment = 0x9286,
    TagExifImageWidth = 0xA002,
    TagExifImageHeight = 0xA003,
    TagInteropOffset = 0xA005,
    TagFocalPlaneXRes = 0xA20E,
    TagFocalPlaneYRes = 0xA20F,
    TagFocalPlaneUnits = 0xA210,
};

// Values come from untrusted files: out-of-range doubles must not reach an int or a float.
int ToInt(double v) {
    if (!(v == v)) return 0;
    if (v >= static_cast<double>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
    if (v <= static_cast<double>(std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
    return static_cast<int>(v);
}

float ToFloat(double v) {
    const double limit = std::numeric_limits<float>::max();
    if (v > limit) return std::numeric_limits<float>::infinity();
    if (v < -limit) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

// Inch, centimetre, millimetre and micrometre units as fractions of an inch; other unit codes
// leave the field as it was.
void ApplyUnit(float& field, int unit) {
    switch (unit) {
    case 1: case 2: field = 1.0f; break;
    case 3: field = 0.3937007874f; break;
    case 4: field = 0.03937007874f; break;
    case 5: field = 0.00003937007874f; break;
    default: break;
    }
}

// Copies at most maxChars bytes of a text value, stopping at its first NUL.
void CopyText(char* target, size_t maxChars, const uint8_t* value, uint32_t byteCount) {
    size_t n = 0;
    while (n < maxChars && n < byteCount && value[n] != 0) {
        target[n] = static_cast<char>(value[n]);
        ++n;
    }
    target[n] = '\0';
}

bool IsStartOfFrame(int marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

}  // namespace

LfExifReader::LfExifReader(LfExifInfo* info) : info_(info), ownsInfo_(info == nullptr) {
    if (ownsInfo_) info_ = new LfExifInfo;
    std::memset(info_, 0, sizeof(LfExifInfo));
    lastError_[0] = '\0';
}

LfExifReader::~LfExifReader() {
    FreeSections();
    if (ownsInfo_) delete info_;
}

void LfExifReader::FreeSections() {
    for (int i = 0; i < sectionCount_; ++i) std::free(sections_[i].data);
    std::memset(sections_, 0, sizeof(sections_));
    sectionCount_ = 0;
}

bool LfExifReader::Fail(const char* text) {
    std::strncpy(lastError_, text, sizeof(lastError_) - 1);
    lastError_[sizeof(lastError_) - 1] = '\0';
    return false;
}

// Padding 0xFF bytes may precede a marker code; the first other byte is the code.
bool LfExifReader::ReadMarker(LfFile* stream, int& marker) {
    for (int padding = 0;; ++padding) {
        const int c = stream->GetC();
        if (c < 0) return Fail("Premature end of file?");
        if (c != 0xFF) {
            marker = c;
            return true;
        }
        if (padding >= 6) return Fail("too many padding bytes");
    }
}

bool LfExifReader::ReadSections(LfFile* stream, int mode) {
    if (!stream) return Fail("null file handler");
    if (stream->GetC() != 0xFF || stream->GetC() != kMarkerSOI) return Fail("Not a JPEG file");

    while (sectionCount_ < kMaxSections) {
        int marker = 0;
        if (!ReadMarker(stream, marker)) return false;
        if (marker == kMarkerEOI) return Fail("No image in jpeg!");

        const int hi = stream->GetC();
        const int lo = stream->GetC();
        if (hi < 0 || lo < 0) return Fail("Premature end of file?");
        const uint32_t length = (static_cast<uint32_t>(hi) << 8) | static_cast<uint32_t>(lo);
        if (length < 2) return Fail("invalid marker");

        uint8_t* data = static_cast<uint8_t*>(std::malloc(length));
        if (!data) return Fail("Could not allocate memory");
        data[0] = static_cast<uint8_t>(hi);
        data[1] = static_cast<uint8_t>(lo);
        if (stream->Read(data + 2, 1, length - 2) != length - 2) {
            std::free(data);
            return Fail("Premature end of file?");
        }
        LfJpegSection& section = sections_[sectionCount_];
        section = {data, marker, length};
        bool keep = true;

        if (IsStartOfFrame(marker)) {
            // Precision (byte 2), height, width, component count; a shorter header says nothing.
            if (length >= 8) {
                info_->height = (data[3] << 8) | data[4];
                info_->width = (data[5] << 8) | data[6];
                info_->isColor = data[7] == 3;
                info_->process = marker;
            }
        } else if (marker == kMarkerSOS) {
            ++sectionCount_;
            if (mode & kReadImageData) return ReadRestOfStream(stream);
            return true;
        } else if (marker == kMarkerJFIF) {
            keep = false;
        } else if (marker == kMarkerEXIF) {
            keep = (mode & kReadExif) && length >= 6 && std::memcmp(data + 2, "Exif", 4) == 0;
            if (keep) info_->isExif = ParseExif(data + 2, length - 2);
        } else if (marker == kMarkerCOM) {
            keep = (mode & kReadExif) && !FindSection(kMarkerCOM);
            if (keep) ReadComment(data + 2, length - 2);
        }

        if (keep) {
            ++sectionCount_;
        } else {
            std::free(data);
            section = {};
        }
    }
    return Fail("Too many sections in jpg file");
}

// The compressed data and everything after it, kept as one pseudo-section.
bool LfExifReader::ReadRestOfStream(LfFile* stream) {
    if (sectionCount_ >= kMaxSections) return Fail("Too many sections in jpg file");
    const int32_t position = stream->Tell();
    const int32_t end = stream->Size();
    if (position < 0 || end < position) return Fail("could not read the rest of the image");
    const uint32_t size = static_cast<uint32_t>(end - position);
    uint8_t* data = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (!data) return Fail("could not allocate data for entire image");
    if (stream->Read(data, 1, size) != size) {
        std::free(data);
        return Fail("could not read the rest of the image");
    }
    sections_[sectionCount_++] = {data, kImageDataSection, size};
    return true;
}

// Printable characters, LF and TAB are kept; a CR before an LF is dropped; anything else
// becomes '?'. The record's text stays NUL-terminated.
void LfExifReader::ReadComment(const uint8_t* text, uint32_t length) {
    const uint32_t limit = length < sizeof(info_->comments) ? length : sizeof(info_->comments);
    size_t out = 0;
    for (uint32_t i = 0; i < limit && out + 1 < sizeof(info_->comments); ++i) {
        const uint8_t c = text[i];
        if (c == '\r' && i + 1 < length && text[i + 1] == '\n') continue;
        const bool keep = (c >= 0x20 && c < 0x7F) || c == '\n' || c == '\t';
        info_->comments[out++] = keep ? static_cast<char>(c) : '?';
    }
    info_->comments[out] = '\0';
}

const LfJpegSection* LfExifReader::FindSection(int type) const {
    for (int i = 0; i < sectionCount_; ++i)
        if (sections_[i].type == type) return &sections_[i];
    return nullptr;
}

void LfExifReader::DiscardAllButExif() {
    LfJpegSection exif = {};
    LfJpegSection comment = {};
    for (int i = 0; i < sectionCount_; ++i) {
        LfJpegSection& s = sections_[i];
        if (s.type == kMarkerEXIF && !exif.data) {
            exif = s;
        } else if (s.type == kMarkerCOM && !comment.data) {
            comment = s;
        } else {
            std::free(s.data);
        }
    }
    std::memset(sections_, 0, sizeof(sections_));
    sectionCount_ = 0;
    if (exif.data) sections_[sectionCount_++] = exif;
    if (comment.data) sections_[sectionCount_++] = comment;
}

bool LfExifReader::WriteSections(LfFile* stream) {
    if (!stream) return Fail("null file handler");
    bool haveScan = false;
    for (int i = 0; i + 1 < sectionCount_; ++i)
        if (sections_[i].type == kMarkerSOS) haveScan = true;
    if (!haveScan) return Fail("Can't write exif : didn't read all");

    static const uint8_t kStart[2] = {0xFF, kMarkerSOI};
    static const uint8_t kJfifHeader[18] = {0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46, 0x00,
                                            0x01, 0x01, 0x01, 0x01, 0x2C, 0x01, 0x2C, 0x00, 0x00};
    bool ok = stream->Write(kStart, 1, 2) == 2;
    if (sections_[0].type != kMarkerEXIF && sections_[0].type != kMarkerJFIF)
        ok = ok && stream->Write(kJfifHeader, 1, sizeof(kJfifHeader)) == sizeof(kJfifHeader);
    for (int i = 0; ok && i + 1 < sectionCount_; ++i) {
        const uint8_t marker[2] = {0xFF, static_cast<uint8_t>(sections_[i].type)};
        ok = stream->Write(marker, 1, 2) == 2 &&
             stream->Write(sections_[i].data, 1, sections_[i].size) == sections_[i].size;
    }
    const LfJpegSection& image = sections_[sectionCount_ - 1];
    ok = ok && stream->Write(image.data, 1, image.size) == image.size;
    if (!ok) return Fail("Write Error in JPEG file");
    return true;
}

uint16_t LfExifReader::Get16(const uint8_t* p) const {
    return motorola_ ? static_cast<uint16_t>((p[0] << 8) | p[1]) : static_cast<uint16_t>((p[1] << 8) | p[0]);
}

uint32_t LfExifReader::Get32(const uint8_t* p) const {
    if (motorola_)
        return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
               (static_cast<uint32_t>(p[2]) << 8) | p[3];
    return (static_cast<uint32_t>(p[3]) << 24) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[1]) << 8) | p[0];
}

// A value too short for its format (component count 0) reads as 0.
double LfExifReader::NumericValue(const uint8_t* value, uint16_t format, uint32_t byteCount) const {
    if (byteCount < kFormatSize[format]) return 0.0;
    switch (format) {
    case 1: return value[0];
    case 3: return Get16(value);
    case 4: return Get32(value);
    case 5:
    case 10: {
        const uint32_t num = Get32(value);
        const uint32_t den = Get32(value + 4);
        if (den == 0) return 0.0;
        if (format == 5) return static_cast<double>(num) / den;
        return static_cast<double>(static_cast<int32_t>(num)) / static_cast<int32_t>(den);
    }
    case 6: return static_cast<int8_t>(value[0]);
    case 8: return static_cast<int16_t>(Get16(value));
    case 9: return static_cast<int32_t>(Get32(value));
    case 11: {
        const uint32_t bits = Get32(value);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    case 12: {
        uint64_t bits;
        if (motorola_) {
            bits = (static_cast<uint64_t>(Get32(value)) << 32) | Get32(value + 4);
        } else {
            bits = (static_cast<uint64_t>(Get32(value + 4)) << 32) | Get32(value);
        }
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    default: return 0.0;  // texts and undefined bytes
    }
}

bool LfExifReader::ParseExif(const uint8_t* block, uint32_t length) {
    info_->flashUsed = 0;
    info_->comments[0] = '\0';
    largestWidth_ = 0;

    static const uint8_t kExifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (length < 14 || std::memcmp(block, kExifHeader, 6) != 0) return Fail("Incorrect Exif header");
    if (block[6] == 'I' && block[7] == 'I') {
        motorola_ = false;
    } else if (block[6] == 'M' && block[7] == 'M') {
        motorola_ = true;
    } else {
        return Fail("Invalid Exif alignment marker.");
    }
    if (Get16(block + 8) != 42) return Fail("Invalid Exif start (1)");

    // Offsets count from the TIFF header.
    tiff_ = block + 6;
    tiffLength_ = length - 6;
    directoriesLeft_ = kMaxDirectories;
    if (!ParseDirectory(8, 0, true)) return false;
    const uint32_t first = Get32(block + 10);
    if (first > 8 && !ParseDirectory(first, 0, true)) return false;

    if (info_->focalPlaneXRes != 0.0f)
        info_->ccdWidth = ToFloat(static_cast<double>(largestWidth_) * info_->focalPlaneUnits /
                                  info_->focalPlaneXRes);
    return true;
}

// Directories reached through a next-directory link describe the thumbnail (IFD1 and beyond);
// their resolution and orientation are not the picture's.
bool LfExifReader::ParseDirectory(uint32_t offset, int depth, bool describesPicture) {
    if (depth >= kMaxNesting) return Fail("Maximum directory nesting exceeded (corrupt exif header)");
    if (--directoriesLeft_ < 0) return Fail("Too many directories (corrupt exif header)");
    if (offset > tiffLength_ || tiffLength_ - offset < 2) return Fail("Illegally sized directory");

    const uint8_t* dir = tiff_ + offset;
    const uint32_t entries = Get16(dir);
    const uint64_t dirEnd = static_cast<uint64_t>(offset) + 2 + 12ull * entries;
    if (dirEnd > tiffLength_) return Fail("Illegally sized directory");

    uint32_t thumbOffset = 0;
    uint32_t thumbLength = 0;
    for (uint32_t i = 0; i < entries; ++i) {
        const uint8_t* entry = dir + 2 + 12 * i;
        const uint16_t tag = Get16(entry);
        const uint16_t format = Get16(entry + 2);
        const uint32_t components = Get32(entry + 4);
        if (format < 1 || format > 12) return Fail("Illegal format code in EXIF dir");

        const uint64_t byteCount = static_cast<uint64_t>(components) * kFormatSize[format];
        const uint8_t* value = entry + 8;
        if (byteCount > 4) {
            const uint32_t valueOffset = Get32(entry + 8);
            if (valueOffset + byteCount > tiffLength_) return Fail("Illegal pointer offset value in EXIF.");
            value = tiff_ + valueOffset;
        }

        if (tag == TagExifOffset || tag == TagInteropOffset) {
            if (!ParseSubDirectory(Get32(value), depth, describesPicture)) return false;
            continue;
        }
        if (tag == TagThumbnailOffset || tag == TagThumbnailLength) {
            const double v = NumericValue(value, format, static_cast<uint32_t>(byteCount));
            const uint32_t n = v > 0 ? static_cast<uint32_t>(std::fmin(v, 4294967295.0)) : 0;
            (tag == TagThumbnailOffset ? thumbOffset : thumbLength) = n;
            continue;
        }
        if (!describesPicture && (tag == TagXResolution || tag == TagYResolution ||
                                  tag == TagResolutionUnit || tag == TagOrientation))
            continue;
        HandleTag(tag, format, value, static_cast<uint32_t>(byteCount));
    }

    // A link to a further directory follows the entries when the directory leaves room for it.
    if (dirEnd + 4 <= tiffLength_) {
        const uint32_t next = Get32(tiff_ + dirEnd);
        if (next != 0) {
            if (next >= tiffLength_) return Fail("Illegal subdirectory link");
            if (!ParseDirectory(next, depth + 1, false)) return false;
        }
    }

    if (thumbOffset != 0 && thumbLength != 0 &&
        static_cast<uint64_t>(thumbOffset) + thumbLength <= tiffLength_ && thumbLength <= INT32_MAX) {
        info_->thumbnailPointer = tiff_ + thumbOffset;
        info_->thumbnailSize = static_cast<int>(thumbLength);
    }
    return true;
}

bool LfExifReader::ParseSubDirectory(uint32_t offset, int depth, bool describesPicture) {
    if (offset >= tiffLength_) return Fail("Illegal subdirectory link");
    if (offset < 9) return true;
    return ParseDirectory(offset, depth + 1, describesPicture);
}

void LfExifReader::HandleTag(uint16_t tag, uint16_t format, const uint8_t* value, uint32_t byteCount) {
    LfExifInfo& x = *info_;
    const double v = NumericValue(value, format, byteCount);
    switch (tag) {
    case TagMake: CopyText(x.cameraMake, sizeof x.cameraMake - 1, value, byteCount); break;
    case TagModel: CopyText(x.cameraModel, sizeof x.cameraModel - 1, value, byteCount); break;
    case TagDateTimeOriginal: CopyText(x.dateTime, sizeof x.dateTime - 1, value, byteCount); break;
    case TagExifVersion: {
        const uint32_t n = byteCount < 4 ? byteCount : 4;
        std::memcpy(x.version, value, n);
        x.version[n] = '\0';
        break;
    }
    case TagOrientation:
        x.orientation = ToInt(v);
        if (x.orientation < 1 || x.orientation > 8) {
            Fail("Undefined rotation value");
            x.orientation = 0;
        }
        break;
    case TagFlash: x.flashUsed = (ToInt(v) & 7) != 0; break;
    case TagFocalLength: x.focalLength = ToFloat(v); break;
    case TagExposureTime: x.exposureTime = ToFloat(v); break;
    case TagShutterSpeed:
        if (x.exposureTime == 0.0f) x.exposureTime = ToFloat(1.0 / std::exp2(v));
        break;
    case TagFNumber: x.apertureFNumber = ToFloat(v); break;
    case TagAperture:
    case TagMaxAperture:
        if (x.apertureFNumber == 0.0f) x.apertureFNumber = ToFloat(std::exp2(v / 2));
        break;
    case TagSubjectDistance: x.distance = ToFloat(v); break;
    case TagExposureBias: x.exposureBias = ToFloat(v); break;
    case TagWhiteBalance: x.whiteBalance = ToInt(v); break;
    case TagMeteringMode: x.meteringMode = ToInt(v); break;
    case TagExposureProgram: x.exposureProgram = ToInt(v); break;
    case TagIsoEquivalent: {
        const int iso = ToInt(v);
        x.isoEquivalent = iso < 50 ? ToInt(static_cast<double>(iso) * 200) : iso;
        break;
    }
    case TagCompressionLevel: x.compressionLevel = ToInt(v); break;
    case TagFocalPlaneXRes: x.focalPlaneXRes = ToFloat(v); break;
    case TagFocalPlaneYRes: x.focalPlaneYRes = ToFloat(v); break;
    case TagFocalPlaneUnits: ApplyUnit(x.focalPlaneUnits, ToInt(v)); break;
    case TagXResolution: x.xResolution = ToFloat(v); break;
    case TagYResolution: x.yResolution = ToFloat(v); break;
    case TagResolutionUnit: ApplyUnit(x.resolutionUnit, ToInt(v)); break;
    case TagBrightness: x.brightness = ToFloat(v); break;
    case TagExifImageWidth:
    case TagExifImageHeight: {
        const int size = ToInt(v);
        if (size > 0 && static_cast<uint32_t>(size) > largestWidth_) largestWidth_ = static_cast<uint32_t>(size);
        break;
    }
    case TagUserComment: {
        // Trailing spaces end the text; an "ASCII" character-code prefix and the padding
        // after it are skipped. The held section itself is left as it is.
        uint32_t end = byteCount;
        while (end > 0 && value[end - 1] == ' ') --end;
        uint32_t start = 0;
        if (end >= 5 && std::memcmp(value, "ASCII", 5) == 0) {
            start = end;  // nothing to copy unless a character follows the prefix
            for (uint32_t a = 5; a < 10 && a < end; ++a) {
                if (value[a] != 0 && value[a] != ' ') {
                    start = a;
                    break;
                }
            }
        }
        CopyText(x.comments, kUserCommentLength, value + start, end - start);
        break;
    }
    default: break;
    }
}
