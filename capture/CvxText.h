// One line of text drawn into captured frames with FreeType: a one-bit glyph mask per
// character, blended in the text colour at a set opacity, every glyph bottom-aligned on the
// given row.
#ifndef VISTREC_CAPTURE_CVXTEXT_H
#define VISTREC_CAPTURE_CVXTEXT_H

#include <stdint.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

struct FT_LibraryRec_;
struct FT_FaceRec_;

class CvxText {
  public:
    // Starts FreeType and opens face 0 of `fontPath` at 20 pixels. Check ok() before drawing: a
    // null path or a font that does not open leaves the renderer unusable, never ends the
    // process.
    explicit CvxText(const char* fontPath);
    virtual ~CvxText();
    CvxText(const CvxText&) = delete;
    CvxText& operator=(const CvxText&) = delete;

    bool ok() const { return m_face != nullptr; }
    // Why the font did not open (empty when it did).
    const std::string& error() const { return m_error; }

    // Each non-null argument replaces its setting; the size scalar is stored with the absolute
    // value of each component: [0] pixel size, [1] width of a blank as a share of the size,
    // [2] gap after every character as a share of the size, [3] unused.
    void setStyle(const int* type, const double* size, const bool* underline, const float* opacity);

    // Draws the UTF-8 `text` into a BGRA picture with its left edge at x and every glyph's
    // bottom row on row y, in `colour` (blue, green, red, fourth byte). Returns the number of
    // bytes of text consumed, or -1 for a null picture or text, or an unusable renderer.
    int drawString(uint8_t* bgra, int width, int height, int stride, const char* text, int x, int y,
                   const double colour[4]);

  private:
    // A rendered glyph as one byte per pixel (1: set), rows top first.
    struct Glyph {
        int width = 0, rows = 0;
        std::vector<uint8_t> mask;
    };
    // A character of the laid-out text: its glyph and its left edge relative to the pen start.
    struct Placed {
        const Glyph* glyph;
        int dx;
    };

    const Glyph& GlyphFor(uint32_t code);
    void Layout(const char* text);

    FT_LibraryRec_* m_library = nullptr;
    FT_FaceRec_* m_face = nullptr;
    std::string m_error;
    int m_fontType = 0;
    double m_size[4] = {20.0, 0.5, 0.1, 0.0};
    bool m_underline = false;
    float m_opacity = 1.0f;

    std::unordered_map<uint32_t, Glyph> m_glyphs;  // by code point, for the current size
    std::string m_laidOut;                         // the text m_layout was made for
    std::vector<Placed> m_layout;
    size_t m_laidOutBytes = 0;
};

// The text overlay of one recorder: the renderer is made when the font path changes, the text
// is laid out when it changes, and each frame only blends. Record thread only.
class TextOverlay {
  public:
    // Draws `text` at (x, y) truncated, 20 pixels high at half opacity, in (red, green, blue).
    // Nothing for a null or empty text; a null or unusable font skips the overlay with one log
    // line per font path.
    void Draw(const char* fontPath, const char* text, float x, float y, uint8_t red, uint8_t green,
              uint8_t blue, uint8_t* bgra, int width, int height, int stride);

  private:
    std::unique_ptr<CvxText> m_renderer;
    std::string m_fontPath;
    bool m_tried = false;       // a renderer was attempted for m_fontPath
    bool m_nullLogged = false;  // the missing font path has been logged
};

#endif
