// The picture layout a frame-decoder fuzz target decodes into, taken from the input's first
// three bytes: rows, columns (1 to 64 each) and a byte choosing samples, bits and planes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "PixelLayout.h"

inline bool TakeFuzzLayout(const uint8_t*& data, size_t& size, PixelLayout& l) {
    if (size < 3) return false;
    l.rows = static_cast<uint16_t>(data[0] % 64 + 1);
    l.columns = static_cast<uint16_t>(data[1] % 64 + 1);
    const uint8_t flags = data[2];
    static const uint16_t kBits[] = {8, 16, 32, 1};
    l.bitsAllocated = l.bitsStored = kBits[flags & 3];
    l.highBit = static_cast<uint16_t>(l.bitsStored - 1);
    const bool colour = (flags & 4) && l.bitsAllocated != 1;
    l.samplesPerPixel = colour ? 3 : 1;
    l.photometric = colour ? ((flags & 16) ? Photometric::YbrFull : Photometric::Rgb) : Photometric::Monochrome2;
    l.planarConfiguration = colour && (flags & 8) ? 1 : 0;
    data += 3;
    size -= 3;
    return true;
}

// Decodes into a buffer of exactly the frame's size so that any write past it shows.
template <typename Decoder>
void FuzzFrame(const uint8_t* data, size_t size, Decoder decode) {
    PixelLayout layout;
    if (!TakeFuzzLayout(data, size, layout)) return;
    std::vector<uint8_t> frame(data, data + size);  // exactly the input, so over-reads show too
    std::vector<uint8_t> out(layout.frameSamples() * static_cast<size_t>(layout.sampleBytes()));
    std::string error;
    decode(frame.data(), frame.size(), layout, out.data(), error);
}
