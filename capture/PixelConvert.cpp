#include "PixelConvert.h"

#include <libyuv/convert.h>
#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>

#include <algorithm>

namespace pixelconvert {

namespace {

// libyuv's "ARGB" is B, G, R, A in memory: the byte order of our captured images.
bool ConvertI420(const uint8_t* src, int stride, int w, int h, uint8_t* const planes[3],
                 const int strides[3]) {
    return libyuv::ARGBToI420(src, stride, planes[0], strides[0], planes[1], strides[1], planes[2],
                              strides[2], w, h) == 0;
}

}  // namespace

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
    const uint8_t* src = image.data + static_cast<size_t>(y0) * image.stride + x0 * 4;
    uint8_t* const planes[3] = {
        picture->data[0] + static_cast<size_t>(y0) * picture->linesize[0] + x0,
        picture->data[1] + static_cast<size_t>(y0 / 2) * picture->linesize[1] + x0 / 2,
        picture->data[2] + static_cast<size_t>(y0 / 2) * picture->linesize[2] + x0 / 2};
    return ConvertI420(src, image.stride, x1 - x0, y1 - y0, planes, picture->linesize);
}

bool BgraToI420(const vistrec::platform::ImageView& image, int srcW, int srcH, AVFrame* picture,
                std::vector<uint8_t>* scratch) {
    if (!picture || picture->format != AV_PIX_FMT_YUV420P || !image.data || srcW <= 0 ||
        srcH <= 0 || srcW > image.width || srcH > image.height || picture->width <= 0 ||
        picture->height <= 0)
        return false;
    const int dstW = picture->width, dstH = picture->height;
    if (srcW == dstW && srcH == dstH)
        return ConvertI420(image.data, image.stride, dstW, dstH, picture->data, picture->linesize);
    const auto filter = libyuv::kFilterBox;  // area averaging down, bilinear up
    // Shrunk to less than half the pixels, the picture is scaled first and the fewer pixels
    // converted; otherwise converting at full size and scaling the three planes (1.5 bytes a
    // pixel instead of 4) costs less. Measured with vistrec_convert_bench: 3840x2160 and
    // 1920x1080 -> 1280x720 faster scaled first, 2560x1440 -> 1920x1080 converted first.
    if (2LL * dstW * dstH < 1LL * srcW * srcH) {
        scratch->resize(static_cast<size_t>(dstW) * dstH * 4);
        return libyuv::ARGBScale(image.data, image.stride, srcW, srcH, scratch->data(), dstW * 4,
                                 dstW, dstH, filter) == 0 &&
               ConvertI420(scratch->data(), dstW * 4, dstW, dstH, picture->data, picture->linesize);
    }
    const int halfW = (srcW + 1) / 2, halfH = (srcH + 1) / 2;
    const size_t lumaBytes = static_cast<size_t>(srcW) * srcH;
    const size_t chromaBytes = static_cast<size_t>(halfW) * halfH;
    scratch->resize(lumaBytes + 2 * chromaBytes);
    uint8_t* const planes[3] = {scratch->data(), scratch->data() + lumaBytes,
                                scratch->data() + lumaBytes + chromaBytes};
    const int strides[3] = {srcW, halfW, halfW};
    return ConvertI420(image.data, image.stride, srcW, srcH, planes, strides) &&
           libyuv::I420Scale(planes[0], strides[0], planes[1], strides[1], planes[2], strides[2],
                             srcW, srcH, picture->data[0], picture->linesize[0], picture->data[1],
                             picture->linesize[1], picture->data[2], picture->linesize[2], dstW,
                             dstH, filter) == 0;
}

}  // namespace pixelconvert
