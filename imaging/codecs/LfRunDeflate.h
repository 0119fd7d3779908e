// A fast zlib stream for filtered picture rows: every byte is a literal except runs of a
// repeated byte, which become matches at distance 1, coded with a fresh Huffman table every
// 16384 symbols. Flat areas and the zeros that filtering leaves pack as well as with zlib's
// level 1 run-length strategy, in less time: no match search, one pass to count and one to
// write, and no window to keep.
#pragma once

#include <cstddef>
#include <cstdint>

class LfRunDeflater {
public:
    static constexpr size_t kBlockSymbols = 16384;
    static constexpr int kLitLenSymbols = 286;  // literals, end of block, 29 length codes
    // Receives the stream in pieces, in order. It may leave by a libpng error's jump: the
    // deflater holds no object with a destructor, and its owner frees it afterwards.
    using Sink = void (*)(void* context, const uint8_t* bytes, size_t size);

    LfRunDeflater(Sink sink, void* context);
    ~LfRunDeflater();
    LfRunDeflater(const LfRunDeflater&) = delete;
    LfRunDeflater& operator=(const LfRunDeflater&) = delete;

    // False when its buffers could not be allocated; nothing is then written.
    bool Ready() const { return symbols_ != nullptr && out_ != nullptr; }
    // Packs the next bytes of the stream; runs may continue from one call into the next.
    void Put(const uint8_t* data, size_t size);
    // Writes the last block and the checksum. False when the deflater is not Ready.
    bool Finish();

private:
    // A block of codes for 16384 symbols of at most 21 bits, with its tables, fits.
    static constexpr size_t kOutBytes = kBlockSymbols * 21 / 8 + 1024;

    void EmitBlock(bool last);

    Sink sink_;
    void* context_;
    uint16_t* symbols_;  // a literal (0-255) or a run of 3 + (symbol - 256) bytes
    uint8_t* out_;
    size_t outSize_ = 0;
    uint64_t bits_ = 0;  // bits of a byte not yet complete
    int filled_ = 0;
    size_t count_ = 0;
    uint32_t freq_[kLitLenSymbols] = {};
    uint32_t adler_ = 1;
    uint8_t previous_ = 0;
    bool havePrevious_ = false;
};
