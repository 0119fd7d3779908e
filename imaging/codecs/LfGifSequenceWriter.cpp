#include "LfGifSequenceWriter.h"

#include <algorithm>
#include <cmath>

#include "LfImageGIF.h"

namespace {

// The greys' table: entry k is grey k, so a grey frame's samples are its indices.
struct GreyTable {
    uint8_t rgb[256 * 3];
    GreyTable() {
        for (int k = 0; k < 256; ++k) std::fill(rgb + 3 * k, rgb + 3 * k + 3, uint8_t(k));
    }
};
const GreyTable kGreys;

// The bits of a table of this many entries (GIF's tables hold 2 to 256, a power of two).
int TableBits(int entries) {
    int bits = 1;
    while ((1 << bits) < entries) ++bits;
    return bits;
}

void PutWord(uint8_t* at, uint32_t value) {
    at[0] = uint8_t(value);
    at[1] = uint8_t(value >> 8);
}

}  // namespace

LfGifSequenceWriter::~LfGifSequenceWriter() { Close(); }

int64_t LfGifSequenceWriter::StartOfFrame(int64_t index, double framesPerSecond) {
    // A little slack so that 30 a second puts frame 3 at exactly 10, not 9.999...
    return int64_t(std::floor(double(index) * 100.0 / framesPerSecond + 1e-7));
}

bool LfGifSequenceWriter::Open(const std::string& path, const LfSequenceSettings& settings) {
    Close();
    if (settings.width < 1 || settings.height < 1 || settings.width > kMaxSide || settings.height > kMaxSide)
        return Fail("a GIF's frames are 1 to 65535 pixels a side, not " + std::to_string(settings.width) + " x " +
                    std::to_string(settings.height));
    if (!(settings.framesPerSecond > 0.0) || !std::isfinite(settings.framesPerSecond))
        return Fail("a GIF's rate must be above 0 frames a second");
    handle_ = std::fopen(path.c_str(), "wb");
    if (handle_ == nullptr) return Fail("cannot create " + path);
    stream_ = std::make_unique<LfIOFile>(handle_);
    settings_ = settings;
    frames_ = 0;
    // Signature, a screen of the frames' size without a global table, and the looping
    // extension (0: play forever).
    uint8_t head[13 + 19] = {'G', 'I', 'F', '8', '9', 'a'};
    PutWord(head + 6, uint32_t(settings.width));
    PutWord(head + 8, uint32_t(settings.height));
    const uint8_t looping[19] = {0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0};
    std::copy(looping, looping + 19, head + 13);
    return Write(head, sizeof head) || Fail("cannot write " + path);
}

bool LfGifSequenceWriter::AddFrame(const LfSequenceFrame& frame) {
    if (stream_ == nullptr) return Fail("the GIF is not open");
    if (frame.width != settings_.width || frame.height != settings_.height)
        return Fail("a frame of " + std::to_string(frame.width) + " x " + std::to_string(frame.height) +
                    " in a GIF of " + std::to_string(settings_.width) + " x " + std::to_string(settings_.height));
    if ((frame.samples != 1 && frame.samples != 3) || frame.pixels == nullptr ||
        frame.stride < size_t(frame.width) * size_t(frame.samples))
        return Fail("a GIF's frames are 8-bit grey or colour rows");
    const int64_t delay = StartOfFrame(frames_ + 1, settings_.framesPerSecond) - StartOfFrame(frames_, settings_.framesPerSecond);
    const uint16_t hundredths = uint16_t(std::clamp<int64_t>(delay, 0, 0xFFFF));
    bool written;
    if (frame.samples == 1) {
        written = WriteFrame(kGreys.rgb, 256, frame.pixels, frame.stride, hundredths);
    } else {
        quantiser_.Quantise(frame.pixels, frame.width, frame.height, frame.stride, settings_.dither, indices_);
        written = WriteFrame(quantiser_.Table(), quantiser_.Size(), indices_.data(), size_t(frame.width), hundredths);
    }
    if (!written) return Fail("cannot write the GIF's frame " + std::to_string(frames_));
    ++frames_;
    return true;
}

// Control extension (delay, no transparency, disposal "leave in place", which the next full
// frame covers), image descriptor with a local table, the table padded to a power of two,
// then the LZW data.
bool LfGifSequenceWriter::WriteFrame(const uint8_t* table, int entries, const uint8_t* indices, size_t stride,
                                     uint16_t delay) {
    const int bits = TableBits(entries);
    uint8_t head[8 + 10] = {0x21, 0xF9, 4, 1 << 2, 0, 0, 0, 0, ','};
    PutWord(head + 4, delay);
    PutWord(head + 13, uint32_t(settings_.width));
    PutWord(head + 15, uint32_t(settings_.height));
    head[17] = uint8_t(0x80 | (bits - 1));
    uint8_t padded[256 * 3] = {};
    std::copy(table, table + 3 * entries, padded);
    return Write(head, sizeof head) && Write(padded, size_t(3) << bits) &&
           LfWriteGifIndices(stream_.get(), indices, uint32_t(settings_.width), uint32_t(settings_.height), stride,
                             std::max(2, bits));
}

bool LfGifSequenceWriter::Finish() {
    if (stream_ == nullptr) return Fail("the GIF is not open");
    if (frames_ == 0) return Fail("a GIF needs at least one frame");
    const uint8_t trailer = ';';
    const bool written = Write(&trailer, 1) && stream_->Flush() && stream_->Error() == 0;
    const bool closed = std::fclose(handle_) == 0;
    handle_ = nullptr;
    stream_.reset();
    return (written && closed) || Fail("cannot write the end of the GIF");
}

void LfGifSequenceWriter::Abort() { Close(); }

bool LfGifSequenceWriter::Write(const void* data, size_t length) { return stream_->Write(data, 1, length) == length; }

void LfGifSequenceWriter::Close() {
    stream_.reset();
    if (handle_ != nullptr) std::fclose(handle_);
    handle_ = nullptr;
}
