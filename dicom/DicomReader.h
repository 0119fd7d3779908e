#pragma once
// Reading DICOM files (Part 10 files and bare data sets; implicit and explicit VR, little
// and big endian, deflated) and rendering a frame of their pixel data as a neutral picture
// (DicomPicture: one grey or three RGB samples a pixel). The older 24-bit GreyFrame, grey
// pictures as three equal bytes, is made from that picture. No Qt, no image layer.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "DicomPicture.h"
#include "EncapsulatedPixels.h"
#include "GreyAttributeReading.h"
#include "GreyConversion.h"
#include "GreyRendering.h"
#include "Overlays.h"
#include "Palette.h"
#include "TextAttributes.h"
#include "PixelLayout.h"
#include "TransferSyntax.h"

// One picture as top-down rows of 24-bit pixels, each row padded to a multiple of 4 bytes.
// Grey pictures have three equal bytes per pixel; colour ones are in blue, green, red order,
// the order of the 24-bit image object.
struct GreyFrame {
    int32_t numFrames = 0;      // (0028,0008), 1 when absent
    int32_t frameBytes = 0;     // samples of one frame: its bytes at one byte per sample
    int32_t width = 0;          // columns
    int32_t height = 0;         // rows
    int32_t bytesPerSample = 0; // 1 after conversion
    int32_t stride = 0;         // ((width*3+3)/4)*4
    uint8_t* pixels = nullptr;  // stride*height bytes, top row first
    bool colour = false;        // the three bytes of a pixel may differ
    // With a 16-bit rendering: width*height levels 0..65535, top row first (the rows above
    // then hold their upper 8 bits); nullptr otherwise.
    const uint16_t* deep = nullptr;
};

// Why the last parse refused the file.
// Rendering: the grey rendering asked for cannot be applied to the file (a window or VOI LUT
// it lacks, values that cannot be used).
enum class DicomRefusal { None, CannotOpen, NotDicom, TransferSyntax, Layout, Damaged, NoPixelData, Rendering };

class DicomSource;
class InflatingSource;
class ElementReader;
struct ElementHeader;

class DicomReader {
public:
    DicomReader();
    ~DicomReader();
    DicomReader(const DicomReader&) = delete;
    DicomReader& operator=(const DicomReader&) = delete;

    // parse(path, 2) and the first frame; nullptr on failure, with nothing left allocated.
    // The frame belongs to the reader and lives until the next read/parse or the
    // reader's end.
    GreyFrame* read(const char* path);
    // 0 when the file was read and its first frame converted with the given conversion mode
    // (1 to 4), -1 when refused; refusal() and refusalText() then say why.
    int parse(const char* path, int mode);
    // The same parse over a file's bytes already in memory (fuzzing and tests).
    int parseMemory(const uint8_t* data, size_t size, int mode);
    // The header step, for describing a file: the data set up to the pixel data, the pixel
    // data's element header and, for compressed frames, the offset table item; no frame is
    // read or decoded. 0 when the layout is one the reader renders (frameCount() then says
    // how many frames the pixel data announces), -1 when refused as parse would refuse it
    // before its first frame.
    int parseHeader(const char* path);
    int parseHeaderMemory(const uint8_t* data, size_t size);
    // Bytes the file gave since the last parse began: the header, and the frames asked for
    // since (a frame is read from the file when it is rendered, not before).
    uint64_t bytesRead() const;
    // Threads a compressed frame may be decoded with (JPEG 2000 shares a frame's code blocks
    // out); 1 by default.
    void setDecodeThreads(int threads) { decodeThreads_ = threads < 1 ? 1 : threads; }
    // Whether a file without the preamble and "DICM" is read as a bare data set starting
    // with a group 0008 element in implicit or explicit VR little endian (on by default).
    void setAcceptBareDataSet(bool accept) { acceptBareDataSet_ = accept; }
    // How the following parses turn grey samples into levels: VoiMode::File at 8 bits (the
    // starting choice) is the conversion mode given to parse; anything else renders every
    // frame through the standard steps (the mode is then not used). Colour pictures are
    // rendered as always.
    void setRendering(const GreyRendering& rendering) { rendering_ = rendering; }
    // The grey attributes of the last parse (windows, VOI LUTs, functional groups, ...).
    const GreyAttributes& greyAttributes() const { return grey_; }
    // The descriptive attributes of the last parse (patient, study, series, cine timing).
    const TextAttributes& textAttributes() const { return text_; }
    // The overlay planes of the last parse, with the reason for each that is not drawn.
    const std::vector<OverlayPlane>& overlays() const { return overlays_; }

    // The frame of the last parse when it succeeded, else nullptr.
    GreyFrame* frame();
    // Frames the last parse announces (at least 1). A frame the pixel data does not hold in
    // full is refused when asked for ("pixel data ends N bytes early").
    int frameCount() const;
    // Converts frame index (from 0) of the last parse into the frame, replacing the one held;
    // nullptr with the refusal set when there is no such frame. All frames share the
    // mapping to grey levels. Each frame is read from the file when asked for: the reader
    // keeps the file open from the parse until the next parse or its end.
    GreyFrame* renderFrame(int index);

    // Frame index (from 0) of the last parse in its neutral form; false with the refusal set
    // when there is no such frame.
    bool picture(int index, DicomPicture& out);

    DicomRefusal refusal() const;
    const std::string& refusalText() const; // e.g. "unsupported transfer syntax 1.2.3"

