#include "DicomReader.h"

#include "GreyConversion.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include <sys/stat.h>
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

// The bytes of one DICOM file, read front to back. Every read and skip is checked against
// the end, so the walk never looks past the file whatever its lengths say.
class DicomSource {
public:
    virtual ~DicomSource() = default;
    // Reads exactly n bytes, or returns false (position then undefined).
    virtual bool read(void* dst, size_t n) = 0;
    // Moves forward by n bytes if that stays inside the file.
    virtual bool skip(uint64_t n) = 0;
    virtual uint64_t remaining() const = 0;
};

namespace {

class FileSource final : public DicomSource {
public:
    // Opens a regular file; otherwise error() says why not.
    explicit FileSource(const char* path) : file_(std::fopen(path, "rb")) {
        if (!file_) {
            error_ = std::strerror(errno);
            return;
        }
        struct stat st {};
        if (fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode)) {
            size_ = static_cast<uint64_t>(st.st_size);
            return;
        }
        error_ = "not a regular file";
        std::fclose(file_);
        file_ = nullptr;
    }
    ~FileSource() override {
        if (file_) std::fclose(file_);
    }
    bool isOpen() const { return file_ != nullptr; }
    const std::string& error() const { return error_; }
    bool read(void* dst, size_t n) override {
        if (n > remaining()) return false;
        if (std::fread(dst, 1, n, file_) != n) return false;
        pos_ += n;
        return true;
    }
    bool skip(uint64_t n) override {
        if (n > remaining()) return false;
        if (n == 0) return true;
        if (fseeko(file_, static_cast<off_t>(n), SEEK_CUR) != 0) return false;
        pos_ += n;
        return true;
    }
    uint64_t remaining() const override { return size_ - pos_; }

private:
    std::FILE* file_ = nullptr;
    std::string error_;
    uint64_t size_ = 0;
    uint64_t pos_ = 0;
};

class MemorySource final : public DicomSource {
public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool read(void* dst, size_t n) override {
        if (n > remaining()) return false;
        if (n) std::memcpy(dst, data_ + pos_, n);
        pos_ += n;
        return true;
    }
    bool skip(uint64_t n) override {
        if (n > remaining()) return false;
        pos_ += static_cast<size_t>(n);
        return true;
    }
    uint64_t remaining() const override { return size_ - pos_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

constexpr char kExplicitVrLittleEndian[] = "1.2.840.10008.1.2.1";
constexpr size_t kMaxText = 64;
constexpr uint64_t kUndefinedLength = 0xFFFFFFFFu;
// Sequences nest far less deeply in real files; the limit keeps hostile files off the stack.
constexpr int kMaxNesting = 64;
// The frame is addressed with 32-bit fields; larger pictures are refused.
constexpr int64_t kMaxFrameBytes = std::numeric_limits<int32_t>::max();

uint16_t Le16(const uint8_t* b) { return static_cast<uint16_t>(b[0] | (b[1] << 8)); }
uint32_t Le32(const uint8_t* b) {
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

bool Read16(DicomSource& src, uint16_t& value) {
    uint8_t b[2];
    if (!src.read(b, 2)) return false;
    value = Le16(b);
    return true;
}

bool Read32(DicomSource& src, uint32_t& value) {
    uint8_t b[4];
    if (!src.read(b, 4)) return false;
    value = Le32(b);
    return true;
}

// Cuts trailing blanks and tabs.
void TrimRight(std::string& text) {
    const size_t end = text.find_last_not_of(" \t");
    text.erase(end == std::string::npos ? 0 : end + 1);
}

// Value representations written with 2 reserved bytes and a 32-bit length.
bool IsLongFormVr(const char vr[2]) {
    static const char* const kLong[] = {"OB", "OW", "OF", "SQ", "UT", "UN",
                                        "OD", "OL", "OV", "SV", "UV", "UC", "UR"};
    for (const char* v : kLong)
        if (vr[0] == v[0] && vr[1] == v[1]) return true;
    return false;
}

std::string VrText(const char vr[2]) {
    std::string text;
    for (int i = 0; i < 2; ++i) {
        const unsigned char c = static_cast<unsigned char>(vr[i]);
        if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        }
    }
    return text;
}

// The first value of a backslash-separated number text, locale-independent. Leading blanks
// and a '+' are allowed. False when the text does not start with a number.
template <typename T>
bool ParseFirstValue(const std::string& text, T& value) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    if (p < end && *p == '+') ++p;
    T parsed{};
    const auto result = std::from_chars(p, end, parsed);
    if (result.ec != std::errc()) return false;
    value = parsed;
    return true;
}

// Large pictures fill their buffer with far fewer page faults in 2 MiB pages.
void AdviseLargePages(void* buffer, size_t bytes) {
#if defined(MADV_HUGEPAGE)
    constexpr uintptr_t kLarge = uintptr_t{2} << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(buffer) + kLarge - 1) & ~(kLarge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(buffer) + bytes) & ~(kLarge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)buffer;
    (void)bytes;
#endif
}

}  // namespace

