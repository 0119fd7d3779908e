#include "DicomReader.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <string>

#include "ColourConversion.h"
#include "DataSetOpening.h"
#include "DicomSource.h"
#include "ElementReader.h"
#include "SopClassNames.h"

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace {

constexpr size_t kMaxText = 64;
// Palette tables hold at most 65536 16-bit entries; segmented ones are shorter.
constexpr size_t kMaxPaletteBytes = 65536 * 2;
// An extended offset table lists 8 bytes per frame.
constexpr size_t kMaxOffsetTableBytes = size_t{8} << 24;

// Cuts trailing blanks, tabs and zero bytes (a zero byte pads UIDs).
void TrimRight(std::string& text) {
    const size_t end = text.find_last_not_of(std::string(" \t\0", 3));
    text.erase(end == std::string::npos ? 0 : end + 1);
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

uint64_t Le64(const uint8_t* b, bool bigEndian) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t{b[bigEndian ? 7 - i : i]} << (8 * i);
    return v;
}

}  // namespace

DicomReader::DicomReader() = default;
DicomReader::~DicomReader() = default;

GreyFrame* DicomReader::read(const char* path) {
    if (parse(path, 2) != 0) return nullptr;
    GreyFrame* first = frame();
    // Only the first frame is asked for: the file can be closed.
    closeSource();
    return first;
}

uint64_t DicomReader::bytesRead() const { return file_ ? file_->bytesRead() : bytesRead_; }

GreyFrame* DicomReader::frame() { return pictureIndex_ < 0 ? nullptr : renderFrame(pictureIndex_); }

int DicomReader::parse(const char* path, int mode) {
    if (!start(mode)) return -1;
    if (!path) {
        refuse(DicomRefusal::CannotOpen, "cannot open the file: no path");
        return -1;
    }
    auto source = std::make_unique<FileSource>(path);
    if (!source->isOpen()) {
        refuse(DicomRefusal::CannotOpen, "cannot open the file: " + source->error());
        return -1;
    }
    return parseSource(std::move(source), mode);
}

// The bytes are copied: frames are read from them after the call, when the caller's own may
// be gone.
int DicomReader::parseMemory(const uint8_t* data, size_t size, int mode) {
    if (!start(mode)) return -1;
    if (data) memoryCopy_.assign(data, data + size);
    return parseSource(std::make_unique<MemorySource>(memoryCopy_.data(), memoryCopy_.size()), mode);
}

int DicomReader::parseHeader(const char* path) {
    headerOnly_ = true;
    const int result = parse(path, 2);
    headerOnly_ = false;
    return result;
}

int DicomReader::parseHeaderMemory(const uint8_t* data, size_t size) {
    headerOnly_ = true;
    const int result = parseMemory(data, size, 2);
    headerOnly_ = false;
    return result;
}

int DicomReader::parseSource(std::unique_ptr<DicomSource> source, int mode) {
    file_ = source.get();
    source_ = std::move(source);
    bool ok = false;
    if (openDataSet(*source_)) {
        const DataSetEncoding encoding{syntax_->explicitVr && !implicitVrData_, syntax_->bigEndian};
        if (syntax_->deflated) {
            auto inflating = std::make_unique<InflatingSource>(std::move(source_));
            inflating_ = inflating.get();
            source_ = std::move(inflating);
        }
        ElementReader reader(*source_, encoding);
        ok = walkDataSet(reader, mode);
    }
    bytesRead_ = file_->bytesRead();
    if (!ok) {
        releaseFrame();
        releaseSamples();
        return -1;
    }
    return 0;
}

// Forgets the previous file; false when the mode is unknown.
bool DicomReader::start(int mode) {
    releaseFrame();
    releaseSamples();
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
    bitsAllocated_ = bitsStored_ = highBit_ = pixelRepresentation_ = planarConfiguration_ = 0;
    highBitGiven_ = false;
    windowCenter_ = windowWidth_ = rescaleIntercept_ = rescaleSlope_ = 0.0f;
    transferSyntax_.clear();
    photometric_.clear();
    sopClass_.clear();
    pixelEncoding_.clear();
    syntax_ = nullptr;
    paletteSource_ = PaletteSource{};
    greyReader_ = GreyAttributeReader{};
    grey_ = GreyAttributes{};
    greyProblem_.clear();
    overlayReader_ = OverlayReader{};
    overlays_.clear();
    extendedOffsets_.clear();
    extendedLengths_.clear();
    text_.clear();
}

