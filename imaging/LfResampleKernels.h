// Internal arithmetic of LfImage::Resample, visible to its tests. All of it is single
// precision on purpose: results are defined by float rounding at these points.
#pragma once

#include <cstdint>

namespace lfresample {

// Cubic B-spline weight of a tap at distance t; 0 beyond 2.
float BicubicKernel(float t);

// Source size over destination size, rounded to single precision.
float Scale(uint32_t sourceSize, uint32_t newSize);

// Source coordinate of a destination coordinate (nearest pixel and the alpha plane):
// the product is rounded to float, truncated, and kept inside 0 .. sourceSize - 1.
uint32_t NearestSource(uint32_t destination, float scale, uint32_t sourceSize);

// Total weight, in thousandths, that the area-averaging shrink gives one destination pixel.
int64_t AreaScaleTotal(float horizontalScale, float verticalScale);

}  // namespace lfresample
