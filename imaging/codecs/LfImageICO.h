// LfImageICO: Windows icon and cursor files. Writing makes a one-image icon: a bitmap whose
// info header declares twice the image height, followed by a 1-bit mask (set bits are
// transparent); an image wider or taller than 255 pixels is stored as an embedded PNG
// instead. Reading accepts icons and cursors, picks the entry named by the current frame
// number, reads both the bitmap and the embedded-PNG form and turns the mask into a
// transparent index, a transparent colour or an alpha plane.
#pragma once

#include <cstdint>

#include "LfFile.h"
#include "LfImage.h"

class LfImageICO : public LfImage {
public:
    LfImageICO() : LfImage(LF_FORMAT_ICO) {}

    // With append off and page count 0 (what the dispatch uses) writes a complete one-image
    // icon. Several images make one file in three kinds of call on the same codec object:
    // append off with the page count N writes the header for N entries; then, for each
    // image, a call with append on writes its directory entry when the image's frame count
    // equals N and its image data when the frame count is below N. Entries and data must
    // come in the same order; the running image offset carries from call to call.
    // False with the last-error text set.
    bool Encode(LfFile* stream, bool append = false, int32_t pageCount = 0);
    // Reads the entry numbered by the current frame (0 first) from the stream's position and
    // sets the frame count to the number of entries. With the escape field at -1 it stores
    // only width, height and type and succeeds.
    bool Decode(LfFile* stream);

private:
    struct Entry {
        uint32_t width;   // 0 in the file means 256
        uint32_t height;
        uint32_t bytes;
        uint32_t offset;  // from the start of the file
    };

    bool Fail(const char* message);
    bool ReadEntry(LfFile* stream, int64_t start, Entry& entry);
    bool DecodePng(LfFile* stream, bool headerOnly);
    bool DecodeBitmap(LfFile* stream, const Entry& entry, int64_t imageStart, bool headerOnly);
    bool ReadPixels32(LfFile* stream);
    void ApplyMask(const uint8_t* mask, uint32_t maskRow);
    void BuildMask(uint8_t* mask, uint32_t maskRow) const;
    bool WriteBitmap(LfFile* stream, bool withAlpha, uint32_t maskRow, uint64_t maskSize);

    uint32_t imageOffset_ = 0;  // where the next image's data goes, from the file's start
};
