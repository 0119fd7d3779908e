#include "Jpeg12Decoder.h"

#ifndef GLINTWISE_HAVE_JPEG12

bool HaveJpeg12() { return false; }

bool DecodeJpeg12Frame(const uint8_t*, size_t, const PixelLayout&, uint8_t*, std::string& error) {
    error = "12-bit JPEG frames are not supported yet";
    return false;
}

#else

#include <csetjmp>
#include <cstdio>
#include <vector>

extern "C" {
#include <gdcm-3.0/gdcmjpeg/12/jpeglib.h>
}

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

// The frame in memory; past its end the library is given an end-of-image marker.
void InitSource(j_decompress_ptr) {}
boolean FillInput(j_decompress_ptr info) {
    static const JOCTET kEnd[2] = {0xFF, JPEG_EOI};
    info->src->next_input_byte = kEnd;
    info->src->bytes_in_buffer = 2;
    return TRUE;
}
void SkipInput(j_decompress_ptr info, long count) {
    if (count <= 0) return;
    if (static_cast<size_t>(count) > info->src->bytes_in_buffer) {
        FillInput(info);
        return;
    }
    info->src->next_input_byte += count;
    info->src->bytes_in_buffer -= static_cast<size_t>(count);
}
void TermSource(j_decompress_ptr) {}

bool CheckHeader(jpeg_decompress_struct& info, const PixelLayout& layout, std::string& error) {
    if (info.data_precision != 12 || layout.bitsAllocated != 16)
        return error = "12-bit JPEG frame in " + std::to_string(layout.bitsAllocated) + " bits allocated", false;
    if (info.image_width != layout.columns || info.image_height != layout.rows)
        return error = "JPEG frame of " + std::to_string(info.image_width) + " x " + std::to_string(info.image_height) +
                       " pixels in a picture of " + std::to_string(layout.columns) + " x " + std::to_string(layout.rows),
               false;
    if (info.num_components != layout.samplesPerPixel)
        return error = "JPEG frame of " + std::to_string(info.num_components) + " components for " +
                       std::to_string(layout.samplesPerPixel) + " samples per pixel", false;
    if (layout.samplesPerPixel == 1) {
        info.out_color_space = JCS_GRAYSCALE;
        return true;
    }
    if (!info.saw_JFIF_marker && !info.saw_Adobe_marker)
        info.jpeg_color_space = layout.photometric == Photometric::Rgb ? JCS_RGB : JCS_YCbCr;
    info.out_color_space = layout.photometric == Photometric::Rgb ? JCS_RGB : info.jpeg_color_space;
    return info.out_color_space == JCS_RGB || info.out_color_space == JCS_YCbCr
               ? true
               : (error = "JPEG frame in an unknown colour space", false);
}

void StoreRow(const JSAMPLE* row, size_t y, const PixelLayout& layout, uint8_t* out) {
    const size_t columns = layout.columns, count = layout.samplesPerPixel, pixels = layout.pixels();
    const bool planar = layout.planarConfiguration == 1 && count > 1;
    for (size_t x = 0; x < columns; ++x)
        for (size_t c = 0; c < count; ++c) {
            const size_t p = y * columns + x;
            const size_t index = (planar ? c * pixels + p : p * count + c) * 2;
            const uint16_t v = static_cast<uint16_t>(row[x * count + c]) & 0x0FFF;
            out[index] = static_cast<uint8_t>(v);
            out[index + 1] = static_cast<uint8_t>(v >> 8);
        }
}

// Kept apart so that nothing with a destructor lives between setjmp and longjmp.
bool Decode(const uint8_t* data, size_t size, const PixelLayout& layout, uint8_t* out, std::vector<JSAMPLE>& row,
            std::string& error) {
    jpeg_decompress_struct info;
    ErrorManager manager;
    jpeg_source_mgr source;
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
    source.next_input_byte = data;
    source.bytes_in_buffer = size;
    source.init_source = InitSource;
    source.fill_input_buffer = FillInput;
    source.skip_input_data = SkipInput;
    source.resync_to_restart = jpeg_resync_to_restart;
    source.term_source = TermSource;
    info.src = &source;
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

bool HaveJpeg12() { return true; }

bool DecodeJpeg12Frame(const uint8_t* data, size_t size, const PixelLayout& layout, uint8_t* samples,
                       std::string& error) {
    std::vector<JSAMPLE> row;
    return Decode(data, size, layout, samples, row, error);
}

#endif
