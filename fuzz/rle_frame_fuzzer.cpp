// Feeds arbitrary RLE frames to the RLE decoder in layouts chosen by the input.
#include "FrameFuzzLayout.h"
#include "RleDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzFrame(data, size, DecodeRleFrame);
    return 0;
}
