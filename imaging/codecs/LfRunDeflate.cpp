#include "LfRunDeflate.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr size_t kBlockSymbols = LfRunDeflater::kBlockSymbols;
constexpr int kLitLenSymbols = LfRunDeflater::kLitLenSymbols;
constexpr int kEndOfBlock = 256;
constexpr int kCodeLengthSymbols = 19;
constexpr int kMaxCodeBits = 15;
constexpr int kMaxCodeLengthBits = 7;
constexpr int kMinRun = 3;
constexpr int kMaxRun = 258;
// A symbol is a literal (0-255) or a run of kMinRun + (symbol - 256) bytes.
using Symbol = uint16_t;

// Length symbols 257-285: the first length of each and its extra bits.
constexpr std::array<uint16_t, 29> kLengthBase = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<uint8_t, kCodeLengthSymbols> kCodeLengthOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                      11, 4,  12, 3, 13, 2, 14, 1, 15};

// Index into kLengthBase of every run length 3..258.
struct LengthCodes {
    std::array<uint8_t, kMaxRun + 1> index{};
    constexpr LengthCodes() {
        for (int code = 0; code < 29; ++code) {
            const int last = code + 1 < 29 ? kLengthBase[code + 1] - 1 : kMaxRun;
            for (int len = kLengthBase[code]; len <= last && len <= kMaxRun; ++len) index[len] = static_cast<uint8_t>(code);
        }
        index[kMaxRun] = 28;  // 258 has a code of its own, not 227 + 31
    }
};
constexpr LengthCodes kLengthCodes;

// Appends bits first bit first. Works on copies of the deflater's bit state, which Store
// hands back (no destructor: a libpng error may jump over a writer in use).
class BitWriter {
public:
    BitWriter(uint8_t* out, size_t size, uint64_t bits, int filled)
        : out_(out), size_(size), bits_(bits), filled_(filled) {}
    // Appends the low `count` bits (at most 32) of value.
    void Put(uint32_t value, int count) {
        bits_ |= static_cast<uint64_t>(value) << filled_;
        filled_ += count;
        if (filled_ >= 32) {
            for (int i = 0; i < 4; ++i) out_[size_++] = static_cast<uint8_t>(bits_ >> (8 * i));
            bits_ >>= 32;
            filled_ -= 32;
        }
    }
    // Pads to a whole byte and writes what is left.
    void Align() {
        for (; filled_ > 0; filled_ -= 8) {
            out_[size_++] = static_cast<uint8_t>(bits_);
            bits_ >>= 8;
        }
        bits_ = 0;
        filled_ = 0;
    }
    void Byte(uint8_t value) { out_[size_++] = value; }
    void Store(size_t& size, uint64_t& bits, int& filled) const {
        size = size_;
        bits = bits_;
        filled = filled_;
    }

private:
    uint8_t* out_;
    size_t size_;
    uint64_t bits_;
    int filled_;
};