void DicomReader::releaseFrame() {
    pixels_.reset();
    frame_ = GreyFrame{};
    renderedFrame_ = -1;
    picture_ = DicomPicture{};
    pictureIndex_ = -1;
}

void DicomReader::releaseSamples() {
    closeSource();
    samples_.reset();
    samplesFrame_ = -1;
    frames_ = 0;
    table_.reset();
    palette_ = PaletteTables{};
}

// Keeps the count of bytes read; the frames can no longer be read.
void DicomReader::closeSource() {
    if (file_) bytesRead_ = file_->bytesRead();
    source_.reset();
    file_ = nullptr;
    inflating_ = nullptr;
    memoryCopy_ = std::vector<uint8_t>();
    encapsulated_ = EncapsulatedPixels{};
    decoder_ = nullptr;
    packed_ = std::vector<uint8_t>();
    compressed_ = std::vector<uint8_t>();
}

// A Part 10 file (preamble, "DICM", meta group), else a bare data set when allowed.
bool DicomReader::openDataSet(DicomSource& source) {
    DataSetStart start;
    const Opening opening = OpenDataSet(source, acceptBareDataSet_, start);
    transferSyntax_ = start.uid;
    syntax_ = start.syntax;
    implicitVrData_ = start.implicitVrData;
    switch (opening) {
    case Opening::Opened: return true;
    case Opening::NotDicom: return refuse(DicomRefusal::NotDicom, "not a DICOM file (no \"DICM\" at byte 128)");
    case Opening::UnknownSyntax: return refuse(DicomRefusal::TransferSyntax, "unsupported transfer syntax " + start.uid);
    case Opening::Damaged: break;
    }
    return refuse(DicomRefusal::Damaged, start.error);
}

// Walks the data set up to the pixel data, collecting the attributes the rendering needs.
bool DicomReader::walkDataSet(ElementReader& reader, int mode) {
    samplesPerPixel_ = 1;
    numberOfFrames_ = 1;
    rescaleSlope_ = 1.0f;
    for (;;) {
        ElementHeader h;
        switch (reader.next(h)) {
        case ElementReader::Next::End: {
            if (inflating_ && !inflating_->error().empty()) return refuse(DicomRefusal::Damaged, inflating_->error());
            const std::string name = SopClassName(sopClass_);
            return refuse(DicomRefusal::NoPixelData, name.empty() ? "no pixel data before the end of the file"
                                                                  : "no pixel data (" + name + ")");
        }
        case ElementReader::Next::Error:
            return refuse(DicomRefusal::Damaged, inflating_ && !inflating_->error().empty() ? inflating_->error() : reader.error());
        case ElementReader::Next::Element: break;
        }
        if (h.is(0x7FE0, 0x0010)) return readPixelData(reader, h, mode);
        if (!readAttribute(reader, h)) return false;
    }
}

