#pragma once
// One rendered DICOM frame in a neutral form, the end of the DICOM side: top-down rows
// without padding, one grey sample or three RGB samples per pixel, 8 or 16 bits per sample.
// Everything after the reader (the image a target holds, the preview, movies) starts here.

#include <cstdint>
#include <vector>

struct DicomPicture {
    int32_t width = 0;
    int32_t height = 0;
    int samples = 1;              // 1: grey, 3: red, green, blue
    int bits = 8;                 // 8, or 16 for grey pictures rendered at 16 bits
    std::vector<uint8_t> bytes;   // 8 bits: width * samples bytes a row, top row first
    std::vector<uint16_t> words;  // 16 bits: width levels a row, top row first
    // The window the grey levels were made with, in modality values (a stretch gives the
    // window spanning its range); false for colour pictures and VOI LUTs.
    bool windowed = false;
    double windowCentre = 0.0;
    double windowWidth = 0.0;

    bool grey() const { return samples == 1; }
    bool empty() const { return width <= 0 || height <= 0; }
};
