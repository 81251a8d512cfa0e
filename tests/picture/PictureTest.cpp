// What is drawn on a captured picture: the pointer and its effects (place, size, alpha, clicks,
// the shipped icons), and the text overlay (glyph placement, blending, clipping, UTF-8).
#include <gtest/gtest.h>

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <array>
#include <tuple>
#include <vector>

#include "capture/CaptureScreen.h"
#include "capture/CaptureSettings.h"
#include "capture/CvxText.h"
#include "capture/MouseEffects.h"
#include "src/H264WindowRecorder.h"
#include "unit/FakeDisplay.h"

using vistrec::platform::IconImage;

namespace {

// A square opaque icon with its hotspot in the middle.
std::shared_ptr<IconImage> Solid(int side, uint32_t rgb) {
    auto icon = std::make_shared<IconImage>();
    icon->width = icon->height = side;
    icon->xHotspot = icon->yHotspot = side / 2;
    icon->argb.assign(static_cast<size_t>(side) * side, 0xFF000000u | rgb);
    return icon;
}

constexpr int kPointer = 0xFF0000, kHighlight = 0x00FF00;

// A 32 x 32 pointer, hotspot (16, 16), at (100, 100) on black; 64 and 48-pixel effect icons.
class MouseEffects : public ::testing::Test {
  protected:
    void SetUp() override {
        g_mouse = MouseSettings();
        display_.monitors = {{0, 0, 1920, 1080}};
        display_.ShowPointer(100, 100, 32, 16, 0xFF000000u | kPointer);
        for (int i = 0; i < kClickFrames; ++i)
            icons_.left[i] = Solid(48, 0x10 + i), icons_.right[i] = Solid(48, 0x20 + i);
        icons_.highlight = Solid(64, kHighlight);
        SetEffectIcons(icons_);
    }
    void TearDown() override { SetEffectIcons(EffectIcons()); }
    FakeDisplay display_;
    EffectIcons icons_;
};

TEST_F(MouseEffects, PointerAt150PercentKeepsItsHotspotInPlace) {
    g_mouse.m_mouseShow = 1;
    g_mouse.m_mouseSize = 150;
    PointerPlacement place;
    PreparePointerEffects(&place);
    std::vector<uint32_t> b(200 * 200, 0);  // black
    DrawPointerEffects(place, reinterpret_cast<uint8_t*>(b.data()), 200, 200, 200 * 4);
    EXPECT_EQ(std::make_tuple(48, 48, 100 - 24, 100 - 24),
              std::make_tuple(place.drawW, place.drawH, place.px, place.py));
    // Drawn over 76..123 in both directions, nothing outside.
    const int probes[][3] = {
        {76, 76, kPointer}, {123, 123, kPointer}, {75, 76, 0}, {124, 123, 0}, {123, 124, 0}};
    for (const auto& p : probes)
        EXPECT_EQ(uint32_t(p[2]), b[p[1] * 200 + p[0]] & 0xFFFFFF) << p[0] << ", " << p[1];
    // Size 0: drawn at its own size at the plain position.
    g_mouse.m_mouseSize = 0;
    PreparePointerEffects(&place);
    EXPECT_EQ(std::make_pair(0, 100), std::make_pair(place.drawW, place.px));
}

TEST_F(MouseEffects, PointerIsBlendedWithAlphaScaledAndClipped) {
    std::vector<uint8_t> bgra(16 * 16 * 4, 200);
    PointerPlacement place;
    place.pointer = display_.pointer;
    place.pointer.width = place.pointer.height = 2;
    place.pointer.argb.assign(4, 0x80808080u);  // half-transparent premultiplied white
    place.px = 14;                              // partly outside on the right
    place.py = 0;
    place.drawW = place.drawH = 4;
    DrawPointerEffects(place, bgra.data(), 16, 16, 16 * 4);
    EXPECT_EQ(std::vector<uint8_t>(16 * 16 * 4, 200), bgra) << "show mode 0 draws nothing";
    g_mouse.m_mouseShow = 1;
    DrawPointerEffects(place, bgra.data(), 16, 16, 16 * 4);
    // 0x80 + 200 x (255 - 128) / 255 = 228 inside; 200 below the 4 drawn rows and left of them.
    EXPECT_EQ(std::make_tuple(228, 228, 200, 200),
              std::make_tuple(bgra[14 * 4], bgra[(3 * 16 + 15) * 4 + 2], bgra[(4 * 16 + 15) * 4],
                              bgra[13 * 4]));
}

TEST_F(MouseEffects, RegionIsCopiedOneToOneWithThePointerOverTheCentredHighlight) {
    g_captureSettings.captureRect = {10, 20, 810, 620};
    g_captureSettings.regionFlag = true;
    g_mouse.m_mouseShow = 1, g_mouse.m_mouseSize = 100, g_mouse.m_lightShow = 1;
    display_.pointer.x = 110, display_.pointer.y = 220;
    CScreenCapturer capturer;
    CaptureBitmap bmp;
    ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp));
    EXPECT_EQ(std::make_pair(800, 600), std::make_pair(bmp.width, bmp.height));
    // The pointer lands on (100, 200) of the bitmap (84..115 with its hotspot), over the 64-pixel
    // highlight centred there (68..131); elsewhere the screen, one to one (S).
    const int P = kPointer, H = kHighlight, S = -1;
    const int probes[][3] = {{0, 0, S},    {799, 599, S}, {84, 184, P}, {83, 184, H},
                             {68, 168, H}, {131, 231, H}, {67, 168, S}, {132, 231, S}};
    for (const auto& p : probes) {
        const uint32_t got = At(bmp, p[0], p[1]);
        EXPECT_EQ(p[2] < 0 ? FakeDisplay::ScreenPixel(10 + p[0], 20 + p[1]) : uint32_t(p[2]),
                  p[2] < 0 ? got : got & 0xFFFFFF)
            << p[0] << ", " << p[1];
    }
    // The effects are drawn without the pointer: show mode 0, or a pointer the client hid.
    for (const bool clientHid : {false, true}) {
        g_mouse.m_mouseShow = clientHid, display_.pointer.visible = !clientHid;
        ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp));
        EXPECT_EQ(uint32_t(kHighlight), At(bmp, 100, 200) & 0xFFFFFF) << clientHid;
    }
}

