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

struct InflatingSource::Stream {
    z_stream z{};
    bool started = false;
    std::vector<uint8_t> input = std::vector<uint8_t>(kChunk);
    std::vector<uint8_t> discard;  // the output of skipped bytes
    ~Stream() {
        if (started) inflateEnd(&z);
    }
};

InflatingSource::InflatingSource(std::unique_ptr<DicomSource> compressed)
    : compressed_(std::move(compressed)), stream_(std::make_unique<Stream>()) {
    start_ = compressed_->position();
    budget_ = std::min(kMaxInflatedBytes, compressed_->remaining() * kMaxDeflateRatio + 64);
    if (inflateInit2(&stream_->z, -MAX_WBITS) != Z_OK) {
        error_ = "cannot start inflating the data set";
        end_ = 0;
        return;
    }
    stream_->started = true;
}

InflatingSource::~InflatingSource() = default;

uint64_t InflatingSource::remaining() const {
    return (end_ != UINT64_MAX ? end_ : budget_) - std::min(pos_, std::min(end_, budget_));
}

// Inflates the next n bytes into dst (nowhere when dst is null). A stream that ends or
// breaks first fixes the inflated size where it stopped.
bool InflatingSource::inflateInto(uint8_t* dst, uint64_t n) {
    z_stream& z = stream_->z;
    while (n > 0) {
        if (pos_ >= end_) return false;
        if (pos_ >= budget_) {
            error_ = "deflated data set inflates past its budget";
            end_ = pos_;
            return false;
        }
        if (z.avail_in == 0) {
            const size_t got = static_cast<size_t>(std::min<uint64_t>(kChunk, compressed_->remaining()));
            if (got == 0 || !compressed_->read(stream_->input.data(), got)) {
                end_ = pos_;  // a stream cut short keeps what it gave
                return false;
            }
            z.next_in = stream_->input.data();
            z.avail_in = static_cast<uInt>(got);
        }
        const size_t want = static_cast<size_t>(std::min<uint64_t>({n, kChunk, budget_ - pos_}));
        uint8_t* out = dst;
        if (!out) {
            stream_->discard.resize(kChunk);
            out = stream_->discard.data();
        }
        z.next_out = out;
        z.avail_out = static_cast<uInt>(want);
        const int status = inflate(&z, Z_NO_FLUSH);
        const size_t made = want - z.avail_out;
        pos_ += made;
        n -= made;
        if (dst) dst += made;
        if (status == Z_STREAM_END) {
            end_ = pos_;
            return n == 0;
        }
        if (status != Z_OK && status != Z_BUF_ERROR) {
            error_ = "damaged deflated data set";
            end_ = pos_;
            return false;
        }
    }
    return true;
}

bool InflatingSource::restart() {
    if (!stream_->started || !compressed_->seek(start_) || inflateReset(&stream_->z) != Z_OK) return false;
    stream_->z.avail_in = 0;
    pos_ = 0;
    return true;
}

bool InflatingSource::read(void* dst, size_t n) {
    if (n > remaining()) return false;
    bytesRead_ += n;
    return inflateInto(static_cast<uint8_t*>(dst), n);
}

bool InflatingSource::skip(uint64_t n) {
    if (n > remaining()) return false;
    return inflateInto(nullptr, n);
}

bool InflatingSource::seek(uint64_t position) {
    if (position > std::min(end_, budget_)) return false;
    if (position < pos_ && !restart()) return false;
    return inflateInto(nullptr, position - pos_);
}
