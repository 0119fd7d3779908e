// MNG and JNG codec over libmng 1.0.10. Decoding runs the library's read-and-display loop
// into a 24-bit canvas with a separate alpha plane: every library call that refreshed the
// canvas has shown one frame, and the frame the caller asked for is copied when it is shown.
// Encoding compresses filter-0 rows itself and hands the library the chunks to write.
#include "LfImageMNG.h"

// libmng declares its write and chunk interface only for users of the shared library, and
// its header needs <stdio.h> first.
#include <stdio.h>
#define MNG_USE_SO
#include <libmng.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Largest single allocation the library may make, and the largest canvas: the image object
// refuses pictures above 256 MiB of pixels too.
constexpr size_t kMaxAllocation = size_t(256) << 20;
constexpr uint64_t kMaxCanvasBytes = uint64_t(256) << 20;
// More frames than this in one pass is runaway input, not an animation.
constexpr int32_t kMaxFrames = 1 << 20;
// Canvas style: 8-bit red, green, blue with a separate 8-bit alpha plane.
constexpr mng_uint32 kCanvasStyle = MNG_CANVAS_RGB8_A8;

LfMngExchange& Record(mng_handle handle) { return *static_cast<LfMngExchange*>(mng_get_userdata(handle)); }

uint32_t BigEndian32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void PutBigEndian32(uint8_t* p, uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<uint8_t>(v >> (24 - 8 * k));
}

// ---------------------------------------------------------------- memory and streams

// The allocation list of the codec object whose libmng call is running on this thread.
// The library's memory callbacks do not receive the handle, so the codec names its list
// around every library call (see ListScope).
thread_local LfMngBlock* tBlocks = nullptr;

class ListScope {
public:
    explicit ListScope(LfMngBlock* blocks) : saved_(tBlocks) { tBlocks = blocks; }
    ~ListScope() { tBlocks = saved_; }
    ListScope(const ListScope&) = delete;
    ListScope& operator=(const ListScope&) = delete;

private:
    LfMngBlock* saved_;
};

// Room for the list links in front of every block, keeping the block maximally aligned.
constexpr size_t kLinkRoom = (sizeof(LfMngBlock) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) *
                             alignof(std::max_align_t);

// Allocations are zero-filled, as the library expects; a single request beyond what any
// picture we accept needs is refused (the library then reports that it is out of memory).
mng_ptr MNG_DECL Allocate(mng_size_t length) {
    if (length > kMaxAllocation) return nullptr;
    auto* raw = static_cast<uint8_t*>(std::calloc(1, kLinkRoom + length));
    if (!raw) return nullptr;
    auto* block = reinterpret_cast<LfMngBlock*>(raw);
    if (LfMngBlock* list = tBlocks) {
        block->prev = list;
        block->next = list->next;
        list->next->prev = block;
        list->next = block;
    }
    return raw + kLinkRoom;
}

void Unlink(LfMngBlock* block) {
    if (block->prev) block->prev->next = block->next;
    if (block->next) block->next->prev = block->prev;
}

void MNG_DECL Release(mng_ptr pointer, mng_size_t) {
    if (!pointer) return;
    auto* block = reinterpret_cast<LfMngBlock*>(static_cast<uint8_t*>(pointer) - kLinkRoom);
    Unlink(block);
    std::free(block);
}

mng_bool MNG_DECL OpenStream(mng_handle) { return MNG_TRUE; }
mng_bool MNG_DECL CloseStream(mng_handle) { return MNG_TRUE; }

// Chunks the filter reads whole, to check or change them before the library sees them.
bool Screened(const uint8_t* type) {
    return std::memcmp(type, "LOOP", 4) == 0 || std::memcmp(type, "TERM", 4) == 0 || std::memcmp(type, "CLON", 4) == 0;
}

