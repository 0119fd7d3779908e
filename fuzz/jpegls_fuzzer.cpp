// Feeds arbitrary JPEG-LS code streams to the frame decoder. The first 3 bytes choose the
// data set's layout (rows, columns, then samples, bits allocated and planar configuration in
// the low bits), so seeds whose prefix matches their code stream reach the decoding itself.
#include "JpegLsDecoder.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    PixelLayout layout;
    layout.rows = static_cast<uint16_t>(1 + data[0] % 64);
    layout.columns = static_cast<uint16_t>(1 + data[1] % 64);
    layout.samplesPerPixel = (data[2] & 1) ? 3 : 1;
    layout.photometric = (data[2] & 1) ? Photometric::Rgb : Photometric::Monochrome2;
    layout.bitsAllocated = (data[2] & 2) ? 16 : 8;
    layout.bitsStored = layout.bitsAllocated;
    layout.highBit = static_cast<uint16_t>(layout.bitsAllocated - 1);
    layout.planarConfiguration = (data[2] >> 2) & 1;
    std::vector<uint8_t> samples(layout.frameSamples() * static_cast<size_t>(layout.sampleBytes()));
    std::string error;
    DecodeJpegLsFrame(data + 3, size - 3, layout, samples.data(), error);
    return 0;
}
