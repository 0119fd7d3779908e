#include "LfImageJPG.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>

extern "C" {
#include <jerror.h>
#include <jpeglib.h>
}

// libjpeg reports fatal errors by calling error_exit, which must not return. Ours formats the
// message into the image's last-error text and longjmps back to the one recovery point of the
// Encode or Decode call. Between setjmp and the longjmp only C data (the library's structures
// and the plain adapters below) lives on the stack, so no destructor is skipped.

namespace {

constexpr size_t kStreamBufferSize = 4096;
// Rows handed to the library per call when reading or writing straight from the image rows.
constexpr int kRowsPerCall = 16;
// Progressive and multi-scan files make the library hold whole coefficient planes; beyond this
// it fails cleanly instead of exhausting memory on a hostile frame header.
constexpr long kMaxLibraryMemory = 1024L * 1024L * 1024L;

struct JpegError {
    jpeg_error_mgr pub;
    char* message;            // the image's last-error text
    std::jmp_buf recovery;
};

// Source and destination manager over an LfFile, with its own buffer.
struct JpegStream {
    jpeg_source_mgr source;
    jpeg_destination_mgr destination;
    LfFile* stream;
    bool startOfFile;
    JOCTET buffer[kStreamBufferSize];
};

[[noreturn]] void OnFatalError(j_common_ptr cinfo) {
    JpegError* err = reinterpret_cast<JpegError*>(cinfo->err);
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    std::snprintf(err->message, LF_ERROR_SIZE, "%s", text);
    std::longjmp(err->recovery, 1);
}

// Warnings (a truncated file, a corrupt segment the library recovers from) are not reported.
void OnOutputMessage(j_common_ptr) {}

jpeg_error_mgr* InitError(JpegError& err, char* message) {
    jpeg_std_error(&err.pub);
    err.pub.error_exit = OnFatalError;
    err.pub.output_message = OnOutputMessage;
    err.message = message;
    return &err.pub;
}

JpegStream* Adapter(j_common_ptr cinfo) { return static_cast<JpegStream*>(cinfo->client_data); }

void InitDestination(j_compress_ptr cinfo) {
    JpegStream* a = Adapter(reinterpret_cast<j_common_ptr>(cinfo));
    a->destination.next_output_byte = a->buffer;
    a->destination.free_in_buffer = kStreamBufferSize;
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
    JpegStream* a = Adapter(reinterpret_cast<j_common_ptr>(cinfo));
    if (a->stream->Write(a->buffer, 1, kStreamBufferSize) != kStreamBufferSize) ERREXIT(cinfo, JERR_FILE_WRITE);
    a->destination.next_output_byte = a->buffer;
    a->destination.free_in_buffer = kStreamBufferSize;
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
    JpegStream* a = Adapter(reinterpret_cast<j_common_ptr>(cinfo));
    const size_t pending = kStreamBufferSize - a->destination.free_in_buffer;
    if (pending > 0 && a->stream->Write(a->buffer, 1, pending) != pending) ERREXIT(cinfo, JERR_FILE_WRITE);
    if (!a->stream->Flush() || a->stream->Error() != 0) ERREXIT(cinfo, JERR_FILE_WRITE);
}

void InitSource(j_decompress_ptr cinfo) { Adapter(reinterpret_cast<j_common_ptr>(cinfo))->startOfFile = true; }

// At the end of the data an end-of-image marker is supplied, so a truncated file still
// decodes: the library fills the missing part of the picture itself.
boolean FillInputBuffer(j_decompress_ptr cinfo) {
    JpegStream* a = Adapter(reinterpret_cast<j_common_ptr>(cinfo));
    size_t n = a->stream->Read(a->buffer, 1, kStreamBufferSize);
    if (n == 0) {
        if (a->startOfFile) ERREXIT(cinfo, JERR_INPUT_EMPTY);
        WARNMS(cinfo, JWRN_JPEG_EOF);
        a->buffer[0] = 0xFF;
        a->buffer[1] = JPEG_EOI;
        n = 2;
    }
    a->source.next_input_byte = a->buffer;
    a->source.bytes_in_buffer = n;
    a->startOfFile = false;
    return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count) {
    JpegStream* a = Adapter(reinterpret_cast<j_common_ptr>(cinfo));
    if (count <= 0) return;
    while (count > static_cast<long>(a->source.bytes_in_buffer)) {
        count -= static_cast<long>(a->source.bytes_in_buffer);
        FillInputBuffer(cinfo);
    }
    a->source.next_input_byte += count;
    a->source.bytes_in_buffer -= static_cast<size_t>(count);
}

void TermSource(j_decompress_ptr) {}

void AttachSource(jpeg_decompress_struct& cinfo, JpegStream& a, LfFile* stream) {
    a.stream = stream;
    a.startOfFile = true;
    a.source.init_source = InitSource;
    a.source.fill_input_buffer = FillInputBuffer;
    a.source.skip_input_data = SkipInputData;
    a.source.resync_to_restart = jpeg_resync_to_restart;
    a.source.term_source = TermSource;
    a.source.bytes_in_buffer = 0;
    a.source.next_input_byte = nullptr;
    cinfo.client_data = &a;
    cinfo.src = &a.source;
}

void AttachDestination(jpeg_compress_struct& cinfo, JpegStream& a, LfFile* stream) {
    a.stream = stream;
    a.destination.init_destination = InitDestination;
    a.destination.empty_output_buffer = EmptyOutputBuffer;
    a.destination.term_destination = TermDestination;
    cinfo.client_data = &a;
    cinfo.dest = &a.destination;
}

// A resolution read from a file, as dots per inch (0 when it does not fit).
int32_t ToDpi(double value) {
    if (!(value > 0.0) || value > 2147483647.0) return 0;
    return static_cast<int32_t>(value);
}

}  // namespace

