// Camera raw adapter over LibRaw. LibRaw reads through a datastream adapter over our LfFile,
// identifies the file, unpacks the sensor data, demosaics and converts it to RGB, and hands
// out 8-bit rows already turned by the file's orientation. The engine object is large (about
// 750 KiB) and lives on the heap for one call. LibRaw reports failures by return codes and
// catches its own exceptions; nothing it throws reaches our caller.
#include "LfImageRAW.h"

#include <libraw/libraw.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace {

constexpr char kNotRaw[] = "LfImageRAW: not a raw image";
constexpr char kNoDecoder[] = "LfImageRAW: missing raw decoder";

// What LibRaw may allocate for the unpacked sensor data of one file.
constexpr unsigned kMaxRawMemoryMb = 1024;

// Raw formats store at least one byte for every 16 sensor pixels (uncompressed data takes
// 1 to 2 bytes per pixel, lossless compression rarely goes below a few bits). A file far
// smaller than its claimed sensor is refused before anything is allocated for it.
constexpr uint64_t kMaxPixelsPerFileByte = 16;

// The pixel memory LfImage::Create accepts; checked before the slow unpack.
constexpr uint64_t kMaxPixelBytes = 268435456;

// LibRaw's view of an LfFile. Positions are relative to where the stream stood when the
// decode began, so a raw file embedded in a larger stream keeps its own offsets. Seeks are
// clamped to the stream's extent, as LibRaw's own memory stream does.
class StreamAdapter : public LibRaw_abstract_datastream {
public:
    // A stream without data reports -1 as its position; it reads as an empty file.
    explicit StreamAdapter(LfFile* stream)
        : stream_(stream), start_(std::max<int64_t>(stream->Tell(), 0)) {}

    int valid() override { return 1; }

    int read(void* buffer, size_t size, size_t count) override {
        if (buffer == nullptr || size == 0) return 0;
        count = std::min(count, static_cast<size_t>(INT_MAX) / size);
        return static_cast<int>(stream_->Read(buffer, size, count));
    }

    int seek(INT64 offset, int whence) override {
        int64_t base;
        switch (whence) {
        case SEEK_SET: base = start_; break;
        case SEEK_CUR: base = stream_->Tell(); break;
        case SEEK_END: base = End(); break;
        default: return -1;
        }
        // Clamping the offset first keeps the sum from overflowing.
        offset = std::clamp<INT64>(offset, -(INT64{1} << 40), INT64{1} << 40);
        const int64_t target = std::clamp<int64_t>(base + offset, start_, End());
        return stream_->Seek(static_cast<int32_t>(target), SEEK_SET) ? 0 : -1;
    }

    INT64 tell() override { return stream_->Tell() - start_; }
    INT64 size() override { return End() - start_; }
    int get_char() override { return stream_->GetC(); }
    char* gets(char* buffer, int capacity) override { return stream_->GetS(buffer, capacity); }
    int eof() override { return stream_->Eof() ? 1 : 0; }
    void* make_jas_stream() override { return nullptr; }

    // One number from text: leading white space skipped, the token read up to the next white
    // space (at most 31 characters) and converted with the engine's format. The stream is
    // left just after the token. Works the same on file and memory streams.
    int scanf_one(const char* format, void* target) override {
        char token[32];
        int c = stream_->GetC();
        while (c == ' ' || c == '\t' || c == '\n' || c == '\r') c = stream_->GetC();
        if (c < 0) return -1;
        size_t n = 0;
        while (c >= 0 && c != ' ' && c != '\t' && c != '\n' && c != '\r' && n + 1 < sizeof token) {
            token[n++] = static_cast<char>(c);
            c = stream_->GetC();
        }
        token[n] = '\0';
        if (c >= 0) stream_->Seek(-1, SEEK_CUR);
        return std::sscanf(token, format, target);
    }

private:
    int64_t End() { return std::max<int64_t>(stream_->Size(), start_); }

    LfFile* stream_;
    int64_t start_;
};

// LibRaw asks between its stages whether to go on; a non-zero escape field (other than the
// header-only -1, which never reaches the long stages) stops it.
int OnProgress(void* data, enum LibRaw_progress, int, int) {
    const int32_t escape = static_cast<const LfImage*>(data)->Escape();
    return escape != 0 && escape != -1 ? 1 : 0;
}

}  // namespace

