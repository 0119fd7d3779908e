#pragma once
// Reading DICOM Part 10 files (Explicit VR Little Endian only) and turning their
// pixel samples into a grey 24-bit frame. No Qt, no image layer.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One picture as top-down rows of 24-bit pixels with three equal bytes, each row
// padded to a multiple of 4 bytes.
struct GreyFrame {
    int32_t numFrames = 0;      // (0028,0008), 1 when absent
    int32_t frameBytes = 0;     // bytes of one frame; halved after conversion
    int32_t width = 0;          // columns
    int32_t height = 0;         // rows
    int32_t bytesPerSample = 0; // 1 after conversion
    int32_t stride = 0;         // ((width*3+3)/4)*4
    uint8_t* pixels = nullptr;  // stride*height bytes, top row first, 3 equal bytes per pixel
};

// Why the last parse refused the file.
enum class DicomRefusal { None, CannotOpen, NotDicom, TransferSyntax, Layout, Damaged };

struct DicomAttributes;

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
    // 0 when the file was read and converted with the given conversion mode, -1 when refused.
    int parse(const char* path, int mode);

    DicomRefusal refusal() const;
    const std::string& refusalText() const; // e.g. "unsupported transfer syntax 1.2.840.10008.1.2"

    // Attributes gathered by the last parse (zero or empty when absent).
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

private:
    std::unique_ptr<DicomAttributes> attrs_;
    GreyFrame frame_;
    std::vector<uint8_t> pixelStore_;
    DicomRefusal refusal_ = DicomRefusal::None;
    std::string refusalText_;
};