DicomReader::DicomReader() = default;
DicomReader::~DicomReader() = default;

GreyFrame* DicomReader::read(const char* path) {
    if (parse(path, 2) != 0) return nullptr;
    return &frame_;
}

GreyFrame* DicomReader::frame() { return frame_.pixels ? &frame_ : nullptr; }

int DicomReader::parse(const char* path, int mode) {
    if (!start(mode)) return -1;
    if (!path) {
        refuse(DicomRefusal::CannotOpen, "cannot open the file: no path");
        return -1;
    }
    FileSource source(path);
    if (!source.isOpen()) {
        refuse(DicomRefusal::CannotOpen, "cannot open the file: " + source.error());
        return -1;
    }
    return parseSource(source, mode);
}

int DicomReader::parseMemory(const uint8_t* data, size_t size, int mode) {
    if (!start(mode)) return -1;
    MemorySource source(data ? data : reinterpret_cast<const uint8_t*>(""), data ? size : 0);
    return parseSource(source, mode);
}

int DicomReader::parseSource(DicomSource& source, int mode) {
    if (!readMetaGroup(source) || !walkDataSet(source, mode)) {
        releaseFrame();
        return -1;
    }
    return 0;
}

// Forgets the previous file; false when the mode is unknown.
bool DicomReader::start(int mode) {
    releaseFrame();
    resetAttributes();
    refusal_ = DicomRefusal::None;
    refusalText_.clear();
    if (!IsKnownConversionMode(mode))
        return refuse(DicomRefusal::Layout, "unknown conversion mode " + std::to_string(mode));
    return true;
}

bool DicomReader::refuse(DicomRefusal kind, std::string text) {
    refusal_ = kind;
    refusalText_ = std::move(text);
    return false;
}

void DicomReader::resetAttributes() {
    samplesPerPixel_ = numberOfFrames_ = rows_ = columns_ = 0;
    bitsAllocated_ = highBit_ = pixelRepresentation_ = 0;
    highBitGiven_ = false;
    windowCenter_ = windowWidth_ = rescaleIntercept_ = rescaleSlope_ = 0.0f;
    transferSyntax_.clear();
    photometric_.clear();
}

void DicomReader::releaseFrame() {
    pixels_.reset();
    frame_ = GreyFrame{};
}

// Preamble, "DICM" and the file meta group, which ends with the transfer syntax accepted.
bool DicomReader::readMetaGroup(DicomSource& source) {
    char magic[4];
    if (!source.skip(128) || !source.read(magic, 4) || std::memcmp(magic, "DICM", 4) != 0)
        return refuse(DicomRefusal::NotDicom, "not a DICOM file (no \"DICM\" at byte 128)");

    // The first meta element holds the byte length of the rest of the meta group.
    uint8_t head[8];
    uint32_t groupLength = 0;
    if (!source.read(head, 8)) return refuse(DicomRefusal::Damaged, "truncated file meta group");
    if (Le16(head + 6) != 4 || !Read32(source, groupLength))
        return refuse(DicomRefusal::Damaged, "file meta group without a usable group length");

    // Read what the file holds of the group; a short group is searched as far as it goes.
    const size_t length = static_cast<size_t>(std::min<uint64_t>(groupLength, source.remaining()));
    std::string meta(length, '\0');
    if (!source.read(meta.data(), length))
        return refuse(DicomRefusal::Damaged, "truncated file meta group");
    const auto* m = reinterpret_cast<const uint8_t*>(meta.data());

    // The transfer syntax is found by its tag bytes at an even offset; its value is
    // 8 bytes after the tag.
    size_t at = 0;
    while (at + 4 <= length && !(Le16(m + at) == 0x0002 && Le16(m + at + 2) == 0x0010)) at += 2;
    if (at + 8 > length)
        return refuse(DicomRefusal::Damaged, "file meta group without a transfer syntax");
    const size_t valueLength = Le16(m + at + 6);
    if (valueLength > kMaxText || at + 8 + valueLength > length)
        return refuse(DicomRefusal::Damaged, "file meta group with a damaged transfer syntax");
    std::string uid(reinterpret_cast<const char*>(m + at + 8), valueLength);
    uid.resize(std::strlen(uid.c_str()));  // a zero byte pads or ends the value
    TrimRight(uid);
    transferSyntax_ = uid;
    if (uid != kExplicitVrLittleEndian)
        return refuse(DicomRefusal::TransferSyntax, "unsupported transfer syntax " + uid);
    return true;
}

