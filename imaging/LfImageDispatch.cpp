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
#include <type_traits>

// ---- add a codec here (1 of 2): include its header.
#include "LfImageBMP.h"
#include "LfImageJPG.h"
#include "LfImagePNG.h"
#include "LfImageTIF.h"

namespace {

// A codec class is constructed with its identifier, borrows the caller's settings and works on
// a stream. The JPEG 2000 family class is the exception: constructed with type 0, it receives
// the identifier as a second argument of Encode and Decode.
template <class Codec>
constexpr bool kTakesFormatArgument = requires(Codec& c, LfFile* f, uint32_t id) { c.Decode(f, id); };

// Codec classes take their identifier in the constructor or set it themselves.
template <class Codec>
Codec MakeCodec(uint32_t type) {
    if constexpr (std::is_constructible_v<Codec, uint32_t>) return Codec(type);
    else return Codec();
}

template <class Codec>
bool EncodeWith(LfImage& image, LfFile* stream, uint32_t format) {
    Codec codec = MakeCodec<Codec>(kTakesFormatArgument<Codec> ? 0u : format);
    codec.Ghost(&image);  // shares the pixel block; frees nothing when discarded
    bool ok;
    if constexpr (kTakesFormatArgument<Codec>) ok = codec.Encode(stream, format);
    else ok = codec.Encode(stream);
    if (!ok) image.SetLastError(codec.LastError());
    return ok;
}

// Decodes into a temporary codec object carrying the caller's settings; on success the
// picture, info record and frames move into the caller's image. A failed probe try leaves
// nothing behind: neither its message nor its frame count.
template <class Codec>
bool DecodeWith(LfImage& image, LfFile* stream, uint32_t format, bool probing, bool reportsFrames) {
    const uint32_t type = kTakesFormatArgument<Codec> ? 0u : format;
    Codec codec = MakeCodec<Codec>(type);
    codec.CopyInfo(image);
    codec.info.type = type;
    bool ok;
    if constexpr (kTakesFormatArgument<Codec>) ok = codec.Decode(stream, probing ? 0u : format);
    else ok = codec.Decode(stream);
    if (ok) {
        if (codec.info.type == 0) codec.info.type = format;
        if (image.Transfer(codec, true)) return true;
        image.SetLastError("Decode: the image shares another image's pixels");
        return false;
    }
    if (!probing) {
        image.SetLastError(codec.LastError());
        if (reportsFrames) image.info.numFrames = codec.info.numFrames;
    }
    return false;
}

struct CodecEntry {
    uint32_t first;       // identifiers first..last are served by this class
    uint32_t last;
    bool reportsFrames;   // a failed decode still reports the frame count it found
    bool (*encode)(LfImage&, LfFile*, uint32_t);
    bool (*decode)(LfImage&, LfFile*, uint32_t, bool, bool);
};

#define LF_CODEC(Class, first, last, reportsFrames) \
    CodecEntry{first, last, reportsFrames, &EncodeWith<Class>, &DecodeWith<Class>},

// ---- add a codec here (2 of 2): one line, kept in this order, which is the probe order of
// Decode with identifier 0. Uncomment the line of the codec (its header included above).
const CodecEntry kCodecs[] = {
    LF_CODEC(LfImageBMP, LF_FORMAT_BMP, LF_FORMAT_BMP, false)
    LF_CODEC(LfImageJPG, LF_FORMAT_JPG, LF_FORMAT_JPG, false)
    // LF_CODEC(LfImageICO, LF_FORMAT_ICO, LF_FORMAT_ICO, true)
    // LF_CODEC(LfImageGIF, LF_FORMAT_GIF, LF_FORMAT_GIF, true)
    LF_CODEC(LfImagePNG, LF_FORMAT_PNG, LF_FORMAT_PNG, false)
    LF_CODEC(LfImageTIF, LF_FORMAT_TIF, LF_FORMAT_TIF, true)
    // LF_CODEC(LfImageMNG, LF_FORMAT_MNG, LF_FORMAT_MNG, true)
    // LF_CODEC(LfImageTGA, LF_FORMAT_TGA, LF_FORMAT_TGA, false)
    // LF_CODEC(LfImagePCX, LF_FORMAT_PCX, LF_FORMAT_PCX, false)
    // LF_CODEC(LfImageWBMP, LF_FORMAT_WBMP, LF_FORMAT_WBMP, false)
    // LF_CODEC(LfImageWMF, LF_FORMAT_WMF, LF_FORMAT_WMF, false)
    // LF_CODEC(LfImageJAS, LF_FORMAT_JP2, LF_FORMAT_RAS, false)
    // LF_CODEC(LfImageSKA, LF_FORMAT_SKA, LF_FORMAT_SKA, false)
    // LF_CODEC(LfImageRAW, LF_FORMAT_RAW, LF_FORMAT_RAW, false)
    CodecEntry{0, 0, false, nullptr, nullptr},  // end of the table
};

#undef LF_CODEC

const CodecEntry* FindCodec(uint32_t format) {
    if (format == LF_FORMAT_UNKNOWN || format == LF_FORMAT_NONE) return nullptr;
    for (const CodecEntry& entry : kCodecs) {
        if (entry.encode && format >= entry.first && format <= entry.last) return &entry;
    }
    return nullptr;
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
    const CodecEntry* codec = FindCodec(format);
    if (!codec) {
        SetLastError("Encode: Unknown format");
        return false;
    }
    return Guarded(*this, true, [&] { return codec->encode(*this, stream, format); });
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
        for (const CodecEntry& entry : kCodecs) {
            if (!entry.decode) continue;
            if (Guarded(*this, false, [&] { return entry.decode(*this, stream, entry.first, true, entry.reportsFrames); }))
                return true;
            Rewind(stream, start);
        }
        SetLastError("Decode: Unknown or wrong format");
        return false;
    }
    const CodecEntry* codec = FindCodec(format);
    if (!codec) {
        SetLastError("Decode: Unknown or wrong format");
        return false;
    }
    return Guarded(*this, false, [&] { return codec->decode(*this, stream, format, false, codec->reportsFrames); });
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
    // Nothing is created for an identifier no codec serves.
    if (!FindCodec(format)) {
        SetLastError("Encode: Unknown format");
        return false;
    }

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
