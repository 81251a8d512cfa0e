// The text overlay: glyph placement (bottom-aligned, advance of the bitmap width + 2, blanks of
// 12), half-opacity blending in the given colour, clipping, one glyph per UTF-8 character, and
// a font that does not open.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <array>
#include <vector>

#include "capture/CvxText.h"

namespace {

#define REQUIRE_FONT(path, package) \
    if (access(path, R_OK) != 0)    \
    GTEST_SKIP() << package " is not installed (scripts/install-deps.sh)"

// Bitmap width and rows of `code` rendered one-bit at 20 pixels, straight from FreeType.
std::pair<int, int> GlyphBox(const char* font, uint32_t code) {
    FT_Library lib;
    FT_Face face;
    std::pair<int, int> box{-1, -1};
    if (FT_Init_FreeType(&lib) != 0)
        return box;
    if (FT_New_Face(lib, font, 0, &face) == 0) {
        FT_Set_Pixel_Sizes(face, 20, 0);
        if (FT_Load_Glyph(face, FT_Get_Char_Index(face, code), FT_LOAD_DEFAULT) == 0 &&
            FT_Render_Glyph(face->glyph, FT_RENDER_MODE_MONO) == 0)
            box = {static_cast<int>(face->glyph->bitmap.width),
                   static_cast<int>(face->glyph->bitmap.rows)};
        FT_Done_Face(face);
    }
    FT_Done_FreeType(lib);
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
    REQUIRE_FONT(VISTREC_LATIN_FONT, "fonts-dejavu-core");
    CvxText text(VISTREC_LATIN_FONT);
    ASSERT_TRUE(text.ok());
    const auto h = GlyphBox(VISTREC_LATIN_FONT, 'H'), i = GlyphBox(VISTREC_LATIN_FONT, 'I');
    ASSERT_GT(h.first, 0);
    const int split = 10 + h.first;  // between the two glyphs
    Picture hi(120, 80), blank(120, 80);
    EXPECT_EQ(2, hi.Draw(text, "HI", 10, 50));
    // 'H' from column 10, its last bitmap row on row 50; 'I' at 10 + width + 2.
    EXPECT_EQ((std::array<int, 4>{10, split - 1, 50 - h.second + 1, 50}), hi.Ink(0, split));
    EXPECT_EQ(split + 2, hi.Ink(split)[0]);
    EXPECT_EQ(50 - i.second + 1, hi.Ink(split)[2]);
    EXPECT_EQ(50, hi.Ink(split)[3]);
    // A blank moves the pen 12 pixels and draws nothing.
    EXPECT_EQ(2, blank.Draw(text, " I", 10, 50));
    EXPECT_EQ(hi.Ink(split)[2], blank.Ink()[2]);
    EXPECT_EQ(10 + 12, blank.Ink()[0]);
}

TEST(CvxText, OverlayIsHalfOpaqueInTheGivenColourAtATruncatedPosition) {
    REQUIRE_FONT(VISTREC_LATIN_FONT, "fonts-dejavu-core");
    Picture white(100, 40), colour(100, 40);
    white.Overlay(VISTREC_LATIN_FONT, "H", 10.7f, 30.9f, 255, 255, 255);
    int inked = 0;
    for (size_t k = 0; k < white.px.size(); k += 4) {
        if (!white.px[k])
            continue;
        ++inked;
        for (int c = 0; c < 3; ++c)
            EXPECT_TRUE(white.px[k + c] == 127 || white.px[k + c] == 128) << int(white.px[k + c]);
        EXPECT_EQ(0, white.px[k + 3]);
    }
    EXPECT_GT(inked, 20);
    EXPECT_EQ(10, white.Ink()[0]);  // 'H' starts on column 10 and ends on row 30
    EXPECT_EQ(30, white.Ink()[3]);
    colour.Overlay(VISTREC_LATIN_FONT, "H", 10, 30, 200, 100, 50);
    const uint8_t* p = colour.At(colour.Ink()[0], colour.Ink()[3]);
    EXPECT_EQ((std::vector<int>{25, 50, 100}), (std::vector<int>{p[0], p[1], p[2]}));  // BGR
}

TEST(CvxText, PixelsOutsideThePictureAreSkipped) {
    REQUIRE_FONT(VISTREC_LATIN_FONT, "fonts-dejavu-core");
    CvxText text(VISTREC_LATIN_FONT);
    Picture pic(30, 30);
    // Left of, above, below and right of the picture; the sanitizer builds watch the writes.
    const int places[][2] = {{-8, 10}, {2, 5}, {2, 40}, {25, 20}};
    for (const auto& at : places)
        EXPECT_EQ(3, pic.Draw(text, "HIH", at[0], at[1]));
    EXPECT_EQ(0, pic.Ink()[0]);
    EXPECT_EQ(29, pic.Ink()[1]);
    EXPECT_EQ(0, pic.Ink()[2]);
}

TEST(CvxText, EveryUtf8CharacterIsOneGlyph) {
    REQUIRE_FONT(VISTREC_CJK_FONT, "fonts-wqy-zenhei");
    CvxText text(VISTREC_CJK_FONT);
    ASSERT_TRUE(text.ok());
    // Three characters of three bytes each: drawn as the three glyphs drawn one by one at the
    // pen positions of width + 2.
    const char* chars[] = {"\xE4\xB8\xAD", "\xE6\x96\x87", "\xE5\xAD\x97"};  // 中 文 字
    const uint32_t codes[] = {0x4E2D, 0x6587, 0x5B57};
    Picture whole(160, 40), single(160, 40);
    EXPECT_EQ(9, whole.Draw(text, "\xE4\xB8\xAD\xE6\x96\x87\xE5\xAD\x97", 4, 30));
    int pen = 4;
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(3, single.Draw(text, chars[k], pen, 30));
        ASSERT_GT(GlyphBox(VISTREC_CJK_FONT, codes[k]).first, 0);
        pen += GlyphBox(VISTREC_CJK_FONT, codes[k]).first + 2;
    }
    EXPECT_EQ(single.px, whole.px);
    EXPECT_LT(whole.Ink()[1], pen);
    EXPECT_EQ(30, whole.Ink()[3]);
}

TEST(CvxText, MissingFontDrawsNothing) {
    EXPECT_FALSE(CvxText(nullptr).ok());
    CvxText missing("/nonexistent/font.ttf");
    EXPECT_FALSE(missing.ok());
    Picture pic(40, 40);
    EXPECT_EQ(-1, pic.Draw(missing, "H", 5, 30));
    TextOverlay overlay;
    for (const char* font : {static_cast<const char*>(nullptr), "/nonexistent/font.ttf"})
        for (int frame = 0; frame < 3; ++frame)  // logged once, skipped every frame
            overlay.Draw(font, "H", 5, 30, 255, 255, 255, pic.px.data(), pic.w, pic.h, pic.w * 4);
    EXPECT_EQ(std::vector<uint8_t>(40 * 40 * 4, 0), pic.px);
}

}  // namespace