// The attributes the conversion needs; any other element is skipped. A number keeps its
// starting value when its value is shorter than 2 bytes or cannot be parsed.
bool DicomReader::readAttribute(ElementReader& reader, const ElementHeader& h) {
    auto damaged = [&] { return refuse(DicomRefusal::Damaged, reader.error()); };
    std::vector<uint8_t> value;
    auto readNumber = [&](uint16_t& target) {
        if (h.length > kMaxText) return reader.skipValue(h) || damaged();
        if (!reader.readValue(h, value, kMaxText)) return damaged();
        if (value.size() >= 2) target = reader.u16(value.data());
        return true;
    };
    // A text over 64 bytes is skipped and reads as empty.
    auto readText = [&](std::string& text) {
        text.clear();
        if (h.length > kMaxText) return reader.skipValue(h) || damaged();
        if (!reader.readValue(h, value, kMaxText)) return damaged();
        text.assign(value.begin(), value.end());
        TrimRight(text);
        return true;
    };
    // Table data in 16-bit words, kept little-endian.
    auto readWords = [&](std::vector<uint8_t>& target, size_t limit) {
        if (!reader.readValue(h, target, limit)) return refuse(DicomRefusal::Damaged, reader.error());
        if (reader.encoding().bigEndian) SwapToLittleEndian(target.data(), target.size(), 2);
        return true;
    };
    auto readOffsets = [&](std::vector<uint64_t>& target) {
        if (!reader.readValue(h, value, kMaxOffsetTableBytes)) return damaged();
        for (size_t i = 0; i + 8 <= value.size(); i += 8)
            target.push_back(Le64(&value[i], reader.encoding().bigEndian));
        return true;
    };

    std::string text;
    if (GreyAttributeReader::wants(h)) return readGreyAttribute(reader, h);
    if (OverlayReader::wants(h)) return overlayReader_.read(reader, h) || damaged();
    if (h.is(0x0008, 0x0016)) return readText(sopClass_);
    if (h.is(0x7FE0, 0x0001)) return readOffsets(extendedOffsets_);
    if (h.is(0x7FE0, 0x0002)) return readOffsets(extendedLengths_);
    if (const size_t kept = TextAttributes::keptLength(Tag(h.group, h.element)); kept != 0)
        return keepText(reader, h, kept) || damaged();
    if (h.group != 0x0028) return reader.skipValue(h) || damaged();
    switch (h.element) {
    case 0x0002: return readNumber(samplesPerPixel_);
    case 0x0004: return readText(photometric_);
    case 0x0006: return readNumber(planarConfiguration_);
    case 0x0008: {
        if (!readText(text)) return false;
        int frames = 0;
        if (ParseFirstValue(text, frames)) numberOfFrames_ = static_cast<uint16_t>(frames);
        return true;
    }
    case 0x0010: return readNumber(rows_);
    case 0x0011: return readNumber(columns_);
    case 0x0100: return readNumber(bitsAllocated_);
    case 0x0101: return readNumber(bitsStored_);
    case 0x0102:
        highBitGiven_ = true;
        return readNumber(highBit_);
    case 0x0103: return readNumber(pixelRepresentation_);
    case 0x1101:
    case 0x1102:
    case 0x1103: {
        const int c = h.element - 0x1101;
        if (!reader.readValue(h, value, kMaxText)) return damaged();
        if (value.size() < 6) return refuse(DicomRefusal::Layout, "palette descriptor of " + std::to_string(value.size()) + " bytes");
        for (int i = 0; i < 3; ++i) paletteSource_.descriptor[c][i] = reader.u16(&value[2 * i]);
        paletteSource_.hasDescriptor[c] = true;
        return true;
    }
    case 0x1201:
    case 0x1202:
    case 0x1203: return readWords(paletteSource_.data[h.element - 0x1201], kMaxPaletteBytes);
    case 0x1221:
    case 0x1222:
    case 0x1223: return readWords(paletteSource_.segmented[h.element - 0x1221], kMaxPaletteBytes);
    default: return reader.skipValue(h) || damaged();
    }
}

// A descriptive attribute; one too long to be a real value (or a sequence) reads as absent.
bool DicomReader::keepText(ElementReader& reader, const ElementHeader& h, size_t limit) {
    if (h.undefinedLength() || h.length > limit) return reader.skipValue(h);
    std::vector<uint8_t> value;
    if (!reader.readValue(h, value, limit)) return false;
    text_.keep(Tag(h.group, h.element), std::string(value.begin(), value.end()));
    return true;
}

// The elements of the grey rendering. The window and rescale values also feed the reader's
// own conversion, which reads the first value of a text of at most 64 bytes. A sequence the
// rendering cannot read is skipped as any other element would be, and the standard rendering
// refuses the file later: the reader's own conversion does not depend on it.
bool DicomReader::readGreyAttribute(ElementReader& reader, const ElementHeader& h) {
    const uint64_t start = reader.source().position();
    std::string text;
    if (!greyReader_.read(reader, h, text)) {
        if (!reader.source().seek(start) || !reader.skipValue(h)) return refuse(DicomRefusal::Damaged, reader.error());
        if (greyProblem_.empty()) greyProblem_ = "damaged grey attributes: " + greyReader_.error();
        return true;
    }
    if (h.group != 0x0028 || h.length > kMaxText) return true;
    switch (h.element) {
    case 0x1050: ParseFirstValue(text, windowCenter_); break;
    case 0x1051: ParseFirstValue(text, windowWidth_); break;
    case 0x1052: ParseFirstValue(text, rescaleIntercept_); break;
    case 0x1053: ParseFirstValue(text, rescaleSlope_); break;
    default: break;
    }
    return true;
}