TEST_F(MouseEffects, ClickAnimationRunsFromTheCounterAndStopsAtSix) {
    const EffectIcon none;
    const auto& left = icons_.left;
    const struct {
        int message, counter, lightShow;
        std::vector<EffectIcon> shown;  // one per capture
    } cases[] = {
        {kLeftButtonDown, 4, 0, {left[4], left[5], none, none}},
        {kRightButtonUp, 5, 0, {icons_.right[5], none}},
        {kLeftButtonDown, 4, 1, {left[4], left[5], icons_.highlight}},  // over the highlight
        {0x202, 0, 0, {none, none, none, none, none, none, none}},      // button up: nothing
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.message << " at " << c.counter);
        g_mouse.m_clickShow = 1;
        g_mouse.m_lightShow = c.lightShow;
        g_mouse.clickFrame = c.counter;
        CH264WindowRecorder::setMouseEvent(c.message);
        for (size_t i = 0; i < c.shown.size(); ++i) {
            PointerPlacement place;
            PreparePointerEffects(&place);
            EXPECT_EQ(c.shown[i], place.effect) << "capture " << i;
        }
    }
    // Click effects off: the counter still advances, nothing is shown.
    g_mouse.m_clickShow = 0;
    g_mouse.m_lightShow = 0;
    g_mouse.clickFrame = 2;
    CH264WindowRecorder::setMouseEvent(kLeftButtonDown);
    EXPECT_EQ(std::make_pair(EffectIcon(), 3),
              std::make_pair(ChooseEffectIcon(), g_mouse.clickFrame));
}

