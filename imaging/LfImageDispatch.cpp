// Loading and saving by format identifier: picks the codec class, probes every codec for
// identifier 0, and writes files through a temporary beside the target.
#include "LfImage.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "LfFormatRegistry.h"
#include "LfPendingSave.h"

namespace {

// The registry row whose codec serves the identifier; null for none.
const LfFormatInfo* FindCodec(uint32_t format) {
    const LfFormatInfo* row = LfFindFormat(format);
    return row && row->codec.encode ? row : nullptr;
}

// False, with the reason as last-error text, when the format cannot hold the picture's
// samples: a 16-bit grey picture goes only to formats that store 16 bits, never narrowed.
bool FormatHoldsPicture(LfImage& image, const LfFormatInfo& row) {
    if (!image.IsGrey16() || row.writesGrey16) return true;
    const std::string reason = std::string(row.name) + " cannot store 16-bit grey pictures; save them as PNG or TIFF";
    image.SetLastError(reason.c_str());
    return false;
}

// Runs one codec call; nothing thrown inside a codec (a container's allocation failure, say)
// leaves the dispatch: it becomes a failure of that call.
template <class Call>
bool Guarded(LfImage& image, bool encoding, Call call) {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        image.SetLastError(encoding ? "Encode: not enough memory" : "Decode: not enough memory");
    } catch (...) {
        image.SetLastError(encoding ? "Encode: codec failure" : "Decode: codec failure");
    }
    return false;
}

// Restores the stream to where a probe started.
void Rewind(LfFile* stream, int32_t position) { stream->Seek(position, SEEK_SET); }

std::string ErrnoText(const char* what, int error) {
    return std::string(what) + " (" + std::strerror(error) + ")";
}

}  // namespace

bool LfImage::EncodeSafeCheck(LfFile* stream) {
    if (!stream) {
        SetLastError("null file handler");
        return true;
    }
    if (!block_) {
        SetLastError("null image!!!");
        return true;
    }
    return false;
}

bool LfImage::Encode(LfFile* stream, uint32_t format) {
    const LfFormatInfo* codec = FindCodec(format);
    if (!codec) {
        SetLastError("Encode: Unknown format");
        return false;
    }
    if (!FormatHoldsPicture(*this, *codec)) return false;
    return Guarded(*this, true, [&] { return codec->codec.encode(*this, stream, format); });
}

bool LfImage::Encode(FILE* handle, uint32_t format) {
    if (!handle) {
        SetLastError("null file handler");
        return false;
    }
    LfIOFile stream(handle);
    return Encode(&stream, format);
}

bool LfImage::Decode(LfFile* stream, uint32_t format) {
    if (!stream) {
        SetLastError("null file handler");
        return false;
    }
    if (format == LF_FORMAT_UNKNOWN) {
        const int32_t start = stream->Tell();
        for (const LfFormatInfo& row : LfFormats()) {
            if (!row.probed || !row.codec.decode) continue;
            if (Guarded(*this, false, [&] { return row.codec.decode(*this, stream, row.id, true); }))
                return true;
            Rewind(stream, start);
        }
        SetLastError("Decode: Unknown or wrong format");
        return false;
    }
    const LfFormatInfo* codec = FindCodec(format);
    if (!codec) {
        SetLastError("Decode: Unknown or wrong format");
        return false;
    }
    return Guarded(*this, false, [&] { return codec->codec.decode(*this, stream, format, false); });
}

bool LfImage::Decode(FILE* handle, uint32_t format) {
    if (!handle) {
        SetLastError("null file handler");
        return false;
    }
    LfIOFile stream(handle);
    return Decode(&stream, format);
}

bool LfImage::Load(const char* path, uint32_t format) {
    if (!path) return false;
    if (FormatSlot(format) != 0) {
        FILE* file = std::fopen(path, "rb");
        if (!file) return false;
        const bool ok = Decode(file, format);
        std::fclose(file);
        if (ok) return true;
    }
    char remembered[LF_ERROR_SIZE];
    std::memcpy(remembered, info.lastError, LF_ERROR_SIZE);

    FILE* file = std::fopen(path, "rb");
    if (!file) return false;
    const bool ok = Decode(file, LF_FORMAT_UNKNOWN);
    std::fclose(file);
    if (ok) return true;
    if (format != LF_FORMAT_UNKNOWN) SetLastError(remembered);
    return false;
}

bool LfImage::SaveUnsynced(const char* path, uint32_t format, LfPendingSave& pending) {
    if (!path || !*path) {
        SetLastError("Save: no file name");
        return false;
    }
    // Nothing is created for an identifier no codec serves, nor for a picture it cannot hold.
    const LfFormatInfo* codec = FindCodec(format);
    if (!codec) {
        SetLastError("Encode: Unknown format");
        return false;
    }
    if (!FormatHoldsPicture(*this, *codec)) return false;

    // The picture goes to a temporary file in the target's folder, which replaces the target
    // only once everything was written: a failed save never destroys an existing file.
    std::string error;
    const int fd = pending.Create(path, error);
    if (fd < 0) {
        SetLastError(error.c_str());
        return false;
    }
    // The stream gets its own descriptor: closing it reports write errors, and the pending
    // save keeps the temporary open for the sync.
    const int streamFd = ::dup(fd);
    FILE* file = streamFd < 0 ? nullptr : ::fdopen(streamFd, "wb");
    if (!file) {
        const int cause = errno;
        if (streamFd >= 0) ::close(streamFd);
        pending.Discard();
        SetLastError(ErrnoText("Save: can't open the temporary file", cause).c_str());
        return false;
    }
    bool ok = Encode(file, format);
    if (ok && std::fflush(file) != 0) {
        SetLastError(ErrnoText("Save: write error", errno).c_str());
        ok = false;
    }
    if (std::fclose(file) != 0 && ok) {
        SetLastError(ErrnoText("Save: write error", errno).c_str());
        ok = false;
    }
    if (!ok) pending.Discard();
    return ok;
}

bool LfImage::Save(const char* path, uint32_t format) {
    LfPendingSave pending;
    if (!SaveUnsynced(path, format, pending)) return false;
    std::string error;
    if (!pending.Sync(error) || !pending.Replace(error)) {
        SetLastError(error.c_str());
        return false;
    }
    return true;
}
