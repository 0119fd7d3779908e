#include "Jpeg2000FrameDecoder.h"

#include <openjpeg.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "CodestreamFrame.h"

namespace {

// The frame's bytes as an OpenJPEG input stream.
struct MemoryInput {
    const uint8_t* data;
    size_t size;
    size_t position = 0;
};

OPJ_SIZE_T ReadInput(void* buffer, OPJ_SIZE_T bytes, void* user) {
    auto* in = static_cast<MemoryInput*>(user);
    const size_t n = std::min<size_t>(bytes, in->size - in->position);
    if (n == 0) return static_cast<OPJ_SIZE_T>(-1);
    std::memcpy(buffer, in->data + in->position, n);
    in->position += n;
    return n;
}

OPJ_OFF_T SkipInput(OPJ_OFF_T bytes, void* user) {
    auto* in = static_cast<MemoryInput*>(user);
    if (bytes < 0) {
        const size_t back = std::min<size_t>(static_cast<size_t>(-bytes), in->position);
        in->position -= back;
        return -static_cast<OPJ_OFF_T>(back);
    }
    const size_t n = std::min<size_t>(static_cast<size_t>(bytes), in->size - in->position);
    in->position += n;
    return static_cast<OPJ_OFF_T>(n);
}

OPJ_BOOL SeekInput(OPJ_OFF_T to, void* user) {
    auto* in = static_cast<MemoryInput*>(user);
    if (to < 0 || static_cast<uint64_t>(to) > in->size) return OPJ_FALSE;
    in->position = static_cast<size_t>(to);
    return OPJ_TRUE;
}

// The library's first error message, kept for the refusal text.
void KeepError(const char* message, void* user) {
    auto* text = static_cast<std::string*>(user);
    if (!text->empty()) return;
    *text = message;
    while (!text->empty() && (text->back() == '\n' || text->back() == ' ')) text->pop_back();
}
void Ignore(const char*, void*) {}

struct CodecDeleter {
    void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct StreamDeleter {
    void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct ImageDeleter {
    void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};

bool IsJp2File(const uint8_t* data, size_t size) {
    static const uint8_t kSignature[] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
    return size >= sizeof kSignature && std::memcmp(data, kSignature, sizeof kSignature) == 0;
}
bool IsCodestream(const uint8_t* data, size_t size) {
    return size >= 4 && data[0] == 0xFF && data[1] == 0x4F && data[2] == 0xFF && data[3] == 0x51;
}

uint32_t Be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }
uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// Where the code stream starts: at once, or in a JP2 file's contiguous code stream box.
bool FindCodestream(const uint8_t* data, size_t size, bool jp2, size_t& start) {
    if (!jp2) return start = 0, true;
    for (size_t at = 0; at + 8 <= size;) {
        uint64_t length = Be32(data + at);
        size_t header = 8;
        if (length == 1) {
            if (at + 16 > size) return false;
            length = uint64_t{Be32(data + at + 8)} << 32 | Be32(data + at + 12);
            header = 16;
        }
        if (std::memcmp(data + at + 4, "jp2c", 4) == 0) return start = at + header, true;
        if (length < header || length > size - at) return false;
        at += static_cast<size_t>(length);
    }
    return false;
}

// Reads the image and tile size segment that follows the start of the code stream before the
// library sees it: the library sets up every tile the segment announces, so a picture or a
// tile grid that the data set does not have is refused here, before anything is allocated.
bool CheckSizSegment(const uint8_t* data, size_t size, bool jp2, const PixelLayout& layout, std::string& error) {
    size_t at = 0;
    if (!FindCodestream(data, size, jp2, at) || size - at < 4 + 38 || Be16(data + at) != 0xFF4F ||
        Be16(data + at + 2) != 0xFF51)
        return error = "JPEG 2000 code stream without its image size segment", false;
    const uint8_t* siz = data + at + 4;  // at its length field
    const uint32_t x1 = Be32(siz + 4), y1 = Be32(siz + 8), x0 = Be32(siz + 12), y0 = Be32(siz + 16);
    const uint32_t tileWidth = Be32(siz + 20), tileHeight = Be32(siz + 24);
    const uint32_t tileX0 = Be32(siz + 28), tileY0 = Be32(siz + 32);
    if (x1 <= x0 || y1 <= y0 || x1 - x0 != layout.columns || y1 - y0 != layout.rows) {
        error = "JPEG 2000 code stream of " + std::to_string(x1 > x0 ? x1 - x0 : 0) + " x " +
                std::to_string(y1 > y0 ? y1 - y0 : 0) + " pixels in a picture of " + std::to_string(layout.columns) +
                " x " + std::to_string(layout.rows);
        return false;
    }
    // The first tile must cover the image's first pixel and no tile may start past the image.
    if (tileWidth == 0 || tileHeight == 0 || tileX0 > x0 || tileY0 > y0 || uint64_t{tileX0} + tileWidth <= x0 ||
        uint64_t{tileY0} + tileHeight <= y0)
        return error = "JPEG 2000 tiles outside the picture", false;
    return true;
}

// The header's picture: the image area, its components and their widest precision. Components
// subsampled against the grid are refused, so every component has the picture's size.
bool HeaderPicture(const opj_image_t& image, CodestreamPicture& picture, std::string& error) {
    picture.width = image.x1 - image.x0;
    picture.height = image.y1 - image.y0;
    picture.components = image.numcomps;
    for (uint32_t c = 0; c < image.numcomps; ++c) {
        const opj_image_comp_t& comp = image.comps[c];
        if (comp.dx != 1 || comp.dy != 1)
            return error = "JPEG 2000 code stream with subsampled components", false;
        picture.precision = std::max<uint32_t>(picture.precision, comp.prec);
    }
    return true;
}

}  // namespace

bool DecodeJpeg2000Frame(const uint8_t* data, size_t size, const PixelLayout& layout, uint8_t* samples,
                         std::string& error, int threads) {
    const bool jp2 = IsJp2File(data, size);
    if (!jp2 && !IsCodestream(data, size)) return error = "not a JPEG 2000 code stream", false;
    if (!CheckSizSegment(data, size, jp2, layout, error)) return false;
    std::unique_ptr<opj_codec_t, CodecDeleter> codec(opj_create_decompress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
    std::unique_ptr<opj_stream_t, StreamDeleter> stream(opj_stream_create(64 * 1024, OPJ_TRUE));
    if (!codec || !stream) return error = "out of memory for the JPEG 2000 decoder", false;
    std::string libraryError;
    opj_set_error_handler(codec.get(), KeepError, &libraryError);
    opj_set_warning_handler(codec.get(), Ignore, nullptr);
    opj_set_info_handler(codec.get(), Ignore, nullptr);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    MemoryInput input{data, size};
    opj_stream_set_user_data(stream.get(), &input, nullptr);
    opj_stream_set_user_data_length(stream.get(), size);
    opj_stream_set_read_function(stream.get(), ReadInput);
    opj_stream_set_skip_function(stream.get(), SkipInput);
    opj_stream_set_seek_function(stream.get(), SeekInput);
    auto damaged = [&](const char* step) {
        error = std::string("damaged JPEG 2000 code stream (") + step +
                (libraryError.empty() ? "" : ": " + libraryError) + ")";
        return false;
    };
    // Strict mode: a cut code stream is an error, not a picture with its last layers missing.
    if (!opj_setup_decoder(codec.get(), &parameters) || !opj_decoder_set_strict_mode(codec.get(), OPJ_TRUE))
        return damaged("set-up");
    // Without threading support in the library the frame is decoded on this thread alone.
    if (threads > 1) opj_codec_set_threads(codec.get(), threads);

    opj_image_t* raw = nullptr;
    const bool header = opj_read_header(stream.get(), codec.get(), &raw);
    std::unique_ptr<opj_image_t, ImageDeleter> image(raw);
    if (!header || !image) return damaged("header");
    // Checked before decoding, so nothing is allocated for a picture the data set does not have.
    CodestreamPicture picture;
    if (!HeaderPicture(*image, picture, error) || !CheckCodestreamPicture(picture, layout, "JPEG 2000", error))
        return false;
    if (!opj_decode(codec.get(), stream.get(), image.get()) || !opj_end_decompress(codec.get(), stream.get()))
        return damaged("decode");

    // A JP2 palette or channel definition may change the components; what is copied is checked again.
    const size_t pixels = layout.pixels();
    if (image->numcomps != layout.samplesPerPixel) return damaged("components");
    for (uint32_t c = 0; c < image->numcomps; ++c) {
        const opj_image_comp_t& comp = image->comps[c];
        if (!comp.data || comp.w != layout.columns || comp.h != layout.rows || comp.prec > layout.bitsAllocated)
            return damaged("component size");
    }
    const int sampleBytes = layout.sampleBytes();
    for (uint32_t c = 0; c < image->numcomps; ++c) {
        const OPJ_INT32* values = image->comps[c].data;
        for (size_t p = 0; p < pixels; ++p) PutSample(samples, SampleIndex(layout, p, c), sampleBytes, values[p]);
    }
    return true;
}