TEST_F(MouseEffects, ShippedIconsLoadForTheEffectsSwitchedOn) {
    const int cases[][2] = {{1, 1}, {1, 0}, {0, 1}};  // click, highlight
    for (const auto& c : cases) {
        g_mouse.m_clickShow = c[0];
        g_mouse.m_lightShow = c[1];
        LoadEffectIcons(VISTREC_ICON_DIR);
        for (int step = 0; step < kClickFrames; ++step) {
            g_mouse.clickFrame = step;
            CH264WindowRecorder::setMouseEvent(step % 2 ? kLeftButtonDown : kRightButtonDown);
            const EffectIcon e = ChooseEffectIcon();
            ASSERT_TRUE(e) << step;
            EXPECT_EQ(std::make_pair(c[0] ? 48 : 64, c[0] ? 24 : 32),
                      std::make_pair(e->width, e->xHotspot));
        }
    }
    LoadEffectIcons(std::string(VISTREC_ICON_DIR) + "missing/");  // logged, not fatal
    EXPECT_EQ(nullptr, ChooseEffectIcon());
}

// Bitmap width and rows of `code` rendered one-bit at 20 pixels, straight from FreeType.
std::pair<int, int> GlyphBox(const char* font, uint32_t code) {
    FT_Library lib;
    FT_Face face;
    std::pair<int, int> box{-1, -1};
    if (FT_Init_FreeType(&lib) != 0)
        return box;
    if (FT_New_Face(lib, font, 0, &face) == 0 && FT_Set_Pixel_Sizes(face, 20, 0) == 0 &&
        FT_Load_Glyph(face, FT_Get_Char_Index(face, code), FT_LOAD_RENDER | FT_LOAD_MONOCHROME) ==
            0)
        box = {int(face->glyph->bitmap.width), int(face->glyph->bitmap.rows)};
    FT_Done_FreeType(lib);  // with its faces
    return box;
}

// A black BGRA picture.
struct Picture {
    int w, h;
    std::vector<uint8_t> px;
    Picture(int width, int height) : w(width), h(height), px(size_t(width) * height * 4, 0) {}
    const uint8_t* At(int x, int y) const { return &px[(size_t(y) * w + x) * 4]; }
    // Bounding box of the inked pixels in columns [x0, x1): left, right, top, bottom.
    std::array<int, 4> Ink(int x0 = 0, int x1 = -1) const {
        std::array<int, 4> box = {1 << 30, -1, 1 << 30, -1};
        for (int y = 0; y < h; ++y)
            for (int x = x0; x < (x1 < 0 ? w : x1); ++x)
                if (At(x, y)[0] || At(x, y)[1] || At(x, y)[2])
                    box = {std::min(box[0], x), std::max(box[1], x), std::min(box[2], y),
                           std::max(box[3], y)};
        return box;
    }
    int Draw(CvxText& text, const char* s, int x, int y) {
        const float opaque = 1.0f;
        const double white[4] = {255, 255, 255, 0};
        text.setStyle(nullptr, nullptr, nullptr, &opaque);
        return text.drawString(px.data(), w, h, w * 4, s, x, y, white);
    }
    void Overlay(const char* font, const char* s, float x, float y, int r, int g, int b) {
        TextOverlay().Draw(font, s, x, y, r, g, b, px.data(), w, h, w * 4);
    }
};