// Checks one whole screened chunk (its data, CRC verified) and rewrites what the library
// would mishandle. Returns false for a chunk the library must not see at all.
//  - LOOP: the library replays a loop body as often as the chunk says (0x7FFFFFFF meaning
//    forever), and a body that shows nothing spins inside the library without calling back.
//    One pass is all a still-frame reader needs, so the iteration count becomes at most 1.
//  - TERM: "repeat the whole stream" makes the library start over at the end, again without
//    calling back when nothing is drawn; it becomes "show the last frame" (action 0).
//  - CLON: the library does not check the clone type and crashes on one above 2.
bool Screen(const uint8_t* type, uint8_t* data, uint32_t length, bool& changed) {
    if (std::memcmp(type, "LOOP", 4) == 0) {
        if (length >= 5 && BigEndian32(data + 1) > 1) {
            PutBigEndian32(data + 1, 1);
            changed = true;
        }
        return true;
    }
    if (std::memcmp(type, "TERM", 4) == 0) {
        if (length >= 1 && data[0] == 3) {
            data[0] = 0;
            changed = true;
        }
        return true;
    }
    // CLON: source and clone id, then optional clone type, do-not-show, concrete and
    // location-delta flags, each 0..2 or 0..1.
    const uint8_t limits[4] = {2, 1, 1, 1};
    for (uint32_t k = 0; k < 4 && 4 + k < length; ++k)
        if (data[4 + k] > limits[k]) return false;
    return true;
}

// Reads the next chunk header into the pending bytes. A chunk that claims more bytes than
// the stream still holds stops the read before the library allocates room for it; a
// screened chunk is read whole and checked (see Screen).
void NextChunk(LfMngExchange& r) {
    r.pendingPosition = 0;
    r.pendingLength = static_cast<uint32_t>(r.stream->Read(r.pending, 1, 8));
    if (r.pendingLength < 8) return;
    const uint32_t length = BigEndian32(r.pending);
    const int32_t size = r.stream->Size(), position = r.stream->Tell();
    if (size >= 0 && position >= 0 && uint64_t(length) + 4 > uint64_t(size - position)) {
        r.failure = "MNG chunk runs past the end of the file";
        r.pendingLength = 0;
        return;
    }
    if (!Screened(r.pending + 4)) {
        r.passThrough = uint64_t(length) + 4;
        return;
    }
    if (uint64_t(length) + 12 > sizeof r.pending) {
        r.failure = "Error in MNG file: chunk too long";
        r.pendingLength = 0;
        return;
    }
    const size_t rest = size_t(length) + 4;
    const size_t got = r.stream->Read(r.pending + 8, 1, rest);
    r.pendingLength = static_cast<uint32_t>(8 + got);
    uint8_t* data = r.pending + 8;
    // A damaged chunk goes to the library unchanged: it reports the damage.
    if (got < rest || crc32(0, r.pending + 4, length + 4) != BigEndian32(data + length)) return;
    bool changed = false;
    if (!Screen(r.pending + 4, data, length, changed)) {
        r.failure = "Error in MNG file";
        r.pendingLength = 0;
        return;
    }
    if (changed) PutBigEndian32(data + length, static_cast<uint32_t>(crc32(0, r.pending + 4, length + 4)));
}

// Hands the library the stream's bytes through the chunk filter above. A short count tells
// the library that the stream has ended.
mng_bool MNG_DECL ReadData(mng_handle handle, mng_ptr buffer, mng_uint32 size, mng_uint32p count) {
    LfMngExchange& r = Record(handle);
    auto* out = static_cast<uint8_t*>(buffer);
    uint32_t served = 0;
    while (served < size && r.stream) {
        if (r.pendingPosition < r.pendingLength) {
            const uint32_t n = std::min(size - served, r.pendingLength - r.pendingPosition);
            std::memcpy(out + served, r.pending + r.pendingPosition, n);
            r.pendingPosition += n;
            served += n;
            continue;
        }
        if (r.passThrough > 0) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(size - served, r.passThrough));
            const size_t got = r.stream->Read(out + served, 1, want);
            served += static_cast<uint32_t>(got);
            r.passThrough -= got;
            if (got < want) break;
            continue;
        }
        if (!r.signaturePassed) {
            r.signaturePassed = true;
            r.passThrough = 8;
            continue;
        }
        if (r.failure) break;
        NextChunk(r);
        if (r.pendingLength == 0) break;
    }
    *count = served;
    return MNG_TRUE;
}

mng_bool MNG_DECL WriteData(mng_handle handle, mng_ptr buffer, mng_uint32 size, mng_uint32p count) {
    LfMngExchange& r = Record(handle);
    *count = r.stream ? static_cast<mng_uint32>(r.stream->Write(buffer, 1, size)) : 0;
    if (*count == size) return MNG_TRUE;
    r.writeFailed = true;
    return MNG_FALSE;
}

// ---------------------------------------------------------------- display

// The library keeps its error details; the handle stays alive until the codec object dies.
mng_bool MNG_DECL OnError(mng_handle, mng_int32, mng_int8, mng_chunkid, mng_uint32, mng_int32, mng_int32,
                          mng_pchar) {
    return MNG_FALSE;
}

