#include "CvxText.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <math.h>
#include <string.h>

#include "support/Log.h"

namespace {

// Glyphs kept per renderer; a text of more different characters than this starts afresh.
constexpr size_t kMaxCachedGlyphs = 4096;

// Decodes one UTF-8 character at `s` (not at the terminator) into `code`; returns its length
// in bytes. A malformed sequence is one replacement character per byte.
int DecodeUtf8(const unsigned char* s, uint32_t* code) {
    const unsigned char b = s[0];
    int len = 0;
    uint32_t c = 0, min = 0;
    if (b < 0x80) {
        *code = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        len = 2, c = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3, c = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4, c = b & 0x07, min = 0x10000;
    } else {
        *code = 0xFFFD;
        return 1;
    }
    for (int i = 1; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80) {  // also stops at the terminator
            *code = 0xFFFD;
            return 1;
        }
        c = (c << 6) | (s[i] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        *code = 0xFFFD;
        return 1;
    }
    *code = c;
    return len;
}

}  // namespace

CvxText::CvxText(const char* fontPath) {
    // Departs from a renderer that asserts on a null path and fails hard on a font that does
    // not open: a caption is not worth a recording, so the overlay is skipped instead.
    if (!fontPath) {
        m_error = "no font file given";
        return;
    }
    FT_Library library = nullptr;
    if (FT_Init_FreeType(&library) != 0) {
        m_error = "FreeType does not start";
        return;
    }
    m_library = library;
    FT_Face face = nullptr;
    const FT_Error err = FT_New_Face(library, fontPath, 0, &face);
    if (err != 0) {
        m_error = std::string("cannot open font ") + fontPath + " (FreeType error " +
                  std::to_string(err) + ")";
        return;
    }
    m_face = face;
    FT_Set_Pixel_Sizes(m_face, static_cast<FT_UInt>(m_size[0]), 0);
    // The text is decoded as UTF-8 here, so the process-wide C locale is left as the host set
    // it rather than switched to the user's default for every renderer made.
}

CvxText::~CvxText() {
    if (m_face)
        FT_Done_Face(m_face);
    if (m_library)
        FT_Done_FreeType(m_library);
}

void CvxText::setStyle(const int* type, const double* size, const bool* underline,
                       const float* opacity) {
    if (type)
        m_fontType = *type;
    if (size) {
        for (int i = 0; i < 4; ++i)
            m_size[i] = fabs(size[i]);
        // Cached glyphs and the layout belong to the old size.
        m_glyphs.clear();
        m_layout.clear();
        m_laidOut.clear();
        m_laidOutBytes = 0;
    }
    if (underline)
        m_underline = *underline;
    if (opacity)
        m_opacity = *opacity;
    if (m_face)
        FT_Set_Pixel_Sizes(m_face, static_cast<FT_UInt>(m_size[0]), 0);
}

const CvxText::Glyph& CvxText::GlyphFor(uint32_t code) {
    auto it = m_glyphs.find(code);
    if (it != m_glyphs.end())
        return it->second;
    Glyph& g = m_glyphs[code];
    // A character missing from the font renders as the font's glyph 0.
    const FT_UInt index = FT_Get_Char_Index(m_face, code);
    if (FT_Load_Glyph(m_face, index, FT_LOAD_DEFAULT) != 0)
        return g;  // drawn as a blank
    // A glyph without contours (a space) is a blank. Newer FreeType renders it as a 1 x 1
    // bitmap, which would advance the pen by 3 instead of a blank's width.
    if (m_face->glyph->format == FT_GLYPH_FORMAT_OUTLINE && m_face->glyph->outline.n_points == 0)
        return g;
    if (FT_Render_Glyph(m_face->glyph, FT_RENDER_MODE_MONO) != 0)
        return g;
    const FT_Bitmap& bm = m_face->glyph->bitmap;
    g.width = static_cast<int>(bm.width);
    g.rows = static_cast<int>(bm.rows);
    if (bm.pitch <= 0 || !bm.buffer || g.width <= 0 || g.rows <= 0) {
        g.rows = 0;
        return g;
    }
    g.mask.assign(static_cast<size_t>(g.width) * g.rows, 0);
    for (int r = 0; r < g.rows; ++r) {
        const unsigned char* src = bm.buffer + static_cast<size_t>(r) * bm.pitch;
        for (int c = 0; c < g.width; ++c) {
            // The test takes bit c and the bit after it in the same byte, so strokes come out up
            // to a pixel wider on their left; this is the overlay's established look.
            g.mask[static_cast<size_t>(r) * g.width + c] = (src[c / 8] & (0xC0 >> (c % 8))) ? 1 : 0;
        }
    }
    return g;
}

