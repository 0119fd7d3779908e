#include "DicomSource.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <zlib.h>

FileSource::FileSource(const char* path) : file_(std::fopen(path, "rb")) {
    if (!file_) {
        error_ = std::strerror(errno);
        return;
    }
    struct stat st {};
    if (fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode)) {
        size_ = static_cast<uint64_t>(st.st_size);
        return;
    }
    error_ = "not a regular file";
    std::fclose(file_);
    file_ = nullptr;
}

FileSource::~FileSource() {
    if (file_) std::fclose(file_);
}

bool FileSource::read(void* dst, size_t n) {
    if (n > remaining()) return false;
    bytesRead_ += n;
    if (std::fread(dst, 1, n, file_) != n) return false;
    pos_ += n;
    return true;
}

bool FileSource::skip(uint64_t n) {
    if (n > remaining()) return false;
    if (n == 0) return true;
    if (fseeko(file_, static_cast<off_t>(n), SEEK_CUR) != 0) return false;
    pos_ += n;
    return true;
}

bool FileSource::seek(uint64_t position) {
    if (position > size_) return false;
    if (fseeko(file_, static_cast<off_t>(position), SEEK_SET) != 0) return false;
    pos_ = position;
    return true;
}

bool MemorySource::read(void* dst, size_t n) {
    if (n > remaining()) return false;
    if (n) std::memcpy(dst, data_ + pos_, n);
    bytesRead_ += n;
    pos_ += n;
    return true;
}

bool MemorySource::skip(uint64_t n) {
    if (n > remaining()) return false;
    pos_ += static_cast<size_t>(n);
    return true;
}

bool MemorySource::seek(uint64_t position) {
    if (position > size_) return false;
    pos_ = static_cast<size_t>(position);
    return true;
}

namespace {

// Deflate turns at most 258 bytes of output into about 1 bit of input: 1032 to 1.
constexpr uint64_t kMaxDeflateRatio = 1032;
constexpr size_t kChunk = 256 * 1024;

}  // namespace

bool InflateRest(DicomSource& source, std::vector<uint8_t>& out, std::string& error) {
    out.clear();
    const uint64_t inputBytes = source.remaining();
    const uint64_t budget = std::min(kMaxInflatedBytes, inputBytes * kMaxDeflateRatio + 64);
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) {
        error = "cannot start inflating the data set";
        return false;
    }
    std::vector<uint8_t> input(kChunk);
    int status = Z_OK;
    bool ok = true;
    while (status != Z_STREAM_END) {
        if (z.avail_in == 0) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, source.remaining()));
            if (n == 0 || !source.read(input.data(), n)) break;  // a stream cut short keeps what it gave
            z.next_in = input.data();
            z.avail_in = static_cast<uInt>(n);
        }
        const size_t used = out.size();
        if (used >= budget) {
            error = "deflated data set inflates past its budget";
            ok = false;
            break;
        }
        out.resize(static_cast<size_t>(std::min<uint64_t>(budget, used + kChunk)));
        z.next_out = out.data() + used;
        z.avail_out = static_cast<uInt>(out.size() - used);
        status = inflate(&z, Z_NO_FLUSH);
        out.resize(out.size() - z.avail_out);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
            error = "damaged deflated data set";
            ok = false;
            break;
        }
    }
    inflateEnd(&z);
    if (!ok) out.clear();
    return ok;
}
