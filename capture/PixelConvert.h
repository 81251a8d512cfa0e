// BGRA -> I420 conversion with libyuv's SIMD converters, for whole pictures and for rectangles
// of a picture kept from frame to frame.
#ifndef VISTREC_CAPTURE_PIXELCONVERT_H
#define VISTREC_CAPTURE_PIXELCONVERT_H

#include "platform/Platform.h"
#include "support/FFmpegPtr.h"

namespace pixelconvert {

// Converts the rectangle (x, y, w, h) of `image` at 1:1 into the same rectangle of `picture`
// (AV_PIX_FMT_YUV420P, at least as large as the rectangle's far corner). The rectangle is
// widened to the 2 x 2 chroma grid and clipped to both pictures first. False when `picture`
// is not I420 or nothing is left to convert.
bool BgraRectToI420(const vistrec::platform::ImageView& image, int x, int y, int w, int h,
                    AVFrame* picture);

}  // namespace pixelconvert

#endif