    // Attributes gathered by the last parse: the file's values, else the starting values
    // (bits allocated 16, high bit bits allocated - 1, slope 1, the rest 0); all zero when
    // the parse stopped before the transfer syntax was accepted.
    uint16_t rows() const;
    uint16_t columns() const;
    uint16_t bitsAllocated() const;
    uint16_t bitsStored() const { return bitsStored_; }
    uint16_t highBit() const;
    uint16_t pixelRepresentation() const;
    uint16_t samplesPerPixel() const { return samplesPerPixel_; }
    uint16_t numberOfFrames() const { return numberOfFrames_; }  // as announced
    float windowCenter() const;
    float windowWidth() const;
    float rescaleSlope() const;
    float rescaleIntercept() const;
    const std::string& transferSyntax() const;
    // The syntax's name ("Implicit VR Little Endian", ...), empty when unknown.
    std::string transferSyntaxName() const;
    const std::string& photometricInterpretation() const { return photometric_; }
    // "native" or "encapsulated, N fragments"; empty before the pixel data was reached.
    const std::string& pixelEncoding() const { return pixelEncoding_; }

private:
    struct FreeDeleter {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

    bool start(int mode);
    int parseSource(std::unique_ptr<DicomSource> source, int mode);
    bool openDataSet(DicomSource& source);
    bool walkDataSet(ElementReader& reader, int mode);
    bool readAttribute(ElementReader& reader, const ElementHeader& header);
    bool readPixelData(ElementReader& reader, const ElementHeader& header, int mode);
    bool findNativeFrames(ElementReader& reader, const ElementHeader& header);
    bool readPixelHeader(ElementReader& reader, const ElementHeader& header);
    bool checkNativeLength(ElementReader& reader, const ElementHeader& header);
    bool checkDecodedSize();
    bool findEncapsulatedFrames(ElementReader& reader);
    bool readFrame(int index);
    bool readNativeFrame(int index, uint8_t* out);
    bool readEncapsulatedFrame(int index, uint8_t* out);
    uint64_t nativeBytesHeld() const;
    bool missingFrame(int index, uint64_t frameEnd);
    template <typename Visit>
    void forEachWholeFrame(Visit visit);
    bool prepareRendering(int mode);
    void prepareLevelTable();
    void prepareWideMapping();
    bool renderPicture(int index);
    bool readGreyAttribute(ElementReader& reader, const ElementHeader& header);
    bool keepText(ElementReader& reader, const ElementHeader& header, size_t limit);
    bool prepareStandardRendering();
    bool renderStandardLevels(int index, const uint8_t* samples, DicomPicture& picture);
    StoredBits storedBits() const;
    bool refuse(DicomRefusal kind, std::string text);
    void resetAttributes();
    void releaseFrame();
    void releaseSamples();
    void closeSource();

    // Attributes.
    uint16_t samplesPerPixel_ = 0;
    uint16_t numberOfFrames_ = 0;
    uint16_t rows_ = 0;
    uint16_t columns_ = 0;
    uint16_t bitsAllocated_ = 0;
    uint16_t bitsStored_ = 0;
    uint16_t highBit_ = 0;
    bool highBitGiven_ = false;
    uint16_t pixelRepresentation_ = 0;
    uint16_t planarConfiguration_ = 0;
    float windowCenter_ = 0.0f;
    float windowWidth_ = 0.0f;
    float rescaleIntercept_ = 0.0f;
    float rescaleSlope_ = 0.0f;
    std::string transferSyntax_;
    std::string photometric_;
    std::string sopClass_;
    std::string pixelEncoding_;
    const TransferSyntax* syntax_ = nullptr;
    bool implicitVrData_ = false;  // the data set has implicit VRs although the syntax says explicit
    PaletteSource paletteSource_;
    std::vector<uint64_t> extendedOffsets_, extendedLengths_;
    bool acceptBareDataSet_ = true;
    bool headerOnly_ = false;  // the parse under way stops after the pixel data's header
    uint64_t bytesRead_ = 0;
    int decodeThreads_ = 1;

    // Where the frames are read from, open from the parse on: the file, the data set inflated
    // from it, or parseMemory's own copy of its bytes.
    std::unique_ptr<DicomSource> source_;
    const DicomSource* file_ = nullptr;         // the file's bytes under source_
    const InflatingSource* inflating_ = nullptr;  // source_ when the data set is deflated
    std::vector<uint8_t> memoryCopy_;
    // Native pixel data: where its value starts and its length as the header gives it.
    uint64_t valueStart_ = 0;
    uint64_t valueLength_ = 0;
    bool bigEndianPixels_ = false;
    bool swapPairs_ = false;  // big-endian words of two bytes, read whole
    std::vector<uint8_t> packed_;  // a native frame before it is unpacked or cut out
    // Encapsulated pixel data: where each frame's fragments lie.
    EncapsulatedPixels encapsulated_;
    FrameDecoder decoder_ = nullptr;
    std::vector<uint8_t> compressed_;  // one frame's fragments

    // The frame last read, normalised to little-endian and 1 bit to a byte.
    PixelLayout layout_;
    Buffer samples_;
    int samplesFrame_ = -1;   // the frame samples_ holds
    int frames_ = 0;          // frames announced
    ConversionSettings settings_;
    std::unique_ptr<LevelTable> table_;
    WideMapping wide_;
    PaletteTables palette_;
    GreyAttributeReader greyReader_;
    GreyAttributes grey_;
    std::string greyProblem_;
    GreyRendering rendering_;
    OverlayReader overlayReader_;
    std::vector<OverlayPlane> overlays_;
    TextAttributes text_;
    double lowestModality_ = 0.0, highestModality_ = 0.0;  // over every frame, for the min-max stretch

    DicomPicture picture_;  // the rendered frame; the GreyFrame below is made from it
    int pictureIndex_ = -1;
    GreyFrame frame_;
    Buffer pixels_;
    int renderedFrame_ = -1;
    DicomRefusal refusal_ = DicomRefusal::None;
    std::string refusalText_;
};
