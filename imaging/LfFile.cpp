// Byte streams over stdio handles and over growable memory buffers.
#include "LfFile.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr int64_t kMaxStreamSize = std::numeric_limits<int32_t>::max();
constexpr int64_t kGrowStep = 65536;

}  // namespace

bool LfFile::PutC(uint8_t c) { return Write(&c, 1, 1) == 1; }

// ---------------------------------------------------------------- LfIOFile

LfIOFile::LfIOFile(FILE* handle) : handle_(handle), closeOnDestroy_(handle == nullptr) {}

LfIOFile::~LfIOFile() { Close(); }

bool LfIOFile::Close() {
    if (!handle_ || !closeOnDestroy_) return true;
    const int result = std::fclose(handle_);
    handle_ = nullptr;
    return result == 0;
}

size_t LfIOFile::Read(void* buffer, size_t size, size_t count) {
    if (!handle_ || !buffer || size == 0) return 0;
    if (count > std::numeric_limits<size_t>::max() / size) return 0;
    return std::fread(buffer, size, count, handle_);
}

size_t LfIOFile::Write(const void* buffer, size_t size, size_t count) {
    if (!handle_ || !buffer || size == 0) return 0;
    if (count > std::numeric_limits<size_t>::max() / size) return 0;
    return std::fwrite(buffer, size, count, handle_);
}

bool LfIOFile::Seek(int32_t offset, int origin) {
    return handle_ && std::fseek(handle_, offset, origin) == 0;
}

int32_t LfIOFile::Tell() {
    if (!handle_) return 0;
    const long pos = std::ftell(handle_);
    return static_cast<int32_t>(std::min<long>(pos, kMaxStreamSize));
}

int32_t LfIOFile::Size() {
    if (!handle_) return -1;
    const long pos = std::ftell(handle_);
    std::fseek(handle_, 0, SEEK_END);
    const long size = std::ftell(handle_);
    std::fseek(handle_, pos, SEEK_SET);
    return static_cast<int32_t>(std::min<long>(size, kMaxStreamSize));
}

bool LfIOFile::Flush() { return handle_ && std::fflush(handle_) == 0; }

bool LfIOFile::Eof() { return !handle_ || std::feof(handle_) != 0; }

int32_t LfIOFile::Error() { return handle_ ? std::ferror(handle_) : -1; }

bool LfIOFile::PutC(uint8_t c) { return handle_ && std::fputc(c, handle_) == c; }

int32_t LfIOFile::GetC() { return handle_ ? std::getc(handle_) : -1; }

char* LfIOFile::GetS(char* buffer, int32_t capacity) {
    if (!handle_ || !buffer || capacity <= 0) return nullptr;
    return std::fgets(buffer, capacity, handle_);
}

int32_t LfIOFile::Scanf(const char* format, void* target) {
    if (!handle_ || !format) return -1;
    return std::fscanf(handle_, format, target);
}

// ---------------------------------------------------------------- LfMemFile

LfMemFile::LfMemFile(uint8_t* buffer, int32_t size)
    : buffer_(buffer),
      position_(0),
      size_(buffer ? std::max(size, 0) : 0),
      capacity_(buffer ? std::max(size, 0) : 0),
      ownsBuffer_(buffer == nullptr) {}

LfMemFile::~LfMemFile() { Close(); }

bool LfMemFile::Open() {
    if (buffer_) return false;
    capacity_ = size_ = position_ = 0;
    buffer_ = static_cast<uint8_t*>(std::malloc(1));
    ownsBuffer_ = true;
    return buffer_ != nullptr;
}

uint8_t* LfMemFile::GetBuffer(bool detach) {
    if (detach) ownsBuffer_ = false;
    return buffer_;
}

bool LfMemFile::Close() {
    // A detached or borrowed buffer is forgotten without being freed.
    if (buffer_ && ownsBuffer_) std::free(buffer_);
    buffer_ = nullptr;
    size_ = capacity_ = position_ = 0;
    ownsBuffer_ = true;
    return true;
}

