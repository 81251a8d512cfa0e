#include "PixelConvert.h"

#include <libyuv/convert.h>

#include <algorithm>

namespace pixelconvert {

bool BgraRectToI420(const vistrec::platform::ImageView& image, int x, int y, int w, int h,
                    AVFrame* picture) {
    if (!picture || picture->format != AV_PIX_FMT_YUV420P || !image.data)
        return false;
    // Align outwards to even coordinates so that every chroma sample covers whole 2 x 2 blocks,
    // then clip to what both pictures hold.
    int x0 = std::max(0, x & ~1), y0 = std::max(0, y & ~1);
    int x1 = std::min({x + w, image.width, picture->width});
    int y1 = std::min({y + h, image.height, picture->height});
    x1 += (x1 & 1) && x1 < std::min(image.width, picture->width) ? 1 : 0;
    y1 += (y1 & 1) && y1 < std::min(image.height, picture->height) ? 1 : 0;
    if (x1 <= x0 || y1 <= y0)
        return false;
    // libyuv's "ARGB" is B, G, R, A in memory: the byte order of our captured images.
    const uint8_t* src = image.data + static_cast<size_t>(y0) * image.stride + x0 * 4;
    uint8_t* dstY = picture->data[0] + static_cast<size_t>(y0) * picture->linesize[0] + x0;
    uint8_t* dstU = picture->data[1] + static_cast<size_t>(y0 / 2) * picture->linesize[1] + x0 / 2;
    uint8_t* dstV = picture->data[2] + static_cast<size_t>(y0 / 2) * picture->linesize[2] + x0 / 2;
    return libyuv::ARGBToI420(src, image.stride, dstY, picture->linesize[0], dstU,
                              picture->linesize[1], dstV, picture->linesize[2], x1 - x0,
                              y1 - y0) == 0;
}

}  // namespace pixelconvert