// Huffman code lengths of at most `limit` bits for n symbols. Inflaters accept only complete
// codes, so at least two symbols get a code (an unused one when a single symbol occurs).
void CodeLengths(uint32_t* freq, int n, int limit, uint8_t* lengths) {
    std::fill(lengths, lengths + n, 0);
    int used = 0;
    for (int s = 0; s < n; ++s) used += freq[s] > 0;
    for (int s = 0; used < 2 && s < n; ++s)
        if (freq[s] == 0) freq[s] = 1, ++used;

    // Two-queue Huffman build: leaves sorted by frequency, inner nodes made in order.
    std::array<uint16_t, kLitLenSymbols> leaves{};
    int leafCount = 0;
    for (int s = 0; s < n; ++s)
        if (freq[s] > 0) leaves[leafCount++] = static_cast<uint16_t>(s);
    std::sort(leaves.begin(), leaves.begin() + leafCount,
              [&](uint16_t a, uint16_t b) { return freq[a] != freq[b] ? freq[a] < freq[b] : a < b; });
    std::array<uint64_t, kLitLenSymbols> innerWeight{};
    std::array<int, kLitLenSymbols> leafParent{}, innerParent{};
    int nextLeaf = 0, nextInner = 0, inner = 0;
    auto takeSmallest = [&](int& isLeaf) {
        if (nextLeaf < leafCount && (nextInner >= inner || freq[leaves[nextLeaf]] <= innerWeight[nextInner])) {
            isLeaf = 1;
            return nextLeaf++;
        }
        isLeaf = 0;
        return nextInner++;
    };
    while (inner < leafCount - 1) {
        uint64_t weight = 0;
        for (int k = 0; k < 2; ++k) {
            int isLeaf = 0;
            const int node = takeSmallest(isLeaf);
            weight += isLeaf ? freq[leaves[node]] : innerWeight[node];
            (isLeaf ? leafParent : innerParent)[node] = inner;
        }
        innerWeight[inner++] = weight;
    }
    // Depths from the root (the last inner node) down.
    std::array<int, kLitLenSymbols> innerDepth{};
    innerDepth[inner - 1] = 0;
    for (int i = inner - 2; i >= 0; --i) innerDepth[i] = innerDepth[innerParent[i]] + 1;
    for (int i = 0; i < leafCount; ++i)
        lengths[leaves[i]] = static_cast<uint8_t>(std::min(innerDepth[leafParent[i]] + 1, limit));

    // Clamping may have over-subscribed the code: lengthen the longest codes below the limit
    // until it fits, then shorten the longest ones while room is left, so it is complete.
    const int64_t full = int64_t{1} << limit;
    int64_t kraft = 0;
    for (int s = 0; s < n; ++s)
        if (lengths[s]) kraft += int64_t{1} << (limit - lengths[s]);
    while (kraft > full) {
        int pick = -1;
        for (int i = 0; i < leafCount; ++i) {
            const int s = leaves[i];
            if (lengths[s] < limit && (pick < 0 || lengths[s] > lengths[pick])) pick = s;
        }
        kraft -= int64_t{1} << (limit - lengths[pick] - 1);
        ++lengths[pick];
    }
    while (kraft < full) {
        int pick = -1;
        for (int i = leafCount - 1; i >= 0; --i) {  // most frequent first
            const int s = leaves[i];
            if (pick < 0 || lengths[s] > lengths[pick]) pick = s;
        }
        kraft += int64_t{1} << (limit - lengths[pick]);
        --lengths[pick];
    }
}

// Canonical codes for the lengths, bit-reversed because deflate sends codes first bit first.
void Codes(const uint8_t* lengths, int n, uint16_t* codes) {
    std::array<uint16_t, kMaxCodeBits + 2> count{}, next{};
    for (int s = 0; s < n; ++s) ++count[lengths[s]];
    count[0] = 0;
    uint16_t code = 0;
    for (int bits = 1; bits <= kMaxCodeBits; ++bits) {
        code = static_cast<uint16_t>((code + count[bits - 1]) << 1);
        next[bits] = code;
    }
    for (int s = 0; s < n; ++s) {
        const int len = lengths[s];
        if (len == 0) continue;
        uint16_t c = next[len]++, reversed = 0;
        for (int b = 0; b < len; ++b, c >>= 1) reversed = static_cast<uint16_t>((reversed << 1) | (c & 1));
        codes[s] = reversed;
    }
}

struct Op {
    uint8_t symbol;
    uint8_t extra;
};

// The code lengths of the block's two tables as one run-length coded sequence (16 repeats
// the previous length, 17 and 18 give runs of zeros).
int CodeLengthOps(const uint8_t* lengths, int n, Op* ops) {
    int count = 0;
    for (int i = 0; i < n;) {
        const uint8_t v = lengths[i];
        int run = 1;
        while (i + run < n && lengths[i + run] == v) ++run;
        i += run;
        if (v == 0) {
            for (; run >= 11; run -= std::min(run, 138)) ops[count++] = {18, static_cast<uint8_t>(std::min(run, 138) - 11)};
            if (run >= 3) ops[count++] = {17, static_cast<uint8_t>(run - 3)}, run = 0;
        } else {
            ops[count++] = {v, 0};
            --run;
            for (; run >= 3; run -= std::min(run, 6)) ops[count++] = {16, static_cast<uint8_t>(std::min(run, 6) - 3)};
        }
        for (; run > 0; --run) ops[count++] = {v, 0};
    }
    return count;
}

