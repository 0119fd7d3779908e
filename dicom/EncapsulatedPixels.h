#pragma once
// Encapsulated pixel data: the fragments of compressed frames with the basic and extended
// offset tables, split into frames and handed to the frame decoder of the transfer syntax.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ElementReader.h"
#include "PixelLayout.h"
#include "TransferSyntax.h"

struct Fragment {
    size_t offset = 0;      // where its first bytes are kept in EncapsulatedPixels::data
    size_t length = 0;
    uint64_t itemOffset = 0;  // its item tag's position after the offset table item
    uint64_t position = 0;    // where its bytes start in the source
};

struct EncapsulatedPixels {
    // The first two bytes of each fragment back to back (fewer for a shorter fragment): enough
    // to find where frames start. The fragments themselves stay in the file until a frame
    // is asked for.
    std::vector<uint8_t> data;
    std::vector<Fragment> fragments;
    std::vector<uint32_t> basicOffsets;
    std::vector<uint64_t> extendedOffsets;  // (7FE0,0001), when the file has one
    std::vector<uint64_t> extendedLengths;  // (7FE0,0002)
    std::vector<std::vector<size_t>> frames;  // fragment indices of each frame
};

// Reads the first item of an undefined-length pixel data value: the basic offset table.
bool ReadOffsetTable(ElementReader& reader, EncapsulatedPixels& pixels);

// Walks the items of an undefined-length pixel data value up to its sequence delimiter,
// noting where each fragment lies without reading it.
bool ReadEncapsulated(ElementReader& reader, EncapsulatedPixels& pixels);

// Finds each frame's fragments: by the extended offset table, else the basic one, else one
// fragment per frame, else all fragments in one frame when there is one, else by the frames'
// start markers. A basic table that disagrees with the fragments (a closing entry at their
// end, offsets into the middle of an item, a count other than the frames') gives way to them.
// A table pointing outside the fragments is refused; so are several frames without a way to
// find them.
bool SplitFrames(EncapsulatedPixels& pixels, size_t frames, std::string& error);

// Decodes one frame's compressed bytes into layout.frameSamples() normalised samples, with up
// to `threads` threads where the decoder can share a frame out.
using FrameDecoder = bool (*)(const uint8_t* data, size_t size, const PixelLayout& layout, uint8_t* samples,
                              std::string& error, int threads);

// The decoder for the syntax's frames; nullptr while the reader has none.
FrameDecoder FindFrameDecoder(const TransferSyntax& syntax);

// The layout of the frames that decoder writes, which may differ from the stored one
// (JPEG gives subsampled colour back full size).
PixelLayout DecodedLayout(const TransferSyntax& syntax, const PixelLayout& layout);

// The bytes of one frame, its fragments joined, read from the source the fragments were
// found in. False when the source no longer holds them.
bool ReadFrameBytes(DicomSource& source, const EncapsulatedPixels& pixels, size_t frame, std::vector<uint8_t>& bytes);
