// The text overlay: glyph placement (bottom-aligned, advance of the bitmap width + 2, blanks of
// 12), half-opacity blending, clipping, one glyph per UTF-8 character, and a font that does
// not open.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ft2build.h>
#include FT_FREETYPE_H

#include <vector>

#include "capture/CvxText.h"

namespace {

bool HaveFont(const char* path) {
    return access(path, R_OK) == 0;
}

// Bitmap width and rows of `code` rendered one-bit at 20 pixels, straight from FreeType.
struct Box {
    int width, rows;
};
Box GlyphBox(const char* font, uint32_t code) {
    FT_Library lib;
    FT_Face face;
    Box box{-1, -1};
    if (FT_Init_FreeType(&lib) != 0)
        return box;
    if (FT_New_Face(lib, font, 0, &face) == 0) {
        FT_Set_Pixel_Sizes(face, 20, 0);
        if (FT_Load_Glyph(face, FT_Get_Char_Index(face, code), FT_LOAD_DEFAULT) == 0 &&
            FT_Render_Glyph(face->glyph, FT_RENDER_MODE_MONO) == 0)
            box = Box{static_cast<int>(face->glyph->bitmap.width),
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
    Picture(int width, int height)
        : w(width), h(height), px(static_cast<size_t>(width) * height * 4, 0) {}
    uint8_t* data() { return px.data(); }
    bool Inked(int x, int y) const {
        const uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 4];
        return p[0] || p[1] || p[2];
    }
    // Bounding box of the inked pixels in columns [x0, x1): left, right, top, bottom.
    void Ink(int x0, int x1, int* left, int* right, int* top, int* bottom) const {
        *left = *top = 1 << 30;
        *right = *bottom = -1;
        for (int y = 0; y < h; ++y)
            for (int x = x0; x < x1; ++x)
                if (Inked(x, y)) {
                    *left = std::min(*left, x), *right = std::max(*right, x);
                    *top = std::min(*top, y), *bottom = std::max(*bottom, y);
                }
    }
};

const double kWhite[4] = {255, 255, 255, 0};

int Draw(CvxText& text, Picture& pic, const char* s, int x, int y) {
    const float opaque = 1.0f;
    text.setStyle(nullptr, nullptr, nullptr, &opaque);
    return text.drawString(pic.data(), pic.w, pic.h, pic.w * 4, s, x, y, kWhite);
}

TEST(CvxText, GlyphsSitOnTheRowAndAdvanceByWidthPlusTwo) {
    if (!HaveFont(VISTREC_LATIN_FONT))
        GTEST_SKIP() << "fonts-dejavu-core is not installed (scripts/install-deps.sh)";
    CvxText text(VISTREC_LATIN_FONT);
    ASSERT_TRUE(text.ok());
    const Box h = GlyphBox(VISTREC_LATIN_FONT, 'H'), i = GlyphBox(VISTREC_LATIN_FONT, 'I');
    ASSERT_GT(h.width, 0);
    struct Case {
        const char* text;
        int firstLeft, secondLeft;  // inked columns expected to start the first/second glyph
        int bytes;
    };
    const Case cases[] = {
        {"HI", 10, 10 + h.width + 2, 2},
        {" I", -1, 10 + 12, 2},  // a blank moves the pen 12 pixels and draws nothing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Picture pic(120, 80);
        EXPECT_EQ(c.bytes, Draw(text, pic, c.text, 10, 50));
        int left, right, top, bottom;
        const int split = c.firstLeft < 0 ? 0 : 10 + h.width;
        if (c.firstLeft >= 0) {
            pic.Ink(0, split, &left, &right, &top, &bottom);
            EXPECT_EQ(c.firstLeft, left);
            EXPECT_EQ(50, bottom);            // the last bitmap row on row 50
            EXPECT_EQ(50 - h.rows + 1, top);  // 'H' is inked from its first row
            EXPECT_EQ(10 + h.width - 1, right);
        }
        pic.Ink(split, pic.w, &left, &right, &top, &bottom);
        EXPECT_EQ(c.secondLeft, left);
        EXPECT_EQ(50, bottom);
        EXPECT_EQ(50 - i.rows + 1, top);
    }
}

TEST(CvxText, WhiteAtHalfOpacityOverBlackIsHalfGrey) {
    if (!HaveFont(VISTREC_LATIN_FONT))
        GTEST_SKIP() << "fonts-dejavu-core is not installed (scripts/install-deps.sh)";
    Picture pic(100, 40);
    TextOverlay overlay;
    overlay.Draw(VISTREC_LATIN_FONT, "H", 10.7f, 30.9f, 255, 255, 255, pic.data(), pic.w, pic.h,
                 pic.w * 4);
    int inked = 0;
    for (size_t k = 0; k < pic.px.size(); k += 4) {
        if (!pic.px[k])
            continue;
        ++inked;
        for (int c = 0; c < 3; ++c)
            EXPECT_TRUE(pic.px[k + c] == 127 || pic.px[k + c] == 128) << int(pic.px[k + c]);
        EXPECT_EQ(0, pic.px[k + 3]);
    }
    EXPECT_GT(inked, 20);
    // The position is truncated: 'H' starts on column 10 and ends on row 30.
    int left, right, top, bottom;
    pic.Ink(0, pic.w, &left, &right, &top, &bottom);
    EXPECT_EQ(10, left);
    EXPECT_EQ(30, bottom);
}

TEST(CvxText, ColourComesFromRedGreenBlue) {
    if (!HaveFont(VISTREC_LATIN_FONT))
        GTEST_SKIP() << "fonts-dejavu-core is not installed (scripts/install-deps.sh)";
    Picture pic(60, 40);
    TextOverlay overlay;
    overlay.Draw(VISTREC_LATIN_FONT, "I", 5, 30, 200, 100, 50, pic.data(), pic.w, pic.h, pic.w * 4);
    int left, right, top, bottom;
    pic.Ink(0, pic.w, &left, &right, &top, &bottom);
    ASSERT_GE(left, 0);
    const uint8_t* p = &pic.px[(static_cast<size_t>(bottom) * pic.w + left) * 4];
    EXPECT_EQ(25, p[0]);   // blue 50 x 0.5
    EXPECT_EQ(50, p[1]);   // green
    EXPECT_EQ(100, p[2]);  // red
}

TEST(CvxText, PixelsOutsideThePictureAreSkipped) {
    if (!HaveFont(VISTREC_LATIN_FONT))
        GTEST_SKIP() << "fonts-dejavu-core is not installed (scripts/install-deps.sh)";
    CvxText text(VISTREC_LATIN_FONT);
    Picture pic(30, 30);
    // Left of, above, below and right of the picture; the sanitizer builds watch the writes.
    const int places[][2] = {{-8, 10}, {2, 5}, {2, 40}, {25, 20}};
    for (const auto& at : places)
        EXPECT_EQ(3, Draw(text, pic, "HIH", at[0], at[1]));
    int left, right, top, bottom;
    pic.Ink(0, pic.w, &left, &right, &top, &bottom);
    EXPECT_EQ(0, left);
    EXPECT_EQ(0, top);
    EXPECT_EQ(29, right);
}

TEST(CvxText, EveryUtf8CharacterIsOneGlyph) {
    if (!HaveFont(VISTREC_CJK_FONT))
        GTEST_SKIP() << "fonts-wqy-zenhei is not installed (scripts/install-deps.sh)";
    CvxText text(VISTREC_CJK_FONT);
    ASSERT_TRUE(text.ok());
    // Three characters of three bytes each: drawn as the three glyphs drawn one by one at the
    // pen positions of width + 2.
    const char* chars[] = {"\xE4\xB8\xAD", "\xE6\x96\x87", "\xE5\xAD\x97"};  // 中 文 字
    const uint32_t codes[] = {0x4E2D, 0x6587, 0x5B57};
    Picture whole(160, 40), single(160, 40);
    EXPECT_EQ(9, Draw(text, whole, "\xE4\xB8\xAD\xE6\x96\x87\xE5\xAD\x97", 4, 30));
    int pen = 4;
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(3, Draw(text, single, chars[k], pen, 30));
        const Box b = GlyphBox(VISTREC_CJK_FONT, codes[k]);
        ASSERT_GT(b.width, 0);
        pen += b.width + 2;
    }
    EXPECT_EQ(single.px, whole.px);
    int left, right, top, bottom;
    whole.Ink(0, whole.w, &left, &right, &top, &bottom);
    EXPECT_LT(right, pen);
    EXPECT_EQ(30, bottom);
}

TEST(CvxText, MissingFontDrawsNothing) {
    CvxText none(nullptr);
    EXPECT_FALSE(none.ok());
    CvxText missing("/nonexistent/font.ttf");
    EXPECT_FALSE(missing.ok());
    Picture pic(40, 40);
    EXPECT_EQ(-1, Draw(missing, pic, "H", 5, 30));
    TextOverlay overlay;
    for (const char* font : {static_cast<const char*>(nullptr), "/nonexistent/font.ttf"})
        for (int frame = 0; frame < 3; ++frame)  // logged once, skipped every frame
            overlay.Draw(font, "H", 5, 30, 255, 255, 255, pic.data(), pic.w, pic.h, pic.w * 4);
    EXPECT_EQ(std::vector<uint8_t>(40 * 40 * 4, 0), pic.px);
}

}  // namespace