void WriteBlock(BitWriter& w, const Symbol* symbols, size_t count, uint32_t* freq, bool last) {
    freq[kEndOfBlock] = 1;
    std::array<uint8_t, kLitLenSymbols + 1> lengths{};  // + the one distance code
    std::array<uint16_t, kLitLenSymbols> codes{};
    CodeLengths(freq, kLitLenSymbols, kMaxCodeBits, lengths.data());
    Codes(lengths.data(), kLitLenSymbols, codes.data());
    int litLen = kLitLenSymbols;
    while (litLen > 257 && lengths[litLen - 1] == 0) --litLen;
    // Every match is at distance 1: one distance code (0) of one bit, sent as a 0 bit.
    lengths[litLen] = 1;

    std::array<Op, kLitLenSymbols + 1> ops{};
    const int opCount = CodeLengthOps(lengths.data(), litLen + 1, ops.data());
    std::array<uint32_t, kCodeLengthSymbols> clFreq{};
    for (int i = 0; i < opCount; ++i) ++clFreq[ops[i].symbol];
    std::array<uint8_t, kCodeLengthSymbols> clLengths{};
    std::array<uint16_t, kCodeLengthSymbols> clCodes{};
    CodeLengths(clFreq.data(), kCodeLengthSymbols, kMaxCodeLengthBits, clLengths.data());
    Codes(clLengths.data(), kCodeLengthSymbols, clCodes.data());
    int clCount = kCodeLengthSymbols;
    while (clCount > 4 && clLengths[kCodeLengthOrder[clCount - 1]] == 0) --clCount;

    w.Put(last ? 1 : 0, 1);
    w.Put(2, 2);  // dynamic Huffman codes
    w.Put(static_cast<uint32_t>(litLen - 257), 5);
    w.Put(0, 5);  // one distance code
    w.Put(static_cast<uint32_t>(clCount - 4), 4);
    for (int i = 0; i < clCount; ++i) w.Put(clLengths[kCodeLengthOrder[i]], 3);
    static constexpr uint8_t kOpExtraBits[3] = {2, 3, 7};
    for (int i = 0; i < opCount; ++i) {
        const Op op = ops[i];
        w.Put(clCodes[op.symbol], clLengths[op.symbol]);
        if (op.symbol >= 16) w.Put(op.extra, kOpExtraBits[op.symbol - 16]);
    }

    for (size_t i = 0; i < count; ++i) {
        const Symbol s = symbols[i];
        if (s < 256) {
            w.Put(codes[s], lengths[s]);
            continue;
        }
        const int run = s - 256 + kMinRun;
        const int code = kLengthCodes.index[run];
        const int symbol = 257 + code;
        w.Put(codes[symbol], lengths[symbol]);
        if (kLengthExtra[code]) w.Put(static_cast<uint32_t>(run - kLengthBase[code]), kLengthExtra[code]);
        w.Put(0, 1);
    }
    w.Put(codes[kEndOfBlock], lengths[kEndOfBlock]);
}

}  // namespace

LfRunDeflater::LfRunDeflater(Sink sink, void* context)
    : sink_(sink),
      context_(context),
      symbols_(static_cast<uint16_t*>(std::malloc(kBlockSymbols * sizeof(Symbol)))),
      out_(static_cast<uint8_t*>(std::malloc(kOutBytes))) {
    if (!out_) return;
    out_[0] = 0x78;  // deflate, 32 KiB window
    out_[1] = 0x01;  // fastest compression; header check bits
    outSize_ = 2;
}

LfRunDeflater::~LfRunDeflater() {
    std::free(symbols_);
    std::free(out_);
}

void LfRunDeflater::Put(const uint8_t* data, size_t size) {
    if (!Ready() || size == 0) return;
    adler_ = static_cast<uint32_t>(adler32_z(adler_, data, size));
    for (size_t i = 0; i < size;) {
        if (count_ == kBlockSymbols) EmitBlock(false);
        // A run repeats the byte before it: the previous call's last byte at i == 0.
        const bool follows = i > 0 || havePrevious_;
        const uint8_t previous = i > 0 ? data[i - 1] : previous_;
        if (follows && data[i] == previous) {
            const size_t most = std::min<size_t>(kMaxRun, size - i);
            size_t run = 1;
            while (run < most && data[i + run] == previous) ++run;
            if (run >= kMinRun) {
                symbols_[count_++] = static_cast<Symbol>(256 + run - kMinRun);
                ++freq_[257 + kLengthCodes.index[run]];
                i += run;
                continue;
            }
        }
        symbols_[count_++] = data[i];
        ++freq_[data[i]];
        ++i;
    }
    previous_ = data[size - 1];
    havePrevious_ = true;
}

bool LfRunDeflater::Finish() {
    if (!Ready()) return false;
    EmitBlock(true);
    return true;
}

// Writes the symbols gathered as one block and hands the whole bytes on; the final block
// also ends the stream (padding, Adler-32).
void LfRunDeflater::EmitBlock(bool last) {
    BitWriter w(out_, outSize_, bits_, filled_);
    WriteBlock(w, symbols_, count_, freq_, last);
    if (last) {
        w.Align();
        for (int shift = 24; shift >= 0; shift -= 8) w.Byte(static_cast<uint8_t>(adler_ >> shift));
    }
    w.Store(outSize_, bits_, filled_);
    count_ = 0;
    std::fill(std::begin(freq_), std::end(freq_), 0u);
    const size_t bytes = std::exchange(outSize_, 0);
    if (bytes > 0) sink_(context_, out_, bytes);
}
