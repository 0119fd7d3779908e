#include "PreviewFit.h"

namespace {

// A fitted side of a very thin picture can truncate to 0; one pixel is the least that
// can be resampled and shown.
int32_t AtLeastOne(double value) {
    const int32_t side = static_cast<int32_t>(value);
    return side < 1 ? 1 : side;
}

constexpr int32_t kNearestFrom = 4;  // enlargement factor from which pixels stay square

}  // namespace

PreviewSize FitPreview(uint32_t imageWidth, uint32_t imageHeight, int32_t labelWidth,
                       int32_t labelHeight) {
    PreviewSize size;
    size.width = static_cast<int32_t>(imageWidth);
    size.height = static_cast<int32_t>(imageHeight);
    const int32_t lw = labelWidth - 2;   // inside the label's frame
    const int32_t lh = labelHeight - 2;
    if (lw < 1 || lh < 1 || imageWidth == 0 || imageHeight == 0) return size;

    const float aspect = static_cast<float>(imageWidth) / static_cast<float>(imageHeight);
    const float labelAspect = static_cast<float>(lw) / static_cast<float>(lh);
    if (labelAspect < aspect) {
        // The picture is relatively wider than the label: its width decides.
        size.width = lw;
        size.height = AtLeastOne(static_cast<double>(lw) / static_cast<double>(aspect));
    } else {
        size.width = AtLeastOne(static_cast<double>(lh) * static_cast<double>(aspect));
        size.height = lh;
    }
    size.resampled = size.width != static_cast<int64_t>(imageWidth) || size.height != static_cast<int64_t>(imageHeight);
    size.enlarged = size.width > static_cast<int64_t>(imageWidth);
    size.nearest = size.enlarged && static_cast<int64_t>(size.width) >= kNearestFrom * static_cast<int64_t>(imageWidth);
    return size;
}
