#pragma once
// The bytes of one DICOM file, read front to back. Every read and skip is checked against
// the end, so the walk never looks past the file whatever its lengths say.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

class DicomSource {
public:
    virtual ~DicomSource() = default;
    // Reads exactly n bytes, or returns false (position then undefined).
    virtual bool read(void* dst, size_t n) = 0;
    // Moves forward by n bytes if that stays inside the file.
    virtual bool skip(uint64_t n) = 0;
    // Moves to an absolute position inside the file.
    virtual bool seek(uint64_t position) = 0;
    virtual uint64_t remaining() const = 0;
    virtual uint64_t position() const = 0;
    // Bytes the readers asked for so far (skips and seeks read nothing).
    uint64_t bytesRead() const { return bytesRead_; }

protected:
    uint64_t bytesRead_ = 0;
};

class FileSource final : public DicomSource {
public:
    // Opens a regular file; otherwise error() says why not.
    explicit FileSource(const char* path);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    bool isOpen() const { return file_ != nullptr; }
    const std::string& error() const { return error_; }
    bool read(void* dst, size_t n) override;
    bool skip(uint64_t n) override;
    bool seek(uint64_t position) override;
    uint64_t remaining() const override { return size_ - pos_; }
    uint64_t position() const override { return pos_; }

private:
    std::FILE* file_ = nullptr;
    std::string error_;
    uint64_t size_ = 0;
    uint64_t pos_ = 0;
};

class MemorySource final : public DicomSource {
public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool read(void* dst, size_t n) override;
    bool skip(uint64_t n) override;
    bool seek(uint64_t position) override;
    uint64_t remaining() const override { return size_ - pos_; }
    uint64_t position() const override { return pos_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// The largest data set a deflated file may inflate to.
constexpr uint64_t kMaxInflatedBytes = uint64_t{1} << 30;

// A deflated data set (raw deflate, no zlib or gzip header) read as its inflated bytes, which
// are inflated only as far as the reads go: a frame near the start never costs the rest of
// the file. Moving back inflates again from the start. The output may not exceed what
// deflate can produce from the input, nor kMaxInflatedBytes.
class InflatingSource final : public DicomSource {
public:
    // Inflates the compressed source from its current position on.
    explicit InflatingSource(std::unique_ptr<DicomSource> compressed);
    ~InflatingSource() override;
    InflatingSource(const InflatingSource&) = delete;
    InflatingSource& operator=(const InflatingSource&) = delete;
    bool read(void* dst, size_t n) override;
    bool skip(uint64_t n) override;
    bool seek(uint64_t position) override;
    // Exact once the stream's end was met; until then what the budget still allows.
    uint64_t remaining() const override;
    uint64_t position() const override { return pos_; }
    // Why the inflated bytes stopped before their end: a damaged stream or one over its
    // budget; empty when they simply ended.
    const std::string& error() const { return error_; }
    // The compressed source, whose bytesRead() counts what the file gave.
    const DicomSource& compressed() const { return *compressed_; }

private:
    bool inflateInto(uint8_t* dst, uint64_t n);
    bool restart();

    std::unique_ptr<DicomSource> compressed_;
    uint64_t start_ = 0;   // where the deflate stream begins in the compressed source
    uint64_t budget_ = 0;  // most inflated bytes the stream may give
    uint64_t pos_ = 0;
    uint64_t end_ = UINT64_MAX;  // the inflated size, once known
    struct Stream;
    std::unique_ptr<Stream> stream_;
    std::string error_;
};