// Checks the layout, reads every frame's samples and renders the first frame.
bool DicomReader::readPixelData(ElementReader& reader, const ElementHeader& h, int mode) {
    if (bitsAllocated_ == 0) bitsAllocated_ = 16;
    if (!highBitGiven_) highBit_ = static_cast<uint16_t>(bitsAllocated_ - 1);
    if (bitsStored_ == 0) bitsStored_ = static_cast<uint16_t>(std::min<int>(highBit_ + 1, bitsAllocated_));
    if (reader.encoding().explicitVr && !h.hasVr("OB") && !h.hasVr("OW"))
        return refuse(DicomRefusal::Layout, "pixel data stored as " + VrText(h.vr));

    layout_ = PixelLayout{};
    layout_.rows = rows_;
    layout_.columns = columns_;
    layout_.samplesPerPixel = samplesPerPixel_;
    layout_.bitsAllocated = bitsAllocated_;
    layout_.bitsStored = bitsStored_;
    layout_.highBit = highBit_;
    layout_.pixelRepresentation = pixelRepresentation_;
    layout_.planarConfiguration = planarConfiguration_;
    std::string error;
    if (!CheckLayout(layout_, photometric_, error)) return refuse(DicomRefusal::Layout, error);
    ParsePhotometric(photometric_, samplesPerPixel_, layout_.photometric);
    if (layout_.photometric == Photometric::Palette && !BuildPalette(paletteSource_, pixelRepresentation_, palette_, error))
        return refuse(DicomRefusal::Layout, error);

    grey_ = greyReader_.finish(pixelRepresentation_);
    grey_.problem = greyProblem_;
    // Compressed frames come as items of an undefined length, native ones as one value.
    if (h.undefinedLength() != syntax_->encapsulated)
        return refuse(DicomRefusal::Damaged, h.undefinedLength()
                                                 ? "pixel data of undefined length in " + std::string(syntax_->name)
                                                 : std::string(syntax_->name) + " pixel data with a defined length");
    if (headerOnly_) {
        const bool described = readPixelHeader(reader, h);
        overlays_ = overlayReader_.finish(layout_, described ? frames_ : 0, nullptr);
        return described;
    }
    const bool found = h.undefinedLength() ? findEncapsulatedFrames(reader) : findNativeFrames(reader, h);
    // Overlay bits kept in the pixel data are taken from each frame as it is rendered.
    overlays_ = overlayReader_.finish(layout_, found ? frames_ : 0, nullptr);
    return found && prepareRendering(mode) && renderPicture(0);
}

// A native value: where it starts; its frames are read when asked for.
bool DicomReader::findNativeFrames(ElementReader& reader, const ElementHeader& h) {
    if (!checkNativeLength(reader, h)) return false;
    frames_ = std::max<int>(numberOfFrames_, 1);
    valueStart_ = reader.source().position();
    valueLength_ = h.length;
    bigEndianPixels_ = reader.encoding().bigEndian;
    // Big-endian words come whole, so a value read in pairs is read from even positions.
    swapPairs_ = bigEndianPixels_ && (layout_.bitsAllocated == 16 || h.hasVr("OW"));
    const size_t frameBytes = layout_.frameSamples() * static_cast<size_t>(layout_.sampleBytes());
    uint8_t* buffer = static_cast<uint8_t*>(std::malloc(frameBytes));
    if (!buffer) return refuse(DicomRefusal::Damaged, "out of memory for the pixel data");
    AdviseLargePages(buffer, frameBytes);
    samples_.reset(buffer);
    return true;
}

// A native value must lie inside the file and hold at least one frame.
// The frames after the first are checked when asked for: those the file holds in full
// convert whatever became of the rest.
bool DicomReader::checkNativeLength(ElementReader& reader, const ElementHeader& h) {
    pixelEncoding_ = "native";
    const uint64_t remaining = reader.source().remaining();
    const uint64_t frameBytes = (layout_.frameBits() + 7) / 8;
    if (uint64_t{h.length} < frameBytes)
        return refuse(DicomRefusal::Damaged, "pixel data ends " + std::to_string(frameBytes - h.length) +
                                                 " bytes early: it holds fewer than rows x columns samples");
    if (frameBytes > remaining)
        return refuse(DicomRefusal::Damaged, "pixel data ends " + std::to_string(frameBytes - remaining) +
                                                 " bytes early: the value runs past the end of the file");
    return true;
}

// The header step's end: the checks the full read makes before its first frame, on the
// value's length and the offset table only.
bool DicomReader::readPixelHeader(ElementReader& reader, const ElementHeader& h) {
    if (!h.undefinedLength()) {
        if (!checkNativeLength(reader, h)) return false;
        frames_ = std::max<int>(numberOfFrames_, 1);
        return true;
    }
    EncapsulatedPixels pixels;
    if (!ReadOffsetTable(reader, pixels)) return refuse(DicomRefusal::Damaged, reader.error());
    pixelEncoding_ = "encapsulated";
    if (!FindFrameDecoder(*syntax_))
        return refuse(DicomRefusal::TransferSyntax, std::string(syntax_->name) + " pixel data is not supported yet (" +
                                                        syntax_->uid + ")");
    frames_ = std::max<int>(numberOfFrames_, 1);
    return checkDecodedSize();
}

