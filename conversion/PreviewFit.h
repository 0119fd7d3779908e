// The size at which the preview label shows a picture: fitted to the label both ways, so small
// pictures are enlarged and large ones shrunk.
#pragma once

#include <cstdint>

struct PreviewSize {
    int32_t width = 0;
    int32_t height = 0;
    bool resampled = false;  // false: the picture is shown at its own size
    bool enlarged = false;   // resampled to a larger size
    // Enlarged four times or more: shown with nearest-pixel scaling, so single pixels stay
    // visible as squares instead of being smoothed into blurs.
    bool nearest = false;
};

// labelWidth and labelHeight are the label's widget size including its one-pixel frame.
// The ratios are single-precision values, as the preview has always computed them, so a
// picture lands on the same pixel size on every platform.
PreviewSize FitPreview(uint32_t imageWidth, uint32_t imageHeight, int32_t labelWidth,
                       int32_t labelHeight);
