#pragma once
// The bytes of one DICOM file, read front to back. Every read and skip is checked against
// the end, so the walk never looks past the file whatever its lengths say.

#include <cstddef>
#include <cstdint>
#include <cstdio>
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

// Inflates the rest of the source (raw deflate, no zlib or gzip header) into out. The output
// may not exceed what deflate can produce from the input, nor kMaxInflatedBytes. False with
// the reason in error when the stream is damaged or over the budget.
bool InflateRest(DicomSource& source, std::vector<uint8_t>& out, std::string& error);
