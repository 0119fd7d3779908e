#include "LfVideoWriter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
#include <libswscale/swscale.h>
}

namespace {

std::string AvErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// "key=value:key=value" as an option dictionary (empty for no text).
AVDictionary* Options(const char* text) {
    AVDictionary* options = nullptr;
    if (text != nullptr && *text != '\0') av_dict_parse_string(&options, text, "=", ":", 0);
    return options;
}

// The libraries' own messages would interleave with the converter's report lines; their
// failures reach the caller as return codes instead.
void SilenceLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

}  // namespace

LfVideoWriter::~LfVideoWriter() { Release(); }

int LfVideoWriter::ConstantRateFactor(const LfVideoCodec& codec, int quality) {
    const int q = std::clamp(quality, 1, 100);
    const double crf = codec.crfWorst - (codec.crfWorst - codec.crfAtQuality90) * q / 90.0;
    return std::clamp(static_cast<int>(std::lround(crf)), 0, codec.crfWorst);
}

bool LfVideoWriter::AvFail(const std::string& what, int code) {
    return Fail(what + ": " + AvErrorText(code));
}

bool LfVideoWriter::Open(const std::string& path, const LfSequenceSettings& settings) {
    Release();
    SilenceLibraryLog();
    frames_ = 0;
    if (settings.width <= 0 || settings.height <= 0 || settings.width > kMaxSide || settings.height > kMaxSide)
        return Fail("a movie's sides must be 1 to " + std::to_string(kMaxSide) + " pixels, not " +
                    std::to_string(settings.width) + " x " + std::to_string(settings.height));
    if (!std::isfinite(settings.framesPerSecond) || settings.framesPerSecond <= 0.0 ||
        settings.framesPerSecond > kMaxRate)
        return Fail("a movie's rate must lie above 0 and at most 1000 frames a second");
    width_ = settings.width;
    height_ = settings.height;
    if (!OpenEncoder(settings) || !OpenFile(path)) {
        Release();
        return false;
    }
    return true;
}

bool LfVideoWriter::OpenEncoder(const LfSequenceSettings& settings) {
    const AVCodec* encoder = avcodec_find_encoder_by_name(codec_.encoder);
    if (encoder == nullptr) return Fail(std::string("the FFmpeg libraries lack the ") + codec_.encoder + " encoder");
    encoder_ = avcodec_alloc_context3(encoder);
    picture_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (encoder_ == nullptr || picture_ == nullptr || packet_ == nullptr) return Fail("out of memory");
    // 4:2:0 halves both chroma sides, so the video's sides are even: an odd side gains one
    // row or column, a copy of the last.
    encoder_->width = width_ + (width_ & 1);
    encoder_->height = height_ + (height_ & 1);
    encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
    const AVRational rate = av_d2q(settings.framesPerSecond, 1000000);
    encoder_->framerate = rate;
    encoder_->time_base = av_inv_q(rate);
    encoder_->bit_rate = 0;  // constant quality, no bit budget
    // What players assume for video of this size anyway, said outright.
    encoder_->color_range = AVCOL_RANGE_MPEG;
    encoder_->colorspace = AVCOL_SPC_SMPTE170M;
    encoder_->color_primaries = AVCOL_PRI_SMPTE170M;
    encoder_->color_trc = AVCOL_TRC_SMPTE170M;
    AVDictionary* options = Options(codec_.encoderOptions);
    av_dict_set_int(&options, "crf", ConstantRateFactor(codec_, settings.quality), 0);
    if (avformat_alloc_output_context2(&format_, nullptr, codec_.container, nullptr) < 0 || format_ == nullptr) {
        av_dict_free(&options);
        return Fail(std::string("the FFmpeg libraries lack the ") + codec_.container + " container");
    }
    if (format_->oformat->flags & AVFMT_GLOBALHEADER) encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int opened = avcodec_open2(encoder_, encoder, &options);
    av_dict_free(&options);
    if (opened < 0) return AvFail(std::string("cannot start the ") + codec_.encoder + " encoder", opened);

    picture_->format = encoder_->pix_fmt;
    picture_->width = encoder_->width;
    picture_->height = encoder_->height;
    picture_->color_range = encoder_->color_range;
    picture_->colorspace = encoder_->colorspace;
    const int buffer = av_frame_get_buffer(picture_, 0);
    if (buffer < 0) return AvFail("cannot allocate a frame", buffer);
    return true;
}