LfImageJPG::LfImageJPG() : LfImage(LF_FORMAT_JPG) { std::memset(&exifInfo, 0, sizeof exifInfo); }

LfImageJPG::~LfImageJPG() { delete exif_; }

// The EXIF reader never fails the decode; its findings land in exifInfo.
void LfImageJPG::ReadExif(LfFile* stream) {
    delete exif_;
    exif_ = new LfExifReader(&exifInfo);
    const int32_t start = stream->Tell();
    exif_->ReadSections(stream, LfExifReader::kReadExif);
    stream->Seek(start, 0);
}

bool LfImageJPG::Decode(LfFile* stream) {
    if (!stream) {
        SetLastError("null file handler");
        return false;
    }
    ReadExif(stream);
    const bool isExif = exifInfo.isExif;
    const uint32_t options = CodecOption(LF_FORMAT_JPG);

    jpeg_decompress_struct cinfo;
    std::memset(&cinfo, 0, sizeof cinfo);
    JpegError jerr;
    JpegStream adapter;
    cinfo.err = InitError(jerr, info.lastError);
    if (setjmp(jerr.recovery)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_CreateDecompress(&cinfo, JPEG_LIB_VERSION, sizeof cinfo);
    cinfo.mem->max_memory_to_use = kMaxLibraryMemory;
    AttachSource(cinfo, adapter, stream);
    jpeg_read_header(&cinfo, TRUE);

    if (options & LF_JPEG_DECODE_GREY) cinfo.out_color_space = JCS_GRAYSCALE;
    if (options & LF_JPEG_QUANTIZE) {
        cinfo.quantize_colors = TRUE;
        cinfo.desired_number_of_colors = static_cast<uint8_t>(JpegQuality());
    }
    // Only the library's three dither modes are passed on; other values keep its default.
    if ((options & LF_JPEG_DITHER) && ditherMode >= JDITHER_NONE && ditherMode <= JDITHER_FS)
        cinfo.dither_mode = static_cast<J_DITHER_MODE>(ditherMode);
    if (options & LF_JPEG_ONE_PASS) cinfo.two_pass_quantize = FALSE;
    if (options & LF_JPEG_NO_FANCY) cinfo.do_fancy_upsampling = FALSE;
    // The image keeps blue, green, red; the library can deliver that order itself.
    if (cinfo.out_color_space == JCS_RGB && !cinfo.quantize_colors) cinfo.out_color_space = JCS_EXT_BGR;
    // Scale 0 (the default) means full size, as 1 does.
    cinfo.scale_num = 1;
    cinfo.scale_denom = std::max<unsigned>(1, JpegScale());

    if (Escape() == -1) {
        jpeg_calc_output_dimensions(&cinfo);
        head.width = static_cast<int32_t>(cinfo.output_width);
        head.height = static_cast<int32_t>(cinfo.output_height);
        info.type = LF_FORMAT_JPG;
        jpeg_destroy_decompress(&cinfo);
        return true;
    }

    jpeg_start_decompress(&cinfo);
    const bool quantized = cinfo.quantize_colors;
    const int components = cinfo.output_components;
    if (!Create(cinfo.output_width, cinfo.output_height, 8 * components, LF_FORMAT_JPG)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }

    if (isExif) {
        if (exifInfo.xResolution != 0.0f && exifInfo.resolutionUnit != 0.0f)
            SetXDpi(ToDpi(static_cast<double>(exifInfo.xResolution) / exifInfo.resolutionUnit));
        if (exifInfo.yResolution != 0.0f && exifInfo.resolutionUnit != 0.0f)
            SetYDpi(ToDpi(static_cast<double>(exifInfo.yResolution) / exifInfo.resolutionUnit));
    } else if (cinfo.density_unit == 0) {
        if (cinfo.X_density != 0 && cinfo.Y_density != 0)
            SetYDpi(ToDpi(static_cast<double>(XDpi()) * cinfo.Y_density / cinfo.X_density));
    } else if (cinfo.density_unit == 2) {
        SetXDpi(static_cast<int32_t>(std::floor(cinfo.X_density * 2.54 + 0.5)));
        SetYDpi(static_cast<int32_t>(std::floor(cinfo.Y_density * 2.54 + 0.5)));
    } else {
        SetXDpi(cinfo.X_density);
        SetYDpi(cinfo.Y_density);
    }

    if (quantized) {
        // The colour map has one row per output colour component: a grey map has only one.
        const bool colour = cinfo.out_color_components >= 3;
        SetPaletteRGB(cinfo.colormap[0], colour ? cinfo.colormap[1] : nullptr, colour ? cinfo.colormap[2] : nullptr,
                      static_cast<uint32_t>(cinfo.actual_number_of_colors));
    } else if (components == 1) {
        SetGreyPalette();
    }

    // Rows arrive top first; the image stores the top row last.
    const uint32_t height = Height();
    const uint32_t rowBytes = EffectiveWidth();
    if (components == 4) {
        const uint32_t sampleBytes = cinfo.output_width * 4;
        JSAMPARRAY samples =
            (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, sampleBytes, 1);
        while (cinfo.output_scanline < cinfo.output_height) {
            if (Escape() != 0) {
                SetLastError("Cancelled");
                std::longjmp(jerr.recovery, 1);
            }
            uint8_t* row = Row(height - 1 - cinfo.output_scanline);
            if (jpeg_read_scanlines(&cinfo, samples, 1) != 1) break;
            // The library delivers the ink values as stored; k weights the other three.
            const uint8_t* in = samples[0];
            for (uint32_t out = 0, i = 0; out + 3 <= rowBytes && i + 4 <= sampleBytes; out += 3, i += 4) {
                const unsigned k = in[i + 3];
                row[out] = static_cast<uint8_t>(k * in[i + 2] / 255);
                row[out + 1] = static_cast<uint8_t>(k * in[i + 1] / 255);
                row[out + 2] = static_cast<uint8_t>(k * in[i] / 255);
            }
        }
    } else {
        // One or three components fit the image rows as they are.
        JSAMPROW rows[kRowsPerCall];
        while (cinfo.output_scanline < cinfo.output_height) {
            if (Escape() != 0) {
                SetLastError("Cancelled");
                std::longjmp(jerr.recovery, 1);
            }
            const uint32_t first = cinfo.output_scanline;
            const uint32_t count = std::min<uint32_t>(kRowsPerCall, cinfo.output_height - first);
            for (uint32_t i = 0; i < count; ++i) rows[i] = Row(height - 1 - (first + i));
            if (jpeg_read_scanlines(&cinfo, rows, count) == 0) break;
        }
    }

    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

bool LfImageJPG::Encode(LfFile* stream) {
    if (EncodeSafeCheck(stream)) return false;
    const bool grey = IsGrey();
    if (IsIndexed() && !grey) {
        SetLastError("JPEG can save only RGB or GreyScale images");
        return false;
    }
    const int32_t start = stream->Tell();
    const uint32_t options = CodecOption(LF_FORMAT_JPG);

    jpeg_compress_struct cinfo;
    std::memset(&cinfo, 0, sizeof cinfo);
    JpegError jerr;
    JpegStream adapter;
    cinfo.err = InitError(jerr, info.lastError);
    if (setjmp(jerr.recovery)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_CreateCompress(&cinfo, JPEG_LIB_VERSION, sizeof cinfo);
    AttachDestination(cinfo, adapter, stream);

    cinfo.image_width = Width();
    cinfo.image_height = Height();
    // Pixels are stored blue, green, red; the library reads that order itself.
    cinfo.input_components = grey ? 1 : 3;
    cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);

    if (options & LF_JPEG_ARITHMETIC) cinfo.arith_code = TRUE;
    if (options & LF_JPEG_OPTIMIZE) cinfo.optimize_coding = TRUE;
    if (options & LF_JPEG_GREYSCALE) jpeg_set_colorspace(&cinfo, JCS_GRAYSCALE);
    if (options & LF_JPEG_SMOOTHING) cinfo.smoothing_factor = smoothing;
    jpeg_set_quality(&cinfo, static_cast<uint8_t>(JpegQuality()), (options & LF_JPEG_BASELINE) ? TRUE : FALSE);
    if (options & LF_JPEG_PROGRESSIVE) jpeg_simple_progression(&cinfo);

    // 4:2:0 unless the options ask for 4:2:2 or 4:4:4.
    cinfo.comp_info[0].h_samp_factor = 2;
    cinfo.comp_info[0].v_samp_factor = 2;
    if (options & LF_JPEG_SUBSAMPLE_422) cinfo.comp_info[0].v_samp_factor = 1;
    if (options & LF_JPEG_SUBSAMPLE_444) {
        cinfo.comp_info[0].h_samp_factor = 1;
        cinfo.comp_info[0].v_samp_factor = 1;
    }
    for (int c = 1; c < cinfo.num_components; ++c) {
        cinfo.comp_info[c].h_samp_factor = 1;
        cinfo.comp_info[c].v_samp_factor = 1;
    }

    cinfo.density_unit = 1;
    cinfo.X_density = static_cast<UINT16>(XDpi());
    cinfo.Y_density = static_cast<UINT16>(YDpi());

    jpeg_start_compress(&cinfo, TRUE);
    const uint32_t height = Height();
    if (BitCount() < 8) {
        // A grey picture of 1 or 4 bits: its palette indices are its grey levels, one byte each.
        JSAMPARRAY samples =
            (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, Width(), 1);
        while (cinfo.next_scanline < cinfo.image_height) {
            const int32_t y = static_cast<int32_t>(height - 1 - cinfo.next_scanline);
            for (uint32_t x = 0; x < Width(); ++x) samples[0][x] = PixelIndexUnchecked(static_cast<int32_t>(x), y);
            jpeg_write_scanlines(&cinfo, samples, 1);
        }
    } else {
        JSAMPROW rows[kRowsPerCall];
        while (cinfo.next_scanline < cinfo.image_height) {
            const uint32_t first = cinfo.next_scanline;
            const uint32_t count = std::min<uint32_t>(kRowsPerCall, cinfo.image_height - first);
            for (uint32_t i = 0; i < count; ++i) rows[i] = Row(height - 1 - (first + i));
            if (jpeg_write_scanlines(&cinfo, rows, count) == 0) break;
        }
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);

    return RewriteExif(stream, start);
}

// An object that decoded an EXIF file puts that EXIF block (and the first comment) back in
// front of the data just written. When the written data cannot be read back (a write-only
// stream), the plain file stands and the encode still succeeds; a failed write while
// rewriting has damaged the file, so that is a failure.
bool LfImageJPG::RewriteExif(LfFile* stream, int32_t start) {
    if (!exif_ || !exifInfo.isExif) return true;
    exif_->DiscardAllButExif();
    stream->Seek(start, 0);
    const bool read = exif_->ReadSections(stream, LfExifReader::kReadImageData);
    stream->Seek(start, 0);
    if (!read || !exif_->FindSection(LfExifReader::kImageDataSection)) {
        stream->Seek(0, 2);
        return true;
    }
    if (!exif_->WriteSections(stream) || !stream->Flush() || stream->Error() != 0) {
        SetLastError("Write Error in JPEG file");
        return false;
    }
    return true;
}