void CvxText::Layout(const char* text) {
    // Departs from laying the text out and rendering every glyph on every frame: the layout is
    // kept until the text changes and each glyph is rendered once.
    if (m_glyphs.size() > kMaxCachedGlyphs)
        m_glyphs.clear();
    m_layout.clear();
    m_laidOut = text;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    int pen = 0;
    while (s[i] != 0) {
        // Every code point is one character, whatever its length in bytes.
        uint32_t code = 0;
        i += DecodeUtf8(s + i, &code);
        const Glyph& g = GlyphFor(code);
        m_layout.push_back(Placed{&g, pen});
        const double advance = g.width > 0 ? g.width : m_size[0] * m_size[1];
        pen += static_cast<int>(advance + m_size[0] * m_size[2]);
    }
    m_laidOutBytes = i;
}

int CvxText::drawString(uint8_t* bgra, int width, int height, int stride, const char* text, int x,
                        int y, const double colour[4]) {
    if (!bgra || !text || !m_face)
        return -1;
    if (m_laidOut != text)
        Layout(text);
    const float p = m_opacity;
    const float q = 1.0f - p;
    for (const Placed& placed : m_layout) {
        const Glyph& g = *placed.glyph;
        const int left = x + placed.dx;
        for (int r = 0; r < g.rows; ++r) {
            const int row = y - (g.rows - 1 - r);  // the last bitmap row lands on row y
            if (row < 0 || row >= height)
                continue;
            const uint8_t* mask = g.mask.data() + static_cast<size_t>(r) * g.width;
            uint8_t* line = bgra + static_cast<size_t>(row) * stride;
            for (int c = 0; c < g.width; ++c) {
                const int col = left + c;
                if (!mask[c] || col < 0 || col >= width)
                    continue;
                uint8_t* px = line + static_cast<size_t>(col) * 4;
                for (int k = 0; k < 4; ++k) {
                    const double v = colour[k] * p + px[k] * static_cast<double>(q);
                    px[k] = static_cast<uint8_t>(v <= 0 ? 0 : v >= 255 ? 255 : lrint(v));
                }
            }
        }
    }
    return static_cast<int>(m_laidOutBytes);
}

void TextOverlay::Draw(const char* fontPath, const char* text, float x, float y, uint8_t red,
                       uint8_t green, uint8_t blue, uint8_t* bgra, int width, int height,
                       int stride) {
    if (!text || text[0] == 0)
        return;
    if (!fontPath) {
        if (!m_nullLogged)
            VLOG_WARN("text overlay skipped: no font file given");
        m_nullLogged = true;
        return;
    }
    // The renderer lives as long as the font path stays the same, instead of FreeType being
    // started and the font parsed for every frame.
    if (!m_tried || m_fontPath != fontPath) {
        m_fontPath = fontPath;
        m_tried = true;
        m_renderer = std::make_unique<CvxText>(fontPath);
        if (!m_renderer->ok()) {
            VLOG_WARN("text overlay skipped: " << m_renderer->error());
            m_renderer.reset();
            return;
        }
        const float opacity = 0.5f;
        m_renderer->setStyle(nullptr, nullptr, nullptr, &opacity);
    }
    if (!m_renderer)
        return;
    const double colour[4] = {static_cast<double>(blue), static_cast<double>(green),
                              static_cast<double>(red), 0.0};
    m_renderer->drawString(bgra, width, height, stride, text, static_cast<int>(x),
                           static_cast<int>(y), colour);
}