bool LfVideoWriter::OpenFile(const std::string& path) {
    stream_ = avformat_new_stream(format_, nullptr);
    if (stream_ == nullptr) return Fail("out of memory");
    int result = avcodec_parameters_from_context(stream_->codecpar, encoder_);
    if (result < 0) return AvFail("cannot describe the video stream", result);
    stream_->time_base = encoder_->time_base;
    stream_->avg_frame_rate = encoder_->framerate;
    // The "file:" protocol takes the name as it stands, whatever characters it holds. The
    // MP4 muxer reopens the file by this name to move its index to the front.
    const std::string url = "file:" + path;
    av_freep(&format_->url);
    format_->url = av_strdup(url.c_str());
    result = avio_open(&format_->pb, url.c_str(), AVIO_FLAG_WRITE);
    if (result < 0) return AvFail("cannot create " + path, result);
    AVDictionary* options = Options(codec_.muxerOptions);
    result = avformat_write_header(format_, &options);
    av_dict_free(&options);
    if (result < 0) return AvFail("cannot write the movie's header", result);
    headerWritten_ = true;
    return true;
}

// The frame in the video's 4:2:0 form; an odd side's extra row or column copies the last.
bool LfVideoWriter::Convert(const LfSequenceFrame& frame) {
    const int made = av_frame_make_writable(picture_);
    if (made < 0) return AvFail("cannot prepare a frame", made);
    const AVPixelFormat source = frame.samples == 1 ? AV_PIX_FMT_GRAY8 : AV_PIX_FMT_RGB24;
    scaler_ = sws_getCachedContext(scaler_, width_, height_, source, width_, height_, AV_PIX_FMT_YUV420P,
                                   SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (scaler_ == nullptr) return Fail("cannot convert the frames to video");
    const uint8_t* planes[1] = {frame.pixels};
    const int strides[1] = {static_cast<int>(frame.stride)};
    sws_scale(scaler_, planes, strides, 0, height_, picture_->data, picture_->linesize);
    uint8_t* luma = picture_->data[0];
    const int lumaStride = picture_->linesize[0];
    if (picture_->width > width_)
        for (int32_t y = 0; y < height_; ++y) luma[size_t(y) * lumaStride + width_] = luma[size_t(y) * lumaStride + width_ - 1];
    if (picture_->height > height_)
        std::memcpy(luma + size_t(height_) * lumaStride, luma + size_t(height_ - 1) * lumaStride, size_t(picture_->width));
    // The chroma planes already cover the even sides: libswscale writes half the odd side, rounded up.
    return true;
}

bool LfVideoWriter::AddFrame(const LfSequenceFrame& frame) {
    if (!headerWritten_) return Fail("the movie is not open");
    if (frame.width != width_ || frame.height != height_)
        return Fail("a frame of " + std::to_string(frame.width) + " x " + std::to_string(frame.height) +
                    " in a movie of " + std::to_string(width_) + " x " + std::to_string(height_));
    if ((frame.samples != 1 && frame.samples != 3) || frame.pixels == nullptr ||
        frame.stride < size_t(frame.width) * size_t(frame.samples) || frame.stride > size_t(INT32_MAX))
        return Fail("a frame must hold one or three 8-bit samples a pixel");
    if (!Convert(frame)) return false;
    picture_->pts = frames_++;
    return Send(picture_);
}

// Hands a frame (null: the end) to the encoder and writes every packet it gives back.
bool LfVideoWriter::Send(const AVFrame* frame) {
    int result = avcodec_send_frame(encoder_, frame);
    if (result < 0) return AvFail("the encoder refused a frame", result);
    for (;;) {
        result = avcodec_receive_packet(encoder_, packet_);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
        if (result < 0) return AvFail("the encoder failed", result);
        av_packet_rescale_ts(packet_, encoder_->time_base, stream_->time_base);
        packet_->stream_index = stream_->index;
        result = av_interleaved_write_frame(format_, packet_);
        av_packet_unref(packet_);
        if (result < 0) return AvFail("cannot write the movie", result);
    }
}

bool LfVideoWriter::Finish() {
    if (!headerWritten_) return Fail("the movie is not open");
    if (frames_ == 0) {
        Release();
        return Fail("a movie needs at least one frame");
    }
    bool ok = Send(nullptr);
    if (ok) {
        const int result = av_write_trailer(format_);
        if (result < 0) ok = AvFail("cannot finish the movie", result);
    }
    headerWritten_ = false;
    if (ok && format_->pb->error < 0) ok = AvFail("cannot write the movie", format_->pb->error);
    const int closed = avio_closep(&format_->pb);
    if (ok && closed < 0) ok = AvFail("cannot write the movie", closed);
    Release();
    return ok;
}

void LfVideoWriter::Abort() { Release(); }

void LfVideoWriter::Release() {
    headerWritten_ = false;
    if (format_ != nullptr) {
        if (format_->pb != nullptr) avio_closep(&format_->pb);
        avformat_free_context(format_);
        format_ = nullptr;
        stream_ = nullptr;
    }
    avcodec_free_context(&encoder_);
    av_frame_free(&picture_);
    av_packet_free(&packet_);
    sws_freeContext(scaler_);
    scaler_ = nullptr;
}