// Takes the layout the decoder gives. A compressed frame may claim far more than the file
// holds; one decoded frame stays within what an inflated data set may grow to.
bool DicomReader::checkDecodedSize() {
    layout_ = DecodedLayout(*syntax_, layout_);
    const size_t frameBytes = layout_.frameSamples() * static_cast<size_t>(layout_.sampleBytes());
    if (uint64_t{frameBytes} > kMaxInflatedBytes)
        return refuse(DicomRefusal::Layout, "a frame of " + std::to_string(frameBytes) + " bytes is too large");
    return true;
}

// Encapsulated pixel data: the fragments are found and split into frames; a frame's fragments
// are read and go to the decoder of the transfer syntax when it is asked for.
bool DicomReader::findEncapsulatedFrames(ElementReader& reader) {
    EncapsulatedPixels& pixels = encapsulated_;
    pixels = EncapsulatedPixels{};
    pixels.extendedOffsets = extendedOffsets_;
    pixels.extendedLengths = extendedLengths_;
    if (!ReadEncapsulated(reader, pixels)) return refuse(DicomRefusal::Damaged, reader.error());
    pixelEncoding_ = "encapsulated, " + std::to_string(pixels.fragments.size()) +
                     (pixels.fragments.size() == 1 ? " fragment" : " fragments");
    std::string error;
    const size_t announced = std::max<size_t>(numberOfFrames_, 1);
    if (!SplitFrames(pixels, announced, error)) return refuse(DicomRefusal::Damaged, error);
    decoder_ = FindFrameDecoder(*syntax_);
    if (!decoder_)
        return refuse(DicomRefusal::TransferSyntax, std::string(syntax_->name) + " pixel data is not supported yet (" +
                                                        syntax_->uid + ")");
    if (!checkDecodedSize()) return false;
    const size_t frameBytes = layout_.frameSamples() * static_cast<size_t>(layout_.sampleBytes());
    uint8_t* buffer = static_cast<uint8_t*>(std::malloc(frameBytes));
    if (!buffer) return refuse(DicomRefusal::Damaged, "out of memory for the pixel data");
    samples_.reset(buffer);
    frames_ = static_cast<int>(announced);
    return true;
}

// Frame index's samples into samples_, read from the source unless held already.
bool DicomReader::readFrame(int index) {
    if (index == samplesFrame_) return true;
    samplesFrame_ = -1;
    if (!source_ || !samples_ || index < 0 || index >= frames_)
        return refuse(DicomRefusal::Layout, "frame " + std::to_string(index) + " requested, the file has " +
                                                std::to_string(frames_) + (frames_ == 1 ? " frame" : " frames"));
    const bool read = decoder_ ? readEncapsulatedFrame(index, samples_.get()) : readNativeFrame(index, samples_.get());
    bytesRead_ = file_->bytesRead();
    if (read) samplesFrame_ = index;
    return read;
}

bool DicomReader::readEncapsulatedFrame(int index, uint8_t* out) {
    if (!ReadFrameBytes(*source_, encapsulated_, static_cast<size_t>(index), compressed_))
        return refuse(DicomRefusal::Damaged, "frame " + std::to_string(index) + ": pixel data fragment runs past the end of the file");
    std::string error;
    if (!decoder_(compressed_.data(), compressed_.size(), layout_, out, error, decodeThreads_))
        return refuse(DicomRefusal::Damaged, "frame " + std::to_string(index) + ": " + error);
    return true;
}

// Bytes of the native value the source holds: its length, or less when the file ends first.
uint64_t DicomReader::nativeBytesHeld() const {
    const uint64_t end = source_->position() + source_->remaining();
    return end <= valueStart_ ? 0 : std::min<uint64_t>(valueLength_, end - valueStart_);
}

// A frame the pixel data does not hold in full (frameEnd: the byte of the value after it).
bool DicomReader::missingFrame(int index, uint64_t frameEnd) {
    if (inflating_ && !inflating_->error().empty())
        return refuse(DicomRefusal::Damaged, "frame " + std::to_string(index) + ": " + inflating_->error());
    return refuse(DicomRefusal::Damaged,
                  "pixel data ends " + std::to_string(frameEnd - std::min(frameEnd, nativeBytesHeld())) + " bytes early");
}