// Walks the data set up to the pixel data, collecting the group 0x0028 attributes.
bool DicomReader::walkDataSet(DicomSource& source, int mode) {
    samplesPerPixel_ = 1;
    numberOfFrames_ = 1;
    rescaleSlope_ = 1.0f;
    for (;;) {
        uint16_t group = 0, element = 0;
        char vr[2];
        if (!Read16(source, group))
            return refuse(DicomRefusal::Damaged, "no pixel data before the end of the file");
        if (!Read16(source, element) || !source.read(vr, 2))
            return refuse(DicomRefusal::Damaged, "truncated element header");
        if (group == 0x7FE0 && element == 0x0010) return readPixelData(source, vr, mode);
        const bool ok = group == 0x0028 ? readGroup28Element(source, element, vr) : skipElement(source, vr, 0);
        if (!ok) return false;
    }
}

// The attributes of group 0x0028 the conversion needs; these all have a 16-bit length field.
// Any other element of the group is skipped by its value representation.
bool DicomReader::readGroup28Element(DicomSource& source, uint16_t element, const char vr[2]) {
    auto readNumber = [&](uint16_t& target) {
        uint16_t length = 0;
        if (!Read16(source, length)) return refuse(DicomRefusal::Damaged, "truncated element");
        if (length >= 2) {
            if (!Read16(source, target)) return refuse(DicomRefusal::Damaged, "truncated element");
            length -= 2;
        }
        if (!source.skip(length))
            return refuse(DicomRefusal::Damaged, "element length runs past the end of the file");
        return true;
    };
    // A text over 64 bytes is skipped and reads as empty.
    auto readText = [&](std::string& text) {
        uint16_t length = 0;
        if (!Read16(source, length)) return refuse(DicomRefusal::Damaged, "truncated element");
        text.clear();
        if (length > kMaxText) {
            if (!source.skip(length))
                return refuse(DicomRefusal::Damaged, "element length runs past the end of the file");
            return true;
        }
        text.resize(length);
        if (!source.read(text.data(), length)) return refuse(DicomRefusal::Damaged, "truncated element");
        TrimRight(text);
        return true;
    };
    // A number that cannot be read leaves the attribute at its starting value.
    auto readFloat = [&](float& target) {
        std::string text;
        if (!readText(text)) return false;
        ParseFirstValue(text, target);
        return true;
    };

    uint16_t ignoredNumber = 0;
    std::string text;
    switch (element) {
    case 0x0002: return readNumber(samplesPerPixel_);
    case 0x0004: return readText(photometric_);
    case 0x0008: {
        if (!readText(text)) return false;
        int frames = 0;
        if (ParseFirstValue(text, frames)) numberOfFrames_ = static_cast<uint16_t>(frames);
        return true;
    }
    case 0x0010: return readNumber(rows_);
    case 0x0011: return readNumber(columns_);
    case 0x0100: return readNumber(bitsAllocated_);
    case 0x0101: return readNumber(ignoredNumber);
    case 0x0102:
        highBitGiven_ = true;
        return readNumber(highBit_);
    case 0x0103: return readNumber(pixelRepresentation_);
    case 0x1050: return readFloat(windowCenter_);
    case 0x1051: return readFloat(windowWidth_);
    case 0x1052: return readFloat(rescaleIntercept_);
    case 0x1053: return readFloat(rescaleSlope_);
    default: return skipElement(source, vr, 0);
    }
}

