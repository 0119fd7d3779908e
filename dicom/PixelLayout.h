#pragma once
// How the pixel samples of a picture are laid out (group 0028), checked before anything is
// allocated, and the native frames of a pixel data value taken out one by one.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class Photometric { Monochrome1, Monochrome2, Rgb, YbrFull, YbrFull422, Palette };

struct PixelLayout {
    uint16_t rows = 0;
    uint16_t columns = 0;
    uint16_t samplesPerPixel = 1;
    uint16_t bitsAllocated = 16;
    uint16_t bitsStored = 16;
    uint16_t highBit = 15;
    uint16_t pixelRepresentation = 0;
    uint16_t planarConfiguration = 0;  // colour: 0 pixel by pixel, 1 plane by plane
    Photometric photometric = Photometric::Monochrome2;

    bool isColour() const { return photometric != Photometric::Monochrome1 && photometric != Photometric::Monochrome2; }
    size_t pixels() const { return size_t{rows} * columns; }
    // Samples of one frame as stored: YBR_FULL_422 keeps two per pixel.
    size_t frameSamples() const;
    // Bytes a normalised sample takes: 1-bit samples are unpacked to one byte each.
    int sampleBytes() const { return bitsAllocated == 1 ? 1 : bitsAllocated / 8; }
    // Bits of one native frame; 1-bit frames follow each other without padding.
    uint64_t frameBits() const { return uint64_t{frameSamples()} * bitsAllocated; }
};

// The photometric interpretation named by the text for the number of samples per pixel;
// false for one the reader cannot show. One sample with no or an unknown name is grey.
bool ParsePhotometric(const std::string& text, uint16_t samplesPerPixel, Photometric& photometric);

// Refuses layouts the reader cannot render or whose frame would not fit the frame's 32-bit
// sizes, judged with the photometric the text names; the reason goes to error.
bool CheckLayout(const PixelLayout& layout, const std::string& photometricText, std::string& error);

// Puts 16- and 32-bit samples of a big-endian value into little-endian order, in place.
void SwapToLittleEndian(uint8_t* data, size_t bytes, int unitBytes);

// Frame index of a native value (samples already little-endian) as normalised samples:
// 1-bit samples become bytes of 0 or 1. The value must hold the frame.
void CopyNativeFrame(const uint8_t* value, const PixelLayout& layout, size_t index, uint8_t* out);