// A native frame: its bytes at its offset in the value, swapped to little-endian and 1-bit
// samples unpacked.
bool DicomReader::readNativeFrame(int index, uint8_t* out) {
    const uint64_t frameBits = layout_.frameBits();
    const uint64_t firstBit = uint64_t(index) * frameBits;
    const uint64_t first = firstBit / 8, end = (firstBit + frameBits + 7) / 8;
    uint64_t from = first, to = end;
    if (swapPairs_) {
        from &= ~uint64_t{1};
        to = std::min<uint64_t>(valueLength_, to + (to & 1));
    }
    if (end > nativeBytesHeld()) return missingFrame(index, end);
    const bool direct = layout_.bitsAllocated != 1 && from == first && to == end;
    if (!direct) packed_.resize(static_cast<size_t>(to - from));
    uint8_t* bytes = direct ? out : packed_.data();
    if (!source_->seek(valueStart_ + from) || !source_->read(bytes, static_cast<size_t>(to - from)))
        return missingFrame(index, end);
    if (bigEndianPixels_)
        SwapToLittleEndian(bytes, static_cast<size_t>(to - from), layout_.bitsAllocated == 32 ? 4 : swapPairs_ ? 2 : 1);
    if (direct) return true;
    if (layout_.bitsAllocated == 1) {
        // Packed bits, the first sample in the lowest bit of each byte; frames start mid-byte.
        const uint64_t skipBits = firstBit - from * 8;
        const size_t samples = layout_.frameSamples();
        for (size_t i = 0; i < samples; ++i) {
            const uint64_t bit = skipBits + i;
            out[i] = static_cast<uint8_t>((packed_[static_cast<size_t>(bit >> 3)] >> (bit & 7)) & 1);
        }
        return true;
    }
    std::memcpy(out, packed_.data() + (first - from), static_cast<size_t>(end - first));
    return true;
}

// Calls visit(index, samples) for every frame the pixel data holds in full, one after another;
// the frames missing are left for when they are asked for.
template <typename Visit>
void DicomReader::forEachWholeFrame(Visit visit) {
    const DicomRefusal refusal = refusal_;
    const std::string text = refusalText_;
    for (int f = 0; f < frames_; ++f)
        if (readFrame(f)) visit(f, samples_.get());
    refusal_ = refusal;
    refusalText_ = text;
}

// The grey mapping over every frame (or the palette, built earlier). Only a min-max stretch
// looks at the samples: the frames are then read one after another to find the range, and
// again when rendered.
bool DicomReader::prepareRendering(int mode) {
    settings_ = ConversionSettings{};
    settings_.pixelRepresentation = pixelRepresentation_;
    settings_.highBit = highBit_;
    settings_.rescaleSlope = rescaleSlope_;
    settings_.rescaleIntercept = rescaleIntercept_;
    settings_.windowCenter = windowCenter_;
    settings_.windowWidth = windowWidth_;
    settings_.mode = mode;
    if (layout_.isColour()) return true;
    if (rendering_.standardPath()) return prepareStandardRendering();
    if (layout_.bitsAllocated == 32) {
        prepareWideMapping();
        return true;
    }
    prepareLevelTable();
    // MONOCHROME1 pictures show their smallest value as white.
    if (layout_.photometric == Photometric::Monochrome1)
        for (uint8_t& level : *table_) level = static_cast<uint8_t>(255 - level);
    return true;
}

void DicomReader::prepareLevelTable() {
    table_ = std::make_unique<LevelTable>();
    const int bytes = layout_.sampleBytes();
    const size_t count = layout_.frameSamples();
    if (!UsesStretch(settings_)) {
        MakeLevelTableForPatterns({}, settings_, *table_);
    } else if (frames_ == 1) {
        forEachWholeFrame([&](int, const uint8_t* samples) { MakeLevelTable(samples, count, bytes, settings_, *table_); });
    } else {
        std::vector<uint8_t> seen;
        forEachWholeFrame([&](int, const uint8_t* samples) {
            MarkSamplePatterns(samples, count, bytes, pixelRepresentation_, seen);
        });
        MakeLevelTableForPatterns(seen, settings_, *table_);
    }
}

void DicomReader::prepareWideMapping() {
    wide_ = MakeWideMapping(nullptr, 0, settings_);
    if (!UsesStretch(settings_)) return;
    bool any = false;
    forEachWholeFrame([&](int, const uint8_t* samples) {
        wide_ = JoinWideMappings(wide_, MakeWideMapping(samples, layout_.frameSamples(), settings_), any);
        any = true;
    });
}

