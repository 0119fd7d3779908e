#pragma once
// JPEG frames of every process the reader knows: lossless frames go to our own decoder,
// 8-bit baseline and extended (DCT) frames to the system's JPEG library, 12-bit ones to the
// 12-bit IJG build (Jpeg12Decoder).

#include <cstddef>
#include <cstdint>
#include <string>

#include "PixelLayout.h"

// The layout JPEG frames decode to: components come back full size, so YBR_FULL_422
// pictures are held as YBR_FULL; everything else is unchanged.
PixelLayout JpegDecodedLayout(const PixelLayout& layout);

// Decodes one frame into layout.frameSamples() normalised samples of the decoded layout.
// DCT frames keep the colour space the file stores (YCbCr stays YCbCr for YBR pictures;
// RGB pictures are taken as stored RGB unless a JFIF or Adobe marker says otherwise).
bool DecodeJpegFrame(const uint8_t* data, size_t size, const PixelLayout& layout, uint8_t* samples,
                     std::string& error);
