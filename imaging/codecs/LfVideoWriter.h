// Movies through FFmpeg's libraries (libavcodec, libavformat, libswscale): frames are turned
// into 4:2:0 video, encoded at a constant quality and muxed into the container the format's
// registry row names. One class serves every movie row, as the JPEG 2000 class serves its
// family; what differs between MP4 and WebM is the row's LfVideoCodec.
#pragma once

#include <cstdint>
#include <string>

#include "LfSequenceWriter.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVStream;
struct AVFrame;
struct AVPacket;
struct SwsContext;

// What a movie format's registry row says about its video.
struct LfVideoCodec {
    const char* container;       // libavformat's muxer name ("mp4", "webm")
    const char* encoder;         // libavcodec's encoder name ("libx264", "libvpx-vp9")
    int crfAtQuality90;          // the constant-rate factor of the default quality (90)
    int crfWorst;                // the factor of quality 0; quality 100 goes past the default
    const char* encoderOptions;  // further "key=value:key=value" options of the encoder
    const char* muxerOptions;    // the same for the muxer
};

class LfVideoWriter : public LfSequenceWriter {
public:
    explicit LfVideoWriter(const LfVideoCodec& codec) : codec_(codec) {}
    ~LfVideoWriter() override;
    LfVideoWriter(const LfVideoWriter&) = delete;
    LfVideoWriter& operator=(const LfVideoWriter&) = delete;

    bool Open(const std::string& path, const LfSequenceSettings& settings) override;
    bool AddFrame(const LfSequenceFrame& frame) override;
    bool Finish() override;
    void Abort() override;

    // The constant-rate factor a quality (1 to 100) gives: crfAtQuality90 at 90, rising
    // linearly to crfWorst as the quality falls to 0.
    static int ConstantRateFactor(const LfVideoCodec& codec, int quality);
    // The largest side and rate a movie may have.
    static constexpr int32_t kMaxSide = 16384;
    static constexpr double kMaxRate = 1000.0;

private:
    bool OpenEncoder(const LfSequenceSettings& settings);
    bool OpenFile(const std::string& path);
    bool Convert(const LfSequenceFrame& frame);
    bool Send(const AVFrame* frame);
    bool AvFail(const std::string& what, int code);
    void Release();

    LfVideoCodec codec_;
    int32_t width_ = 0, height_ = 0;  // the frames' size; the video's is even
    int64_t frames_ = 0;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* encoder_ = nullptr;
    AVStream* stream_ = nullptr;
    AVFrame* picture_ = nullptr;
    AVPacket* packet_ = nullptr;
    SwsContext* scaler_ = nullptr;
    bool headerWritten_ = false;
};