int DicomReader::frameCount() const { return frames_; }

// Frame index as the neutral picture: the one rendering every other form is made from.
bool DicomReader::renderPicture(int index) {
    if (index == pictureIndex_) return true;
    if (!readFrame(index)) return false;
    const uint8_t* samples = samples_.get();
    const size_t count = layout_.pixels();
    DicomPicture picture;
    picture.width = columns_;
    picture.height = rows_;
    if (layout_.isColour()) {
        picture.samples = 3;
        picture.bytes.resize(count * 3);
        RenderColourFrame(samples, layout_, &palette_, picture.bytes.data(), int64_t{columns_} * 3);
        // The colour steps write the image object's blue, green, red order.
        for (size_t i = 0; i < count; ++i) std::swap(picture.bytes[3 * i], picture.bytes[3 * i + 2]);
    } else if (rendering_.standardPath()) {
        if (!renderStandardLevels(index, samples, picture)) return false;
    } else if (layout_.bitsAllocated == 32) {
        picture.bytes.resize(count);
        const bool invert = layout_.photometric == Photometric::Monochrome1;
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* p = samples + 4 * i;
            const uint8_t level = wide_.level(p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24));
            picture.bytes[i] = invert ? static_cast<uint8_t>(255 - level) : level;
        }
    } else {
        // The reader's own conversion: the file's window when it has one, else a stretch.
        picture.windowed = !UsesStretch(settings_);
        picture.windowCentre = settings_.windowCenter;
        picture.windowWidth = settings_.windowWidth;
        picture.bytes.resize(count);
        const int bytes = layout_.sampleBytes();
        for (size_t i = 0; i < count; ++i)
            picture.bytes[i] = (*table_)[SamplePattern(samples + i * static_cast<size_t>(bytes), bytes, pixelRepresentation_)];
    }
    const bool bitsInPixels = std::any_of(overlays_.begin(), overlays_.end(),
                                          [](const OverlayPlane& p) { return p.bitPosition >= 0 && p.usable(); });
    DrawOverlays(bitsInPixels ? PlanesOfFrame(overlays_, layout_, index, samples) : overlays_, rendering_.overlays,
                 index, picture);
    picture_ = std::move(picture);
    pictureIndex_ = index;
    renderedFrame_ = -1;
    return true;
}

// The 24-bit frame of the older interface, made from the neutral picture: grey levels as
// three equal bytes (a 16-bit picture's upper bytes, its levels in deep), colour in blue,
// green, red order, rows padded to 4 bytes.
GreyFrame* DicomReader::renderFrame(int index) {
    if (!renderPicture(index)) return nullptr;
    if (renderedFrame_ == index && frame_.pixels) return &frame_;
    const int64_t stride = FrameStride(columns_);
    uint8_t* buffer = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(stride * rows_), 1));
    if (!buffer) {
        refuse(DicomRefusal::Damaged, "out of memory for the frame");
        return nullptr;
    }
    pixels_.reset(buffer);
    const DicomPicture& p = picture_;
    for (int32_t y = 0; y < p.height; ++y) {
        uint8_t* row = buffer + y * stride;
        const size_t first = static_cast<size_t>(y) * static_cast<size_t>(p.width);
        for (size_t x = 0; x < static_cast<size_t>(p.width); ++x, row += 3) {
            if (p.samples == 3) {
                const uint8_t* rgb = &p.bytes[3 * (first + x)];
                row[0] = rgb[2];
                row[1] = rgb[1];
                row[2] = rgb[0];
            } else {
                row[0] = row[1] = row[2] = p.bits == 16 ? static_cast<uint8_t>(p.words[first + x] >> 8) : p.bytes[first + x];
            }
        }
    }
    frame_.numFrames = numberOfFrames_;
    frame_.frameBytes = static_cast<int32_t>(layout_.frameSamples());
    frame_.width = columns_;
    frame_.height = rows_;
    frame_.bytesPerSample = 1;
    frame_.stride = static_cast<int32_t>(stride);
    frame_.pixels = buffer;
    frame_.colour = p.samples == 3;
    frame_.deep = p.bits == 16 ? p.words.data() : nullptr;
    renderedFrame_ = index;
    return &frame_;
}

bool DicomReader::picture(int index, DicomPicture& out) {
    if (!renderPicture(index)) return false;
    out = picture_;
    return true;
}