mng_bool MNG_DECL ProcessHeader(mng_handle handle, mng_uint32 width, mng_uint32 height) {
    LfMngExchange& r = Record(handle);
    const uint64_t padded = ((uint64_t(width) * 24 + 31) / 32) * 4;
    if (width == 0 || height == 0) return MNG_FALSE;
    if (padded * height > kMaxCanvasBytes) {
        r.failure = "LFIMAGE_MAX_MEMORY exceeded";
        return MNG_FALSE;
    }
    std::free(r.image);
    std::free(r.alpha);
    r.width = width;
    r.height = height;
    r.bpp = 24;
    r.paddedWidth = static_cast<uint32_t>(padded);
    if (mng_get_usebkgd(handle)) {
        mng_uint16 red = 0, green = 0, blue = 0;
        mng_get_bgcolor(handle, &red, &green, &blue);
        r.backgroundIndex = 0;
        r.background = LfRgbQuad{static_cast<uint8_t>(blue >> 8), static_cast<uint8_t>(green >> 8),
                                 static_cast<uint8_t>(red >> 8), 0};
    }
    r.image = static_cast<uint8_t*>(std::calloc(padded * height, 1));
    r.alpha = static_cast<uint8_t*>(std::calloc(uint64_t(width) * height, 1));
    if (!r.image || !r.alpha) {
        r.failure = "LfImageMNG::Decode cannot create image";
        return MNG_FALSE;
    }
    mng_set_canvasstyle(handle, kCanvasStyle);
    return MNG_TRUE;
}

// Line n counts from the top; the canvas stores rows bottom-up. A line the library should
// never ask for gets row 0 and stops the display at the next refresh.
mng_ptr MNG_DECL CanvasLine(mng_handle handle, mng_uint32 line) {
    LfMngExchange& r = Record(handle);
    if (line >= r.height) {
        r.failure = "Error in MNG file";
        return r.image;
    }
    ++r.linesDrawn;
    return r.image + size_t(r.height - 1 - line) * r.paddedWidth;
}

mng_ptr MNG_DECL AlphaLine(mng_handle handle, mng_uint32 line) {
    LfMngExchange& r = Record(handle);
    if (line >= r.height) {
        r.failure = "Error in MNG file";
        return r.alpha;
    }
    return r.alpha + size_t(r.height - 1 - line) * r.width;
}

mng_bool MNG_DECL Refresh(mng_handle handle, mng_uint32, mng_uint32, mng_uint32, mng_uint32) {
    LfMngExchange& r = Record(handle);
    if (r.failure) return MNG_FALSE;
    ++r.refreshes;
    return MNG_TRUE;
}

mng_uint32 MNG_DECL TickCount(mng_handle) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<mng_uint32>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

// Frame delays are not waited for: only one still frame is wanted.
mng_bool MNG_DECL SetTimer(mng_handle, mng_uint32) { return MNG_TRUE; }

bool Shown(mng_retcode code) { return code == MNG_NOERROR || code == MNG_NEEDTIMERWAIT; }

}  // namespace

LfImageMNG::LfImageMNG(uint32_t type) : LfImage(type), compressor(&::compress2) {
    std::memset(&record_, 0, sizeof record_);
    record_.backgroundIndex = -1;
    blocks_.prev = blocks_.next = &blocks_;
}

LfImageMNG::~LfImageMNG() {
    ReleaseHandle();
    FreeCanvas();
}

bool LfImageMNG::Fail(const char* message) {
    SetLastError(message);
    return false;
}

// Releases the handle, then frees whatever the library left allocated.
void LfImageMNG::ReleaseHandle() {
    if (handle_) {
        ListScope scope(&blocks_);
        mng_handle handle = static_cast<mng_handle>(handle_);
        mng_cleanup(&handle);
        handle_ = nullptr;
    }
    while (blocks_.next != &blocks_) {
        LfMngBlock* leaked = blocks_.next;
        Unlink(leaked);
        std::free(leaked);
    }
}

void LfImageMNG::FreeCanvas() {
    std::free(record_.image);
    std::free(record_.alpha);
    record_.image = nullptr;
    record_.alpha = nullptr;
}

// A fresh handle and exchange record for one operation.
bool LfImageMNG::StartHandle() {
    ReleaseHandle();
    FreeCanvas();
    std::memset(&record_, 0, sizeof record_);
    record_.backgroundIndex = -1;
    handle_ = mng_initialize(&record_, Allocate, Release, MNG_NULL);
    return handle_ != nullptr;
}

