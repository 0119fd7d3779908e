// Loading and saving by format identifier: picks the codec class, probes every codec for
// identifier 0, and writes files through a temporary beside the target.
#include "LfImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "LfFormatRegistry.h"

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

// Permission bits a freshly created file would get: those of the file being replaced, or
// the usual 0666 filtered by the process umask.
mode_t TargetMode(const char* path) {
    struct stat st;
    if (::stat(path, &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// A unique temporary path template in the target's folder, hidden and short enough for
// any file-name length limit.
std::string TemporaryTemplate(const std::string& target) {
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (name.size() > 200) name.resize(200);
    return folder + "." + name + ".XXXXXX";
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

bool LfImage::Save(const char* path, uint32_t format) {
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
    std::string temporary = TemporaryTemplate(path);
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        SetLastError(ErrnoText("Save: can't create a file in the target folder", errno).c_str());
        return false;
    }
    ::fchmod(fd, TargetMode(path));
    FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        const int error = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        SetLastError(ErrnoText("Save: can't open the temporary file", error).c_str());
        return false;
    }

    bool ok = Encode(file, format);
    if (ok && (std::fflush(file) != 0 || ::fsync(fileno(file)) != 0)) {
        SetLastError(ErrnoText("Save: write error", errno).c_str());
        ok = false;
    }
    if (std::fclose(file) != 0 && ok) {
        SetLastError(ErrnoText("Save: write error", errno).c_str());
        ok = false;
    }
    if (ok && ::rename(temporary.c_str(), path) != 0) {
        SetLastError(ErrnoText("Save: can't replace the target file", errno).c_str());
        ok = false;
    }
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}