bool LfImageRAW::Encode(LfFile* stream) {
    if (stream != nullptr) SetLastError("Save RAW not supported");
    return false;
}

bool LfImageRAW::Decode(LfFile* stream) {
    if (stream == nullptr) {
        SetLastError("null file handler");
        return false;
    }
    auto fail = [this](const char* message) {
        SetLastError(message);
        return false;
    };
    // LibRaw's own texts for its failure codes, under our name.
    auto engineFail = [&](int code) {
        if (code == LIBRAW_CANCELLED_BY_CALLBACK) return fail("Cancelled");
        const std::string text = std::string("LfImageRAW: ") + LibRaw::strerror(code);
        return fail(text.c_str());
    };

    try {
        StreamAdapter adapter(stream);  // declared first: it outlives the engine
        std::unique_ptr<LibRaw> engine(new (std::nothrow) LibRaw(
            LIBRAW_OPIONS_NO_MEMERR_CALLBACK | LIBRAW_OPIONS_NO_DATAERR_CALLBACK));
        if (!engine) return fail("LfImageRAW: not enough memory");

        libraw_output_params_t& params = engine->imgdata.params;
        params.user_qual = static_cast<int>(CodecOption(LF_FORMAT_RAW) & 3);
        params.max_raw_memory_mb = kMaxRawMemoryMb;
        engine->set_progress_handler(OnProgress, this);

        if (adapter.size() == 0) return fail(kNotRaw);  // LibRaw calls that an I/O error
        int code = engine->open_datastream(&adapter);
        if (code == LIBRAW_FILE_UNSUPPORTED) return fail(kNotRaw);
        if (code != LIBRAW_SUCCESS) return engineFail(code);
        libraw_decoder_info_t decoder;
        if (engine->get_decoder_info(&decoder) != LIBRAW_SUCCESS) return fail(kNoDecoder);

        const libraw_image_sizes_t& sizes = engine->imgdata.sizes;
        if (sizes.width == 0 || sizes.height == 0) return fail(kNotRaw);
        if (info.escape == -1) {
            head.width = sizes.width;
            head.height = sizes.height;
            info.type = LF_FORMAT_RAW;
            SetLastError("output dimensions returned");
            return true;
        }

        const uint64_t sensorPixels = uint64_t{sizes.raw_width} * sizes.raw_height;
        if (sensorPixels > static_cast<uint64_t>(adapter.size()) * kMaxPixelsPerFileByte)
            return fail("LfImageRAW: file too short for its sensor size");
        if (uint64_t{sizes.width} * sizes.height * 3 > kMaxPixelBytes)
            return fail("LFIMAGE_MAX_MEMORY exceeded");

        if ((code = engine->unpack()) != LIBRAW_SUCCESS) return engineFail(code);
        if ((code = engine->dcraw_process()) != LIBRAW_SUCCESS) return engineFail(code);

        // The output size already has width and height exchanged for quarter turns.
        int width = 0, height = 0, colors = 0, bits = 0;
        engine->get_mem_image_format(&width, &height, &colors, &bits);
        if (width <= 0 || height <= 0 || bits != 8 || (colors != 1 && colors != 3))
            return fail("LfImageRAW: unsupported output layout");
        if (Create(static_cast<uint32_t>(width), static_cast<uint32_t>(height), 24,
                   LF_FORMAT_RAW) == nullptr)
            return false;

        if (colors == 3) {
            // Top-down rows straight into the block, blue first; then bottom-up as stored.
            code = engine->copy_mem_image(info.pixels, static_cast<int>(EffectiveWidth()), 1);
            if (code != LIBRAW_SUCCESS) return engineFail(code);
            if (!Flip(false, false)) return fail("LfImageRAW: not enough memory");
        } else {
            const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
            std::unique_ptr<uint8_t[]> grey(new (std::nothrow) uint8_t[pixels]);
            if (!grey) return fail("LfImageRAW: not enough memory");
            code = engine->copy_mem_image(grey.get(), width, 0);
            if (code != LIBRAW_SUCCESS) return engineFail(code);
            for (int y = 0; y < height; ++y) {
                const uint8_t* src = grey.get() + static_cast<size_t>(y) * width;
                uint8_t* dst = Row(static_cast<uint32_t>(height - 1 - y));
                for (int x = 0; x < width; ++x) std::memset(dst + 3 * static_cast<size_t>(x), src[x], 3);
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        return fail("LfImageRAW: not enough memory");
    }
}