TEST(CvxText, GlyphsSitOnTheRowAndAdvanceByWidthPlusTwo) {
    CvxText text(VISTREC_LATIN_FONT);
    ASSERT_TRUE(text.ok());
    const auto h = GlyphBox(VISTREC_LATIN_FONT, 'H'), i = GlyphBox(VISTREC_LATIN_FONT, 'I');
    ASSERT_GT(h.first, 0);
    const int split = 10 + h.first;  // between the two glyphs
    Picture hi(120, 80), blank(120, 80);
    EXPECT_EQ(2, hi.Draw(text, "HI", 10, 50));
    // 'H' from column 10, its last bitmap row on row 50; 'I' at 10 + width + 2.
    EXPECT_EQ((std::array<int, 4>{10, split - 1, 50 - h.second + 1, 50}), hi.Ink(0, split));
    const auto second = hi.Ink(split);
    EXPECT_EQ(std::make_tuple(split + 2, 50 - i.second + 1, 50),
              std::make_tuple(second[0], second[2], second[3]));
    // A blank moves the pen 12 pixels and draws nothing.
    EXPECT_EQ(2, blank.Draw(text, " I", 10, 50));
    EXPECT_EQ(std::make_pair(10 + 12, second[2]), std::make_pair(blank.Ink()[0], blank.Ink()[2]));
    // Left of, above, below and right of a picture: what falls outside is skipped (the sanitizer
    // builds watch the writes).
    Picture small(30, 30);
    for (const auto& at : {std::make_pair(-8, 10), {2, 5}, {2, 40}, {25, 20}})
        EXPECT_EQ(3, small.Draw(text, "HIH", at.first, at.second));
    EXPECT_EQ(std::make_tuple(0, 29, 0),
              std::make_tuple(small.Ink()[0], small.Ink()[1], small.Ink()[2]));
}

TEST(CvxText, OverlayIsHalfOpaqueInTheGivenColourAtATruncatedPosition) {
    Picture white(100, 40), colour(100, 40);
    white.Overlay(VISTREC_LATIN_FONT, "H", 10.7f, 30.9f, 255, 255, 255);
    int inked = 0;  // half white, 127 or 128, in B, G and R; alpha 0
    for (size_t k = 0; k < white.px.size(); k += 4)
        if (white.px[k] && ++inked) {
            for (int c = 0; c < 4; ++c)
                EXPECT_EQ(c < 3 ? 64 : 0, c < 3 ? (white.px[k + c] + 1) / 2 : white.px[k + c])
                    << int(white.px[k + c]);
        }
    EXPECT_GT(inked, 20);
    EXPECT_EQ(std::make_pair(10, 30), std::make_pair(white.Ink()[0], white.Ink()[3]));  // 'H'
    colour.Overlay(VISTREC_LATIN_FONT, "H", 10, 30, 200, 100, 50);
    const uint8_t* p = colour.At(colour.Ink()[0], colour.Ink()[3]);
    EXPECT_EQ((std::vector<int>{25, 50, 100}), (std::vector<int>{p[0], p[1], p[2]}));  // BGR
}

TEST(CvxText, EveryUtf8CharacterIsOneGlyph) {
    CvxText text(VISTREC_CJK_FONT);
    ASSERT_TRUE(text.ok());
    // Three characters of three bytes: the three glyphs drawn one by one, width + 2 apart.
    const std::string chars = "\xE4\xB8\xAD\xE6\x96\x87\xE5\xAD\x97";  // 中文字
    const uint32_t codes[] = {0x4E2D, 0x6587, 0x5B57};
    Picture whole(160, 40), single(160, 40);
    EXPECT_EQ(9, whole.Draw(text, chars.c_str(), 4, 30));
    int pen = 4;
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(3, single.Draw(text, chars.substr(3 * k, 3).c_str(), pen, 30));
        ASSERT_GT(GlyphBox(VISTREC_CJK_FONT, codes[k]).first, 0);
        pen += GlyphBox(VISTREC_CJK_FONT, codes[k]).first + 2;
    }
    EXPECT_EQ(single.px, whole.px);
    EXPECT_TRUE(whole.Ink()[1] < pen && whole.Ink()[3] == 30) << whole.Ink()[1];
}

}  // namespace
