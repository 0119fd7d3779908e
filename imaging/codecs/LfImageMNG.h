// LfImageMNG: MNG, JNG and PNG streams read through libmng, one still frame (the selected
// one) out of an animation, and a single 24-bit picture written as a libmng chunk stream
// (IHDR, IDAT, IEND after a PNG signature) whose image data is compressed here with zlib.
#pragma once

#include <cstdint>

#include "LfFile.h"
#include "LfImage.h"

// What libmng's callbacks reach through the handle's user data during one Decode or Encode.
// Plain data: the callbacks run inside library calls and only set fields here.
struct LfMngExchange {
    LfFile* stream;
    uint8_t* image;            // canvas: bottom-up rows of paddedWidth bytes, red-green-blue
    uint8_t* alpha;            // width x height bytes, bottom-up rows
    uint32_t width;
    uint32_t height;
    uint32_t paddedWidth;      // ((width * 24 + 31) / 32) * 4
    int16_t bpp;               // always 24
    int32_t backgroundIndex;   // -1; 0 once a header was processed with the stream's background in use
    LfRgbQuad background;      // blue, green, red, fourth

    uint32_t refreshes;        // refresh calls so far: a library call that refreshed showed a frame
    uint64_t linesDrawn;       // canvas lines handed to the library so far
    const char* failure;       // our own reason to stop, preferred over the library's text
    bool writeFailed;          // the stream took fewer bytes than it was given

    // Chunk filter between the stream and the library (see ReadData in the source).
    bool signaturePassed;
    uint64_t passThrough;      // bytes of the current chunk still to hand over unchanged
    uint8_t pending[1036];     // a chunk header, or a whole screened chunk, waiting to be handed over
    uint32_t pendingLength;
    uint32_t pendingPosition;
};

// Every block libmng allocates for one handle is kept on a list, so that blocks the library
// forgets to free on some error paths are freed with the handle.
struct LfMngBlock {
    LfMngBlock* prev;
    LfMngBlock* next;
};

class LfImageMNG : public LfImage {
public:
    explicit LfImageMNG(uint32_t type = LF_FORMAT_MNG);
    ~LfImageMNG() override;
    LfImageMNG(const LfImageMNG&) = delete;
    LfImageMNG& operator=(const LfImageMNG&) = delete;

    // Reads the frame named by the current frame from the stream's position; the number of
    // frames is the count of frames the stream shows in one pass. With the escape field at
    // -1 only width, height and type are stored and the call succeeds.
    bool Decode(LfFile* stream);
    // Writes the 24-bit picture; palette pictures are refused.
    bool Encode(LfFile* stream);

    // zlib's compress2 by default. Replaceable so that a compressor failure can be tested.
    using Compressor = int (*)(unsigned char* dest, unsigned long* destLength, const unsigned char* source,
                               unsigned long sourceLength, int level);
    Compressor compressor;

private:
    bool Fail(const char* message);
    bool StartHandle();
    void ReleaseHandle();
    void FreeCanvas();
    bool RunDisplay(int32_t& frames, uint8_t*& chosen, uint8_t*& chosenAlpha);
    bool TakeFrame(const uint8_t* canvas, const uint8_t* alphaPlane);
    const char* LibraryError(const char* fallback);

    void* handle_ = nullptr;   // the libmng handle, released by the destructor
    LfMngBlock blocks_;        // the handle's allocations (a circular list)
    LfMngExchange record_;
};
