// LfImageGIF: GIF89a writing and GIF87a/89a reading with our own LZW coder.
//
// Writing: a palette image becomes a one-frame GIF with a global colour table; a 24-bit
// image is written as a mosaic of frames of at most 17 x 15 pixels, each with its own
// 256-entry local table, so that every pixel keeps its exact colour; an image carrying
// several frames becomes a looping animation.
// Reading: frames are composed onto the logical screen with transparency, disposal and
// interlacing; a mosaic written by the encoder is recognised and rebuilt as 24 bits.
#pragma once

#include <cstdint>

#include "LfFile.h"
#include "LfImage.h"

// One frame's image data as GIF stores it: the minimum code size byte, the LZW sub-blocks of
// the indices (top row first, `stride` bytes from one row to the next) and the 0 that ends
// them. Writers that stream frames one at a time share the codec's coder through this.
// False when a write to the stream failed.
bool LfWriteGifIndices(LfFile* stream, const uint8_t* indices, uint32_t width, uint32_t height, size_t stride,
                       int minCodeSize);

class LfImageGIF : public LfImage {
public:
    LfImageGIF() : LfImage(LF_FORMAT_GIF) {}

    // Writes the image at the stream's position; false with the last-error text set (also
    // when a write to the stream fails).
    bool Encode(LfFile* stream);
    // Writes the frames as one animation against frame 0's palette. With localColourTables
    // every frame carries its own table; a frame whose palette differs from frame 0's always
    // does. With perFrameDisposal each frame's own disposal method is written, otherwise
    // this image's.
    bool EncodeFrames(LfFile* stream, LfImage* const* frames, int32_t count,
                      bool localColourTables = false, bool perFrameDisposal = false);
    // Reads the frame selected by the current-frame field (or every frame into the frame
    // list when retrieve-all-frames is set). With the escape field at -1 it stores only the
    // screen size and type and succeeds.
    bool Decode(LfFile* stream);

    // Comment text (at most 255 bytes) written after the first control extension and filled
    // by the decoder.
    const char* Comment() const { return comment_; }
    void SetComment(const char* text);
    // Looping count: 1 writes no looping extension, n writes n - 1 (0: forever).
    int32_t LoopCount() const { return loopCount_; }
    void SetLoopCount(int32_t count) { loopCount_ = count; }

private:
    bool Fail(const char* message);
    bool EncodeTrueColour(LfFile* stream);
    bool EncodePalette(LfFile* stream);
    bool Adopt(const LfImage& result, uint32_t delay, uint8_t disposal);

    char comment_[256] = {};
    int32_t loopCount_ = 0;
};
