#include "JpegFrameDecoder.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>

#include "Jpeg12Decoder.h"
#include "JpegLosslessDecoder.h"

namespace {

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void OnError(j_common_ptr info) {
    auto* manager = reinterpret_cast<ErrorManager*>(info->err);
    info->err->format_message(info, manager->message);
    std::longjmp(manager->jump, 1);
}

void IgnoreMessage(j_common_ptr, int) {}

// The marker of the first frame header and its sample precision; marker 0 when there is
// none before the first scan.
uint8_t FrameMarker(const uint8_t* data, size_t size, int& precision) {
    size_t at = 2;
    while (at + 5 <= size) {
        if (data[at] != 0xFF) return 0;
        const uint8_t marker = data[at + 1];
        if (marker == 0xFF) {
            ++at;
            continue;
        }
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            precision = data[at + 4];
            return marker;
        }
        if (marker == 0xDA || marker == 0xD9) return 0;
        at += 2 + (size_t{data[at + 2]} << 8 | data[at + 3]);
    }
    return 0;
}

// Checks the header libjpeg read against the picture and chooses the output colour space.
bool CheckHeader(jpeg_decompress_struct& info, const PixelLayout& layout, std::string& error) {
    if (info.data_precision != 8)
        return error = std::to_string(info.data_precision) + "-bit JPEG frames are not supported yet", false;
    if (info.image_width != layout.columns || info.image_height != layout.rows)
        return error = "JPEG frame of " + std::to_string(info.image_width) + " x " + std::to_string(info.image_height) +
                       " pixels in a picture of " + std::to_string(layout.columns) + " x " + std::to_string(layout.rows),
               false;
    if (info.num_components != layout.samplesPerPixel)
        return error = "JPEG frame of " + std::to_string(info.num_components) + " components for " +
                       std::to_string(layout.samplesPerPixel) + " samples per pixel", false;
    if (layout.bitsAllocated != 8 && layout.bitsAllocated != 16)
        return error = "8-bit JPEG frame in " + std::to_string(layout.bitsAllocated) + " bits allocated", false;
    if (layout.samplesPerPixel == 1) {
        info.out_color_space = JCS_GRAYSCALE;
        return true;
    }
    // Without a JFIF or Adobe marker the library guesses from component ids; the picture's
    // own photometric interpretation is the better witness.
    if (!info.saw_JFIF_marker && !info.saw_Adobe_marker)
        info.jpeg_color_space = layout.photometric == Photometric::Rgb ? JCS_RGB : JCS_YCbCr;
    // YBR pictures keep their YCbCr samples (converted once, when rendered); RGB pictures
    // stored as YCbCr come back as RGB.
    info.out_color_space = layout.photometric == Photometric::Rgb ? JCS_RGB : info.jpeg_color_space;
    if (info.out_color_space != JCS_RGB && info.out_color_space != JCS_YCbCr)
        return error = "JPEG frame in an unknown colour space", false;
    return true;
}

void StoreRow(const uint8_t* row, size_t y, const PixelLayout& layout, uint8_t* out) {
    const size_t columns = layout.columns, count = layout.samplesPerPixel, pixels = layout.pixels();
    const size_t wide = layout.bitsAllocated == 16 ? 2 : 1;
    const bool planar = layout.planarConfiguration == 1 && count > 1;
    for (size_t x = 0; x < columns; ++x)
        for (size_t c = 0; c < count; ++c) {
            const size_t p = y * columns + x;
            const size_t index = (planar ? c * pixels + p : p * count + c) * wide;
            out[index] = row[x * count + c];
            if (wide == 2) out[index + 1] = 0;
        }
}

// Kept apart so that nothing with a destructor lives between setjmp and longjmp.
bool DecodeDct(const uint8_t* data, size_t size, const PixelLayout& layout, uint8_t* out, std::vector<uint8_t>& row,
               std::string& error) {
    jpeg_decompress_struct info;
    ErrorManager manager;
    info.err = jpeg_std_error(&manager.base);
    manager.base.error_exit = OnError;
    manager.base.emit_message = IgnoreMessage;
    manager.message[0] = 0;
    if (setjmp(manager.jump)) {
        jpeg_destroy_decompress(&info);
        error = std::string("damaged JPEG frame: ") + manager.message;
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&info, TRUE);
    if (!CheckHeader(info, layout, error)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_start_decompress(&info);
    row.resize(size_t{info.output_width} * static_cast<size_t>(info.output_components));
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[1] = {row.data()};
        const size_t y = info.output_scanline;
        if (jpeg_read_scanlines(&info, rows, 1) != 1) {
            jpeg_destroy_decompress(&info);
            return error = "JPEG frame ends early", false;
        }
        StoreRow(row.data(), y, layout, out);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

}  // namespace

PixelLayout JpegDecodedLayout(const PixelLayout& layout) {
    PixelLayout decoded = layout;
    if (decoded.photometric == Photometric::YbrFull422) {
        decoded.photometric = Photometric::YbrFull;
        decoded.planarConfiguration = 0;
    }
    return decoded;
}

bool DecodeJpegFrame(const uint8_t* data, size_t size, const PixelLayout& layout, uint8_t* samples,
                     std::string& error) {
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return error = "JPEG frame without its start marker", false;
    int precision = 0;
    const uint8_t marker = FrameMarker(data, size, precision);
    if (marker == 0xC3) return DecodeJpegLosslessFrame(data, size, layout, samples, error);
    if (marker != 0xC0 && marker != 0xC1 && marker != 0xC2) {
        if (marker == 0) return error = "JPEG frame without a frame header", false;
        return error = "JPEG frames of a hierarchical or arithmetic-coded process are not supported", false;
    }
    if (precision == 12) return DecodeJpeg12Frame(data, size, layout, samples, error);
    // The system library decodes 8-bit DCT frames only; it would refuse others without saying why.
    if (precision != 8)
        return error = std::to_string(precision) + "-bit JPEG frames are not supported yet", false;
    std::vector<uint8_t> row;
    return DecodeDct(data, size, layout, samples, row, error);
}