std::string DicomReader::transferSyntaxName() const {
    const TransferSyntax* syntax = FindTransferSyntax(transferSyntax_);
    return syntax ? syntax->name : "";
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

StoredBits DicomReader::storedBits() const {
    StoredBits bits;
    bits.bitsStored = std::clamp<int>(layout_.bitsStored, 1, 32);
    // A high bit beyond the sample would shift the stored bits out of the word altogether.
    bits.highBit = std::clamp<int>(layout_.highBit, bits.bitsStored - 1,
                                   std::max<int>(bits.bitsStored - 1, layout_.bitsAllocated - 1));
    bits.isSigned = layout_.pixelRepresentation != 0;
    return bits;
}

namespace {

uint32_t SampleAt(const uint8_t* samples, size_t i, int bytes) {
    const uint8_t* p = samples + i * static_cast<size_t>(bytes);
    if (bytes == 1) return p[0];
    if (bytes == 2) return p[0] | (uint32_t{p[1]} << 8);
    return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

}  // namespace

// The min-max stretch spans the modality values of every whole frame, each frame through its
// own modality step. The standard rendering needs it for frames without a window or VOI LUT.
bool DicomReader::prepareStandardRendering() {
    lowestModality_ = highestModality_ = 0.0;
    bool stretch = rendering_.mode == VoiMode::MinMax;
    if (rendering_.mode == VoiMode::Standard || rendering_.mode == VoiMode::File)
        for (int f = 0; f < frames_ && !stretch; ++f) stretch = !FrameHasVoi(grey_, f);
    if (!stretch) return true;
    const StoredBits bits = storedBits();
    const int bytes = layout_.sampleBytes();
    const size_t frameSamples = layout_.frameSamples();
    bool any = false;
    forEachWholeFrame([&](int f, const uint8_t* samples) {
        const FrameGreyValues frame = ValuesForFrame(grey_, f);
        int64_t lo = 0, hi = 0;
        for (size_t i = 0; i < frameSamples; ++i) {
            const int64_t v = bits.value(SampleAt(samples, i, bytes));
            if (i == 0 || v < lo) lo = v;
            if (i == 0 || v > hi) hi = v;
        }
        // The rescale keeps or reverses the order; a Modality LUT needs every value looked at.
        std::vector<double> values = {ModalityValue(frame, lo), ModalityValue(frame, hi)};
        if (frame.hasModalityLut)
            for (size_t i = 0; i < frameSamples; ++i) values.push_back(ModalityValue(frame, bits.value(SampleAt(samples, i, bytes))));
        for (double v : values) {
            if (!any || v < lowestModality_) lowestModality_ = v;
            if (!any || v > highestModality_) highestModality_ = v;
            any = true;
        }
    });
    return true;
}

// One grey frame through the standard steps: levels of every stored value evaluated once
// when there are fewer possible values than samples, else sample by sample; 8-bit levels in
// bytes, 16-bit ones in words.
bool DicomReader::renderStandardLevels(int index, const uint8_t* samples, DicomPicture& picture) {
    const StoredBits bits = storedBits();
    StandardLevels levels;
    std::string error;
    const bool monochrome1 = layout_.photometric == Photometric::Monochrome1;
    if (!levels.prepare(ValuesForFrame(grey_, index), bits, monochrome1, rendering_, lowestModality_,
                        highestModality_, error))
        return refuse(DicomRefusal::Rendering, error);
    picture.windowed = levels.window(picture.windowCentre, picture.windowWidth);
    const int bytes = layout_.sampleBytes();
    const size_t count = layout_.pixels();
    std::vector<uint16_t> deep(count);
    const size_t values = bits.bitsStored <= 16 ? static_cast<size_t>(bits.highest() - bits.lowest() + 1) : SIZE_MAX;
    if (values <= count) {
        std::vector<uint16_t> table(values);
        for (size_t i = 0; i < table.size(); ++i) table[i] = levels.level(bits.lowest() + static_cast<int64_t>(i));
        for (size_t i = 0; i < count; ++i) deep[i] = table[static_cast<size_t>(bits.value(SampleAt(samples, i, bytes)) - bits.lowest())];
    } else {
        for (size_t i = 0; i < count; ++i) deep[i] = levels.level(bits.value(SampleAt(samples, i, bytes)));
    }
    if (rendering_.depth == 16) {
        picture.bits = 16;
        picture.words = std::move(deep);
        return true;
    }
    picture.bytes.assign(deep.begin(), deep.end());
    return true;
}
