#include "JpegLsDecoder.h"

#include <charls/charls.h>

#include <memory>
#include <vector>

#include "CodestreamFrame.h"

namespace {

struct DecoderDeleter {
    void operator()(charls_jpegls_decoder* d) const { charls_jpegls_decoder_destroy(d); }
};
using Decoder = std::unique_ptr<charls_jpegls_decoder, DecoderDeleter>;

bool Failed(charls_jpegls_errc code, const char* step, std::string& error) {
    if (code == charls::jpegls_errc::success) return false;
    error = std::string("damaged JPEG-LS code stream (") + step + ": " + charls_get_error_message(code) + ")";
    return true;
}

// A NEAR above half the sample range cannot come from an encoder and would make the
// reconstruction step wrap; every component's scan is checked.
bool CheckNear(charls_jpegls_decoder* d, const charls_frame_info& info, std::string& error) {
    const int32_t range = (int32_t{1} << info.bits_per_sample) - 1;
    for (int32_t c = 0; c < info.component_count; ++c) {
        int32_t near = 0;
        if (Failed(charls_jpegls_decoder_get_near_lossless(d, c, &near), "NEAR", error)) return false;
        if (near < 0 || near > range / 2) {
            error = "JPEG-LS code stream with NEAR " + std::to_string(near) + " for " +
                    std::to_string(info.bits_per_sample) + "-bit samples";
            return false;
        }
    }
    return true;
}

}  // namespace

bool DecodeJpegLsFrame(const uint8_t* data, size_t size, const PixelLayout& layout, uint8_t* samples,
                       std::string& error) {
    // CharLS loops for ever when the bits of a scan run out before the end-of-image marker; a
    // marker after the last byte makes a cut scan end in an error instead.
    std::vector<uint8_t> terminated;
    if (size < 2 || data[size - 2] != 0xFF || data[size - 1] != 0xD9) {
        terminated.reserve(size + 2);
        terminated.assign(data, data + size);
        terminated.insert(terminated.end(), {0xFF, 0xD9});
        data = terminated.data();
        size = terminated.size();
    }
    Decoder decoder(charls_jpegls_decoder_create());
    if (!decoder) return error = "out of memory for the JPEG-LS decoder", false;
    charls_jpegls_decoder* d = decoder.get();
    if (Failed(charls_jpegls_decoder_set_source_buffer(d, data, size), "source", error)) return false;
    if (Failed(charls_jpegls_decoder_read_header(d), "header", error)) return false;
    charls_frame_info info{};
    if (Failed(charls_jpegls_decoder_get_frame_info(d, &info), "frame", error)) return false;
    const CodestreamPicture picture{info.width, info.height, static_cast<uint32_t>(info.component_count),
                                    static_cast<uint32_t>(info.bits_per_sample)};
    if (!CheckCodestreamPicture(picture, layout, "JPEG-LS", error) || !CheckNear(d, info, error)) return false;
    charls_interleave_mode interleave{};
    if (Failed(charls_jpegls_decoder_get_interleave_mode(d, &interleave), "interleave", error)) return false;

    // The size is that of the data set's picture, checked above, so this allocation is bounded.
    size_t bytes = 0;
    if (Failed(charls_jpegls_decoder_get_destination_size(d, 0, &bytes), "size", error)) return false;
    std::vector<uint8_t> decoded(bytes);
    if (Failed(charls_jpegls_decoder_decode_to_buffer(d, decoded.data(), decoded.size(), 0), "decode", error))
        return false;

    // CharLS gives planes for non-interleaved scans, else pixel by pixel; one byte per sample
    // up to 8 bits, two above.
    const bool wide = info.bits_per_sample > 8;
    const bool planar = interleave == charls::interleave_mode::none;
    const size_t pixels = layout.pixels();
    const uint32_t components = picture.components;
    const int sampleBytes = layout.sampleBytes();
    for (uint32_t c = 0; c < components; ++c)
        for (size_t p = 0; p < pixels; ++p) {
            const size_t at = planar ? c * pixels + p : p * components + c;
            const int32_t v = wide ? decoded[2 * at] | (decoded[2 * at + 1] << 8) : decoded[at];
            PutSample(samples, SampleIndex(layout, p, c), sampleBytes, v);
        }
    return true;
}
