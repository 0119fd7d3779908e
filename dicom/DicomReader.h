#pragma once
// Reading DICOM Part 10 files (Explicit VR Little Endian only) and turning their
// pixel samples into a grey 24-bit frame. No Qt, no image layer.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

// One picture as top-down rows of 24-bit pixels with three equal bytes, each row
// padded to a multiple of 4 bytes.
struct GreyFrame {
    int32_t numFrames = 0;      // (0028,0008), 1 when absent
    int32_t frameBytes = 0;     // samples of one frame: its bytes at one byte per sample
    int32_t width = 0;          // columns
    int32_t height = 0;         // rows
    int32_t bytesPerSample = 0; // 1 after conversion
    int32_t stride = 0;         // ((width*3+3)/4)*4
    uint8_t* pixels = nullptr;  // stride*height bytes, top row first, 3 equal bytes per pixel
};

// Why the last parse refused the file.
enum class DicomRefusal { None, CannotOpen, NotDicom, TransferSyntax, Layout, Damaged };

class DicomSource;

class DicomReader {
public:
    DicomReader();
    ~DicomReader();
    DicomReader(const DicomReader&) = delete;
    DicomReader& operator=(const DicomReader&) = delete;

    // parse(path, 2) and the frame; nullptr on failure, with nothing left allocated.
    // The frame belongs to the reader and lives until the next read/parse or the
    // reader's end.
    GreyFrame* read(const char* path);
    // 0 when the file was read and converted with the given conversion mode (1 to 4),
    // -1 when refused; refusal() and refusalText() then say why.
    int parse(const char* path, int mode);
    // The same parse over a file's bytes already in memory (fuzzing and tests).
    int parseMemory(const uint8_t* data, size_t size, int mode);

    // The frame of the last parse when it succeeded, else nullptr.
    GreyFrame* frame();

    DicomRefusal refusal() const;
    const std::string& refusalText() const; // e.g. "unsupported transfer syntax 1.2.840.10008.1.2"

    // Attributes gathered by the last parse: the file's values, else the starting values
    // (bits allocated 16, high bit bits allocated - 1, slope 1, the rest 0); all zero when
    // the parse stopped before the transfer syntax was accepted.
    uint16_t rows() const;
    uint16_t columns() const;
    uint16_t bitsAllocated() const;
    uint16_t highBit() const;
    uint16_t pixelRepresentation() const;
    float windowCenter() const;
    float windowWidth() const;
    float rescaleSlope() const;
    float rescaleIntercept() const;
    const std::string& transferSyntax() const;
    const std::string& photometricInterpretation() const { return photometric_; }

private:
    struct FreeDeleter {
        void operator()(uint8_t* p) const { std::free(p); }
    };

    bool start(int mode);
    int parseSource(DicomSource& source, int mode);
    bool readMetaGroup(DicomSource& source);
    bool walkDataSet(DicomSource& source, int mode);
    bool readGroup28Element(DicomSource& source, uint16_t element, const char vr[2]);
    bool skipElement(DicomSource& source, const char vr[2], int depth);
    bool skipItems(DicomSource& source, bool implicitVr, int depth);
    bool skipItemElements(DicomSource& source, bool implicitVr, int depth);
    bool readPixelData(DicomSource& source, const char vr[2], int mode);
    bool refuse(DicomRefusal kind, std::string text);
    void resetAttributes();
    void releaseFrame();

    uint16_t samplesPerPixel_ = 0;
    uint16_t numberOfFrames_ = 0;
    uint16_t rows_ = 0;
    uint16_t columns_ = 0;
    uint16_t bitsAllocated_ = 0;
    uint16_t highBit_ = 0;
    bool highBitGiven_ = false;
    uint16_t pixelRepresentation_ = 0;
    float windowCenter_ = 0.0f;
    float windowWidth_ = 0.0f;
    float rescaleIntercept_ = 0.0f;
    float rescaleSlope_ = 0.0f;
    std::string transferSyntax_;
    std::string photometric_;

    GreyFrame frame_;
    std::unique_ptr<uint8_t, FreeDeleter> pixels_;
    DicomRefusal refusal_ = DicomRefusal::None;
    std::string refusalText_;
};
