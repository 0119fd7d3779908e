// Feeds arbitrary JPEG frames to the JPEG frame decoder (DCT frames through the system
// library, lossless ones through ours) in layouts chosen by the input.
#include "FrameFuzzLayout.h"
#include "JpegFrameDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzFrame(data, size, DecodeJpegFrame);
    return 0;
}