// Our own reason first, then the library's text for its last error, else the fallback.
const char* LfImageMNG::LibraryError(const char* fallback) {
    if (record_.failure) return record_.failure;
    mng_int8 severity = 0;
    mng_chunkid chunk = 0;
    mng_uint32 sequence = 0;
    mng_int32 extra1 = 0, extra2 = 0;
    mng_pchar text = nullptr;
    if (handle_)
        mng_getlasterror(static_cast<mng_handle>(handle_), &severity, &chunk, &sequence, &extra1, &extra2, &text);
    return text && *text ? text : fallback;
}

// Shows the stream's frames one after the other until the library has read it all. Each
// library call that refreshed the canvas showed one frame; the canvas and alpha plane of
// the frame the caller asked for are copied when it is on the canvas.
bool LfImageMNG::RunDisplay(int32_t& frames, uint8_t*& chosen, uint8_t*& chosenAlpha) {
    mng_handle handle = static_cast<mng_handle>(handle_);
    const size_t canvasBytes = size_t(record_.paddedWidth) * record_.height;
    const size_t alphaBytes = size_t(record_.width) * record_.height;
    uint32_t refreshesSeen = 0;
    frames = 0;
    for (bool first = true;; first = false) {
        if (!first) {
            if (!mng_status_reading(handle)) return true;
            if (Escape() != 0) return Fail("Cancelled");
            const mng_retcode code = mng_display_resume(handle);
            if (!Shown(code)) return Fail(LibraryError("Error in MNG file"));
        }
        if (record_.refreshes == refreshesSeen) continue;
        refreshesSeen = record_.refreshes;
        if (frames == CurrentFrame() && record_.image && !chosen) {
            chosen = static_cast<uint8_t*>(std::malloc(std::max<size_t>(canvasBytes, 1)));
            chosenAlpha = static_cast<uint8_t*>(std::malloc(std::max<size_t>(alphaBytes, 1)));
            if (!chosen || !chosenAlpha) return Fail("LfImageMNG::Decode cannot create image");
            std::memcpy(chosen, record_.image, canvasBytes);
            std::memcpy(chosenAlpha, record_.alpha, alphaBytes);
        }
        if (++frames > kMaxFrames) return Fail("MNG file shows too many frames");
    }
}

// The selected frame becomes the picture, with its alpha plane; the background colour is
// kept as the transparent colour but not switched on: the alpha plane already says what is
// transparent, and a transparent index would make every pixel of the background's colour
// (white by default) transparent when the picture is saved.
bool LfImageMNG::TakeFrame(const uint8_t* canvas, const uint8_t* alphaPlane) {
    if (!canvas || !alphaPlane) return Fail("Error in MNG file");
    if (!Create(record_.width, record_.height, 24, LF_FORMAT_MNG))
        return Fail("LfImageMNG::Decode cannot create image");
    if (record_.backgroundIndex >= 0) SetTransparentColor(record_.background);
    std::memcpy(Row(0), canvas, size_t(record_.paddedWidth) * record_.height);
    SwapRedBlue();
    if (AlphaCreate()) std::memcpy(AlphaPlane(), alphaPlane, size_t(record_.width) * record_.height);
    return true;
}

