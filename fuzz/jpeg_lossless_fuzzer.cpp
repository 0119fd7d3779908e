// Feeds arbitrary JPEG lossless frames to our lossless decoder in layouts chosen by the input.
#include "FrameFuzzLayout.h"
#include "JpegLosslessDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzFrame(data, size, DecodeJpegLosslessFrame);
    return 0;
}