bool DicomReader::skipElement(DicomSource& source, const char vr[2], int depth) {
    if (!IsLongFormVr(vr)) {
        uint16_t length = 0;
        if (!Read16(source, length)) return refuse(DicomRefusal::Damaged, "truncated element");
        if (!source.skip(length))
            return refuse(DicomRefusal::Damaged, "element length runs past the end of the file");
        return true;
    }
    uint16_t reserved = 0;
    uint32_t length = 0;
    if (!Read16(source, reserved) || !Read32(source, length))
        return refuse(DicomRefusal::Damaged, "truncated element");
    if (reserved != 0)
        return refuse(DicomRefusal::Damaged, "non-zero reserved bytes in a " + VrText(vr) + " element");
    if (length != kUndefinedLength) {
        if (!source.skip(length))
            return refuse(DicomRefusal::Damaged, "element length runs past the end of the file");
        return true;
    }
    // A value of undefined length is a list of items ended by (FFFE,E0DD). An unknown (UN)
    // value is a sequence whose items are written with implicit VRs.
    const bool implicitItems = vr[0] == 'U' && vr[1] == 'N';
    return skipItems(source, implicitItems, depth + 1);
}

// Skips items up to and including the sequence delimiter. Items of undefined length are
// walked element by element, so the delimiters of nested sequences are told from its own.
bool DicomReader::skipItems(DicomSource& source, bool implicitVr, int depth) {
    if (depth > kMaxNesting) return refuse(DicomRefusal::Damaged, "sequences nested too deeply");
    for (;;) {
        uint16_t group = 0, element = 0;
        uint32_t length = 0;
        if (!Read16(source, group) || !Read16(source, element) || !Read32(source, length))
            return refuse(DicomRefusal::Damaged, "undefined-length value without its delimiter");
        if (group == 0xFFFE && element == 0xE0DD) return true;
        if (group != 0xFFFE || element != 0xE000)
            return refuse(DicomRefusal::Damaged, "damaged item in an undefined-length value");
        if (length != kUndefinedLength) {
            if (!source.skip(length))
                return refuse(DicomRefusal::Damaged, "item length runs past the end of the file");
            continue;
        }
        if (!skipItemElements(source, implicitVr, depth)) return false;
    }
}

// Skips the elements of an item of undefined length, up to and including (FFFE,E00D).
bool DicomReader::skipItemElements(DicomSource& source, bool implicitVr, int depth) {
    for (;;) {
        uint16_t group = 0, element = 0;
        if (!Read16(source, group) || !Read16(source, element))
            return refuse(DicomRefusal::Damaged, "item without its delimiter");
        if (group == 0xFFFE && element == 0xE00D) {
            if (!source.skip(4)) return refuse(DicomRefusal::Damaged, "truncated delimiter");
            return true;
        }
        if (group == 0xFFFE) return refuse(DicomRefusal::Damaged, "damaged item in an undefined-length value");
        if (implicitVr) {
            uint32_t length = 0;
            if (!Read32(source, length)) return refuse(DicomRefusal::Damaged, "truncated element");
            if (length == kUndefinedLength) {
                if (!skipItems(source, true, depth + 1)) return false;
            } else if (!source.skip(length)) {
                return refuse(DicomRefusal::Damaged, "element length runs past the end of the file");
            }
            continue;
        }
        char vr[2];
        if (!source.read(vr, 2)) return refuse(DicomRefusal::Damaged, "truncated element header");
        if (!skipElement(source, vr, depth)) return false;
    }
}

