// BGRA -> I420 numbers: known colours at 1:1 and scaled, odd sizes, rectangles at odd corners.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "capture/PixelConvert.h"

namespace {

struct Colour {
    uint8_t b, g, r;
    int y, u, v;  // BT.601, limited range
};
const Colour kColours[] = {{0, 0, 0, 16, 128, 128},     {255, 255, 255, 235, 128, 128},
                           {0, 0, 255, 81, 90, 240},    {0, 255, 0, 145, 54, 34},
                           {255, 0, 0, 41, 240, 110},   {128, 128, 128, 126, 128, 128},
                           {40, 160, 220, 157, 66, 163}};

AVFramePtr Picture(int w, int h, uint8_t fill) {
    AVFramePtr f(av_frame_alloc());
    f->format = AV_PIX_FMT_YUV420P, f->width = w, f->height = h;
    if (av_frame_get_buffer(f.get(), 0) < 0)
        return nullptr;
    for (int p = 0; p < AV_NUM_DATA_POINTERS && f->buf[p]; ++p)
        memset(f->buf[p]->data, fill, f->buf[p]->size);
    return f;
}

std::vector<uint8_t> Filled(int w, int h, const Colour& c) {
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
    for (size_t i = 0; i < px.size(); i += 4)
        px[i] = c.b, px[i + 1] = c.g, px[i + 2] = c.r, px[i + 3] = 255;
    return px;
}

// Whether pixel (x, y) of `f` holds the colour, within 2 in each of Y, U and V.
bool Holds(const AVFrame* f, int x, int y, const Colour& c) {
    const int got[3] = {f->data[0][y * f->linesize[0] + x],
                        f->data[1][y / 2 * f->linesize[1] + x / 2],
                        f->data[2][y / 2 * f->linesize[2] + x / 2]};
    return std::abs(got[0] - c.y) <= 2 && std::abs(got[1] - c.u) <= 2 &&
           std::abs(got[2] - c.v) <= 2;
}

TEST(PixelConvert, ColoursAtOneToOneAndScaledFromAnyShareSize) {
    // Share of the image -> picture: 1:1 at odd sizes, halved, shrunk by 3/4 and 2/3, enlarged.
    const int sizes[][4] = {{37, 23, 37, 23}, {3840, 2160, 1920, 1080}, {2560, 1440, 1920, 1080},
                            {96, 66, 64, 44}, {64, 48, 128, 96},        {1, 1, 1, 1}};
    std::vector<uint8_t> scratch;
    for (const Colour& c : kColours) {
        for (const auto& s : sizes) {
            const std::vector<uint8_t> px = Filled(s[0] + 3, s[1] + 1, c);  // a wider image
            const vistrec::platform::ImageView image{px.data(), s[0] + 3, s[1] + 1, (s[0] + 3) * 4};
            AVFramePtr pic = Picture(s[2], s[3], 0);
            ASSERT_TRUE(pixelconvert::BgraToI420(image, s[0], s[1], pic.get(), &scratch));
            for (const auto& at : {std::make_pair(0, 0), std::make_pair(s[2] - 1, s[3] - 1),
                                   std::make_pair(s[2] / 2, s[3] / 3)})
                EXPECT_TRUE(Holds(pic.get(), at.first, at.second, c))
                    << int(c.r) << "," << int(c.g) << "," << int(c.b) << " " << s[0] << "x" << s[1]
                    << " -> " << s[2] << "x" << s[3] << " at " << at.first << "," << at.second;
        }
    }
}

TEST(PixelConvert, RectanglesAtOddCornersCoverTheirChromaBlocksOnly) {
    const Colour& red = kColours[2];
    const Colour before{0, 0, 0, 7, 7, 7};  // what the picture held
    const std::vector<uint8_t> px = Filled(41, 31, red);
    const vistrec::platform::ImageView image{px.data(), 41, 31, 41 * 4};
    // Rectangle, and the block-aligned area it must fill (clipped to the 41 x 31 pictures).
    const int cases[][8] = {{3, 5, 7, 9, 2, 4, 10, 14},
                            {0, 0, 1, 1, 0, 0, 2, 2},
                            {36, 26, 10, 10, 36, 26, 41, 31},
                            {40, 30, 1, 1, 40, 30, 41, 31}};
    for (const auto& k : cases) {
        AVFramePtr pic = Picture(41, 31, 7);
        ASSERT_TRUE(pixelconvert::BgraRectToI420(image, k[0], k[1], k[2], k[3], pic.get()));
        for (int y = 0; y < 31; ++y)
            for (int x = 0; x < 41; ++x) {
                const bool inside = x >= k[4] && x < k[6] && y >= k[5] && y < k[7];
                ASSERT_TRUE(Holds(pic.get(), x, y, inside ? red : before))
                    << "rect " << k[0] << "," << k[1] << " pixel " << x << "," << y;
            }
    }
}

}  // namespace
