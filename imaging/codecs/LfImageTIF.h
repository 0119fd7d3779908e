// LfImageTIF: TIFF reading and writing through libtiff, opened over the system's byte streams.
#pragma once

#include "LfImage.h"

typedef struct tiff TIFF;

// What libtiff's client procedures need: the stream, and the image whose last-error text
// receives the library's messages. One lives as long as the handle that uses it.
struct LfTiffClient {
    LfFile* stream = nullptr;
    LfImage* image = nullptr;
};

// Opens a libtiff handle over a stream ("r" or "w"); nullptr on failure. Library errors and
// warnings are never printed: errors go to the client's image as its last-error text.
TIFF* LfTiffOpen(LfTiffClient* client, const char* mode);

class LfImageTIF : public LfImage {
public:
    explicit LfImageTIF(uint32_t type = LF_FORMAT_TIF) : LfImage(type) {}
    ~LfImageTIF() override;
    LfImageTIF(const LfImageTIF&) = delete;

    // Reads the page named by the current frame; the number of frames is the page count.
    bool Decode(LfFile* stream);
    // Writes the picture as one page. With append the handle stays open and later calls on
    // this object add pages to the same file; the last page is written without append.
    bool Encode(LfFile* stream, bool append = false);

private:
    bool WriteBody(bool multiPage, int32_t page, int32_t pageCount);
    void CloseWriter();

    TIFF* writer_ = nullptr;
    LfTiffClient writerClient_;
    bool multiPage_ = false;
    int32_t pageCount_ = 0;
};