// Reads the pixel data value and converts its first frame into the grey frame.
bool DicomReader::readPixelData(DicomSource& source, const char vr[2], int mode) {
    if (bitsAllocated_ == 0) bitsAllocated_ = 16;
    if (!highBitGiven_) highBit_ = static_cast<uint16_t>(bitsAllocated_ - 1);
    if (!((vr[0] == 'O' && vr[1] == 'B') || (vr[0] == 'O' && vr[1] == 'W')))
        return refuse(DicomRefusal::Layout, "pixel data stored as " + VrText(vr));
    if (bitsAllocated_ != 8 && bitsAllocated_ != 16)
        return refuse(DicomRefusal::Layout, std::to_string(bitsAllocated_) + " bits allocated");
    if (samplesPerPixel_ != 1)
        return refuse(DicomRefusal::Layout, std::to_string(samplesPerPixel_) + " samples per pixel");
    if (rows_ == 0 || columns_ == 0)
        return refuse(DicomRefusal::Layout, std::to_string(rows_) + " rows and " +
                                                std::to_string(columns_) + " columns");
    const int bytesPerSample = bitsAllocated_ / 8;
    const int64_t frameSamples = int64_t{rows_} * columns_;
    const int64_t stride = FrameStride(columns_);
    if (stride * rows_ > kMaxFrameBytes || frameSamples * bytesPerSample > kMaxFrameBytes)
        return refuse(DicomRefusal::Layout, "a picture of " + std::to_string(columns_) + " x " +
                                                std::to_string(rows_) + " pixels is too large");

    uint16_t reserved = 0;
    uint32_t length = 0;
    if (!Read16(source, reserved) || !Read32(source, length))
        return refuse(DicomRefusal::Damaged, "truncated pixel data element");
    if (length > source.remaining())
        return refuse(DicomRefusal::Damaged, "pixel data runs past the end of the file");
    ConversionSettings settings;
    settings.pixelRepresentation = pixelRepresentation_;
    settings.highBit = highBit_;
    settings.rescaleSlope = rescaleSlope_;
    settings.rescaleIntercept = rescaleIntercept_;
    settings.windowCenter = windowCenter_;
    settings.windowWidth = windowWidth_;
    settings.mode = mode;

    // Only the first frame is shown, but every frame the value holds takes part in the
    // min-max stretch; a value shorter than the frames announced holds fewer of them, one
    // shorter than a frame is refused.
    const int64_t available = length / bytesPerSample;
    if (available < frameSamples)
        return refuse(DicomRefusal::Damaged, "pixel data holds fewer than rows x columns samples");
    const int64_t frames = UsesStretch(settings) ? std::max<int64_t>(numberOfFrames_, 1) : 1;
    const int64_t count = std::min(available, frames * frameSamples);
    const size_t sampleBytes = static_cast<size_t>(count * bytesPerSample);

    // One buffer serves the samples and then, converted in place, the frame.
    const size_t frameBytes = static_cast<size_t>(stride * rows_);
    const size_t bufferBytes = std::max(sampleBytes, frameBytes);
    uint8_t* buffer = static_cast<uint8_t*>(std::malloc(bufferBytes));
    if (!buffer) return refuse(DicomRefusal::Damaged, "out of memory for the pixel data");
    AdviseLargePages(buffer, bufferBytes);
    pixels_.reset(buffer);
    if (!source.read(buffer, sampleBytes))
        return refuse(DicomRefusal::Damaged, "pixel data runs past the end of the file");

    LevelTable table;
    MakeLevelTable(buffer, static_cast<size_t>(count), bytesPerSample, settings, table);
    // MONOCHROME1 pictures show their smallest value as white.
    if (photometric_ == "MONOCHROME1")
        for (uint8_t& level : table) level = static_cast<uint8_t>(255 - level);
    FillFrameInPlace(buffer, rows_, columns_, bytesPerSample, pixelRepresentation_, table);
    if (sampleBytes > frameBytes) {
        // Later frames are not shown: give their memory back.
        if (void* smaller = std::realloc(buffer, frameBytes)) {
            pixels_.release();
            pixels_.reset(static_cast<uint8_t*>(smaller));
        }
    }

    frame_.numFrames = numberOfFrames_;
    frame_.frameBytes = static_cast<int32_t>(frameSamples);
    frame_.width = columns_;
    frame_.height = rows_;
    frame_.bytesPerSample = 1;
    frame_.stride = static_cast<int32_t>(stride);
    frame_.pixels = pixels_.get();
    return true;
}

DicomRefusal DicomReader::refusal() const { return refusal_; }
const std::string& DicomReader::refusalText() const { return refusalText_; }
uint16_t DicomReader::rows() const { return rows_; }
uint16_t DicomReader::columns() const { return columns_; }
uint16_t DicomReader::bitsAllocated() const { return bitsAllocated_; }
uint16_t DicomReader::highBit() const { return highBit_; }
uint16_t DicomReader::pixelRepresentation() const { return pixelRepresentation_; }
float DicomReader::windowCenter() const { return windowCenter_; }
float DicomReader::windowWidth() const { return windowWidth_; }
float DicomReader::rescaleSlope() const { return rescaleSlope_; }
float DicomReader::rescaleIntercept() const { return rescaleIntercept_; }
const std::string& DicomReader::transferSyntax() const { return transferSyntax_; }