bool LfImageMNG::Decode(LfFile* stream) {
    if (!stream) return Fail("null file handler");
    ListScope scope(&blocks_);
    if (!StartHandle()) return Fail("could not initialize libmng");
    mng_handle handle = static_cast<mng_handle>(handle_);
    record_.stream = stream;

    mng_set_srgb(handle, MNG_TRUE);
    mng_set_bgcolor(handle, 0xFFFF, 0xFFFF, 0xFFFF);
    mng_set_usebkgd(handle, MNG_TRUE);
    mng_set_storechunks(handle, MNG_FALSE);
    mng_set_suspensionmode(handle, MNG_FALSE);
    mng_setcb_errorproc(handle, OnError);
    mng_setcb_openstream(handle, OpenStream);
    mng_setcb_closestream(handle, CloseStream);
    mng_setcb_readdata(handle, ReadData);
    mng_setcb_processheader(handle, ProcessHeader);
    mng_setcb_getcanvasline(handle, CanvasLine);
    mng_setcb_refresh(handle, Refresh);
    mng_setcb_gettickcount(handle, TickCount);
    mng_setcb_settimer(handle, SetTimer);
    mng_setcb_getalphaline(handle, AlphaLine);

    info.numFrames = 0;
    const mng_retcode code = mng_readdisplay(handle);
    if (!Shown(code)) return Fail(LibraryError("Error in MNG file"));

    if (Escape() == -1) {
        head.width = static_cast<int32_t>(mng_get_imagewidth(handle));
        head.height = static_cast<int32_t>(mng_get_imageheight(handle));
        info.type = LF_FORMAT_MNG;
        return true;
    }

    int32_t frames = 0;
    uint8_t* chosen = nullptr;
    uint8_t* chosenAlpha = nullptr;
    bool ok = RunDisplay(frames, chosen, chosenAlpha);
    // A lone PNG or JNG picture fills the canvas with the background and then draws every
    // row of the picture. A damaged JPEG or zlib stream makes the library stop drawing
    // without reporting an error; fewer lines than that means the picture is incomplete.
    if (ok && mng_get_sigtype(handle) != mng_it_mng && record_.linesDrawn < uint64_t(record_.height) * 2)
        ok = Fail("Error in MNG file: image data incomplete");
    if (ok) {
        // A stream that shows nothing still has its canvas as its one frame.
        if (frames < 1) frames = 1;
        info.numFrames = frames;
        if (CurrentFrame() < 0 || CurrentFrame() >= frames) ok = Fail("Error: frame not present in MNG file");
        else if (chosen) ok = TakeFrame(chosen, chosenAlpha);
        else ok = TakeFrame(record_.image, record_.alpha);
    }
    std::free(chosen);
    std::free(chosenAlpha);
    FreeCanvas();
    return ok;
}

bool LfImageMNG::Encode(LfFile* stream) {
    if (EncodeSafeCheck(stream)) return false;
    if (IsIndexed() || BitCount() != 24) return Fail("MNG encoder can save only RGB images");

    // Rows from the top of the picture, each a filter byte 0 and red, green, blue per pixel.
    const uint32_t width = Width(), height = Height();
    const size_t rowBytes = 1 + size_t(width) * 3;
    const size_t rawBytes = rowBytes * height;
    std::vector<uint8_t> raw, packed;
    raw.resize(rawBytes);
    packed.resize(compressBound(static_cast<uLong>(rawBytes)));
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* source = Row(height - 1 - y);
        uint8_t* out = raw.data() + size_t(y) * rowBytes;
        out[0] = 0;
        for (uint32_t x = 0; x < width; ++x) {
            out[1 + 3 * x] = source[3 * x + 2];
            out[2 + 3 * x] = source[3 * x + 1];
            out[3 + 3 * x] = source[3 * x];
        }
    }
    // The output buffer holds the worst case, so any picture compresses; a failure here is
    // zlib's own (memory) and nothing is written.
    unsigned long packedBytes = packed.size();
    if (compressor(packed.data(), &packedBytes, raw.data(), rawBytes, 9) != Z_OK)
        return Fail("could not compress MNG image data");

    ListScope scope(&blocks_);
    if (!StartHandle()) return Fail("could not initialize libmng");
    mng_handle handle = static_cast<mng_handle>(handle_);
    record_.stream = stream;
    record_.bpp = 24;
    record_.width = width;
    record_.height = height;
    record_.paddedWidth = EffectiveWidth();
    mng_setcb_openstream(handle, OpenStream);
    mng_setcb_closestream(handle, CloseStream);
    mng_setcb_writedata(handle, WriteData);

    // No MHDR comes first, so the library writes a PNG signature and refuses a DEFI before
    // the IHDR (it has no header yet). Object 0 placed at (0, 0) without clipping is what a
    // stream without DEFI means anyway, so none is written.
    const bool built = mng_create(handle) == MNG_NOERROR &&
                       mng_putchunk_ihdr(handle, width, height, MNG_BITDEPTH_8, MNG_COLORTYPE_RGB,
                                         MNG_COMPRESSION_DEFLATE, MNG_FILTER_ADAPTIVE, MNG_INTERLACE_NONE) ==
                           MNG_NOERROR &&
                       mng_putchunk_idat(handle, static_cast<mng_uint32>(packedBytes), packed.data()) == MNG_NOERROR &&
                       mng_putchunk_iend(handle) == MNG_NOERROR;
    if (!built) return Fail(LibraryError("could not build the MNG chunks"));
    if (mng_write(handle) != MNG_NOERROR || record_.writeFailed)
        return Fail(record_.writeFailed ? "Write Error in MNG file" : LibraryError("Write Error in MNG file"));
    if (!stream->Flush()) return Fail("Write Error in MNG file");
    return true;
}
