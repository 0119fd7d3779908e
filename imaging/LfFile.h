// Byte streams: every codec reads and writes through LfFile, so the same codec works on a
// stdio file (LfIOFile) and on a growable block of memory (LfMemFile).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

class LfFile {
public:
    virtual ~LfFile() = default;

    virtual bool Close() = 0;
    // Both return whole items transferred, as fread/fwrite do.
    virtual size_t Read(void* buffer, size_t size, size_t count) = 0;
    virtual size_t Write(const void* buffer, size_t size, size_t count) = 0;
    // origin: 0 start (SEEK_SET), 1 current (SEEK_CUR), 2 end (SEEK_END).
    virtual bool Seek(int32_t offset, int origin) = 0;
    virtual int32_t Tell() = 0;
    virtual int32_t Size() = 0;
    virtual bool Flush() = 0;
    virtual bool Eof() = 0;
    virtual int32_t Error() = 0;
    virtual bool PutC(uint8_t c);
    // The byte 0..255, or -1 at the end or on error.
    virtual int32_t GetC() = 0;
    virtual char* GetS(char* buffer, int32_t capacity) = 0;
    // Formatted scan with one target: fscanf's result for a stdio stream (fields assigned, -1
    // at the end or without a handle); a memory stream does not scan and always returns 0.
    virtual int32_t Scanf(const char* format, void* target) = 0;
};

// A stream over a C stdio handle. A handle given by the caller stays the caller's to close.
class LfIOFile : public LfFile {
public:
    explicit LfIOFile(FILE* handle = nullptr);
    ~LfIOFile() override;
    LfIOFile(const LfIOFile&) = delete;
    LfIOFile& operator=(const LfIOFile&) = delete;

    bool Close() override;
    size_t Read(void* buffer, size_t size, size_t count) override;
    size_t Write(const void* buffer, size_t size, size_t count) override;
    bool Seek(int32_t offset, int origin) override;
    int32_t Tell() override;
    int32_t Size() override;
    bool Flush() override;
    bool Eof() override;
    int32_t Error() override;
    bool PutC(uint8_t c) override;
    int32_t GetC() override;
    char* GetS(char* buffer, int32_t capacity) override;
    int32_t Scanf(const char* format, void* target) override;

    FILE* Handle() const { return handle_; }

private:
    FILE* handle_;
    bool closeOnDestroy_;
};

// A growable memory stream. Capacity grows in 64 KiB steps so that byte-by-byte writers do
// not reallocate often.
class LfMemFile : public LfFile {
public:
    explicit LfMemFile(uint8_t* buffer = nullptr, int32_t size = 0);
    ~LfMemFile() override;
    LfMemFile(const LfMemFile&) = delete;
    LfMemFile& operator=(const LfMemFile&) = delete;

    // Starts an empty owned buffer; false when a buffer already exists.
    bool Open();
    // The buffer; with detach the caller becomes its owner and must free() it.
    uint8_t* GetBuffer(bool detach = true);

    bool Close() override;
    size_t Read(void* buffer, size_t size, size_t count) override;
    size_t Write(const void* buffer, size_t size, size_t count) override;
    bool Seek(int32_t offset, int origin) override;
    int32_t Tell() override;
    int32_t Size() override;
    bool Flush() override;
    bool Eof() override;
    int32_t Error() override;
    bool PutC(uint8_t c) override;
    int32_t GetC() override;
    char* GetS(char* buffer, int32_t capacity) override;
    int32_t Scanf(const char* format, void* target) override;

    int32_t Capacity() const { return capacity_; }

private:
    bool Grow(int64_t needed);

    uint8_t* buffer_;
    int32_t position_;
    int32_t size_;
    int32_t capacity_;
    bool ownsBuffer_;
};