// Capacity grows to the next multiple of 64 KiB above the need. A buffer the stream does not
// own (borrowed or detached) is copied into a fresh allocation, never reallocated.
bool LfMemFile::Grow(int64_t needed) {
    if (needed <= capacity_) return buffer_ != nullptr;
    const int64_t capacity = (needed & ~(kGrowStep - 1)) + kGrowStep;
    if (needed < 0 || capacity > kMaxStreamSize) return false;

    uint8_t* grown;
    if (ownsBuffer_) {
        grown = static_cast<uint8_t*>(std::realloc(buffer_, static_cast<size_t>(capacity)));
        if (!grown) std::free(buffer_);
    } else {
        grown = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(capacity)));
        if (grown && buffer_) std::memcpy(grown, buffer_, static_cast<size_t>(size_));
    }
    buffer_ = grown;
    ownsBuffer_ = true;
    if (!buffer_) {
        size_ = capacity_ = position_ = 0;
        return false;
    }
    capacity_ = static_cast<int32_t>(capacity);
    return true;
}

size_t LfMemFile::Read(void* buffer, size_t size, size_t count) {
    if (!buffer || !buffer_ || size == 0 || count == 0 || position_ >= size_) return 0;
    const size_t available = static_cast<size_t>(size_ - position_);
    // When size x count would not fit in size_t it is certainly more than what is left.
    const size_t wanted = count > available / size ? available : size * count;
    std::memcpy(buffer, buffer_ + position_, wanted);
    position_ += static_cast<int32_t>(wanted);
    return wanted / size;
}

size_t LfMemFile::Write(const void* buffer, size_t size, size_t count) {
    if (!buffer_ || !buffer || size == 0 || count == 0) return 0;
    if (count > static_cast<size_t>(kMaxStreamSize) / size) return 0;
    const int64_t length = static_cast<int64_t>(size * count);
    const int64_t end = static_cast<int64_t>(position_) + length;
    if (end > kMaxStreamSize) return 0;
    if (end > capacity_ && !Grow(end)) return 0;
    // A gap left by seeking past the end is zero-filled rather than exposing old memory.
    if (position_ > size_) std::memset(buffer_ + size_, 0, static_cast<size_t>(position_ - size_));
    std::memcpy(buffer_ + position_, buffer, static_cast<size_t>(length));
    position_ = static_cast<int32_t>(end);
    size_ = std::max(size_, position_);
    return count;
}

bool LfMemFile::Seek(int32_t offset, int origin) {
    if (!buffer_) return false;
    int64_t base;
    switch (origin) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = position_; break;
    case SEEK_END: base = size_; break;
    default: return false;
    }
    const int64_t target = std::clamp<int64_t>(base + offset, 0, kMaxStreamSize);
    position_ = static_cast<int32_t>(target);
    return true;
}

int32_t LfMemFile::Tell() { return buffer_ ? position_ : -1; }

int32_t LfMemFile::Size() { return buffer_ ? size_ : -1; }

bool LfMemFile::Flush() { return buffer_ != nullptr; }

bool LfMemFile::Eof() { return !buffer_ || position_ >= size_; }

int32_t LfMemFile::Error() { return buffer_ ? (position_ > size_ ? 1 : 0) : -1; }

bool LfMemFile::PutC(uint8_t c) {
    if (!buffer_) return false;
    if (position_ >= kMaxStreamSize) return false;
    if (position_ >= capacity_ && !Grow(static_cast<int64_t>(position_) + 1)) return false;
    if (position_ > size_) std::memset(buffer_ + size_, 0, static_cast<size_t>(position_ - size_));
    buffer_[position_++] = c;
    size_ = std::max(size_, position_);
    return true;
}

int32_t LfMemFile::GetC() {
    if (Eof()) return -1;
    return buffer_[position_++];
}

char* LfMemFile::GetS(char* buffer, int32_t capacity) {
    if (!buffer || capacity <= 0) return nullptr;
    int32_t n = 0;
    while (n < capacity - 1) {
        const int32_t c = GetC();
        if (c == -1) return nullptr;
        buffer[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buffer[n] = '\0';
    return buffer;
}

int32_t LfMemFile::Scanf(const char*, void*) { return 0; }
