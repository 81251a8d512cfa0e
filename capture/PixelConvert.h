// BGRA -> I420 conversion with libyuv's SIMD converters, for whole pictures and for rectangles
// of a picture kept from frame to frame.
#ifndef VISTREC_CAPTURE_PIXELCONVERT_H
#define VISTREC_CAPTURE_PIXELCONVERT_H

#include <stdint.h>

#include <vector>

#include "platform/Platform.h"
#include "support/FFmpegPtr.h"

namespace pixelconvert {

// Converts the rectangle (x, y, w, h) of `image` at 1:1 into the same rectangle of `picture`
// (AV_PIX_FMT_YUV420P, at least as large as the rectangle's far corner). The rectangle is
// widened to the 2 x 2 chroma grid and clipped to both pictures first. False when `picture`
// is not I420 or nothing is left to convert.
bool BgraRectToI420(const vistrec::platform::ImageView& image, int x, int y, int w, int h,
                    AVFrame* picture);

// Converts the top-left `srcW` x `srcH` of `image` into the whole of `picture`
// (AV_PIX_FMT_YUV420P): straight at 1:1, otherwise scaled with area averaging (bilinear when
// enlarging). `scratch` holds the picture between the scaling and the conversion and is reused
// from call to call. False when `picture` is not I420 or the share lies outside the image.
bool BgraToI420(const vistrec::platform::ImageView& image, int srcW, int srcH, AVFrame* picture,
                std::vector<uint8_t>* scratch);

}  // namespace pixelconvert

#endif
