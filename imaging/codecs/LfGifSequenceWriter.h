// Animated GIF written one frame at a time: a looping GIF89a whose frames each bring their own
// colour table, 256 greys for grey frames (every level kept), our quantiser's table for colour
// ones. Delays are in hundredths of a second, the rounding carried from frame to frame so that
// the loop lasts as long as its frames at the rate. No frame is kept once written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "LfColourQuantiser.h"
#include "LfFile.h"
#include "LfSequenceWriter.h"

class LfGifSequenceWriter : public LfSequenceWriter {
public:
    LfGifSequenceWriter() = default;
    ~LfGifSequenceWriter() override;
    LfGifSequenceWriter(const LfGifSequenceWriter&) = delete;
    LfGifSequenceWriter& operator=(const LfGifSequenceWriter&) = delete;

    bool Open(const std::string& path, const LfSequenceSettings& settings) override;
    bool AddFrame(const LfSequenceFrame& frame) override;
    bool Finish() override;
    void Abort() override;

    // Hundredths of a second from the start to the start of frame `index` (from 0) at the rate:
    // a frame's delay is the next frame's start less its own.
    static int64_t StartOfFrame(int64_t index, double framesPerSecond);
    static constexpr int32_t kMaxSide = 65535;  // GIF's sizes are 16-bit

private:
    bool WriteFrame(const uint8_t* table, int entries, const uint8_t* indices, size_t stride, uint16_t delay);
    bool Write(const void* data, size_t length);
    void Close();

    std::FILE* handle_ = nullptr;
    std::unique_ptr<LfIOFile> stream_;
    LfSequenceSettings settings_;
    int64_t frames_ = 0;
    LfColourQuantiser quantiser_;
    std::vector<uint8_t> indices_;  // one colour frame's table indices
};
