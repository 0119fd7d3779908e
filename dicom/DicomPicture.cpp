#include "DicomPicture.h"

#include "DicomReader.h"

bool PictureFromFrame(const GreyFrame& frame, DicomPicture& picture) {
    picture = DicomPicture{};
    if (frame.pixels == nullptr || frame.width <= 0 || frame.height <= 0 || frame.stride != FrameStride(frame.width))
        return false;
    const size_t width = static_cast<size_t>(frame.width);
    const size_t height = static_cast<size_t>(frame.height);
    picture.width = frame.width;
    picture.height = frame.height;
    picture.samples = frame.colour ? 3 : 1;
    if (frame.deep != nullptr && !frame.colour) {
        picture.bits = 16;
        picture.words.assign(frame.deep, frame.deep + width * height);
        return true;
    }
    picture.bytes.resize(width * height * static_cast<size_t>(picture.samples));
    uint8_t* out = picture.bytes.data();
    for (size_t y = 0; y < height; ++y) {
        const uint8_t* row = frame.pixels + y * static_cast<size_t>(frame.stride);
        for (size_t x = 0; x < width; ++x, row += 3) {
            if (frame.colour) {
                // The frame's pixels are in blue, green, red order.
                *out++ = row[2];
                *out++ = row[1];
                *out++ = row[0];
            } else {
                *out++ = row[0];
            }
        }
    }
    return true;
}
