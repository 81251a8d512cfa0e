#include "SceneRender.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace testscene {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Grey of the quiet zone around a counter mark: far from both block colours.
constexpr uint8_t kQuietGrey = 128;

struct Shape {
    bool disc;
    int w, h;
    uint8_t b, g, r;          // main colour; every other 8-pixel column is drawn darker
    double periodX, periodY;  // in counter ticks
    double phaseX, phaseY;
};

// Periods are prime-ish so that the shapes never line up in a repeating pattern; one shape
// crosses the screen in about two seconds at 30 Hz to give the encoder fast motion.
const Shape kShapes[] = {
    {false, 180, 120, 40, 40, 220, 97, 131, 0.0, 1.0},
    {true, 150, 150, 220, 60, 40, 131, 71, 1.5, 0.3},
    {false, 90, 200, 40, 200, 60, 59, 173, 2.2, 2.9},
    {true, 100, 100, 30, 220, 230, 173, 113, 0.7, 4.1},
    {false, 240, 60, 200, 200, 40, 113, 97, 3.3, 5.0},
    {true, 200, 200, 180, 50, 200, 251, 89, 4.4, 0.9},
};

uint32_t Hash(uint32_t v) {
    v ^= v >> 16;
    v *= 0x7feb352dU;
    v ^= v >> 15;
    v *= 0x846ca68bU;
    v ^= v >> 16;
    return v;
}

uint8_t Clamp8(double v) {
    if (v <= 0.0)
        return 0;
    if (v >= 255.0)
        return 255;
    return static_cast<uint8_t>(v + 0.5);
}

// One background pixel: smooth colour fields, a 120-pixel grid of dark lines, one tinted
// rectangle per grid cell placed by a hash of the cell (so no two cells look alike), and a
// faint 16-pixel checker for medium detail.
void BackgroundPixel(int x, int y, uint8_t* px) {
    double r = 128.0 + 70.0 * std::sin(x * 0.011 + y * 0.004);
    double g = 128.0 + 70.0 * std::sin(y * 0.013 - x * 0.003 + 1.0);
    double b = 128.0 + 70.0 * std::cos((x + 2.0 * y) * 0.005);
    const int cell = 120;
    const int cx = x / cell, cy = y / cell;
    const int ix = x % cell, iy = y % cell;
    const uint32_t h = Hash(static_cast<uint32_t>(cx * 7919 + cy * 104729 + 17));
    const int rx = 10 + static_cast<int>(h % 40), ry = 10 + static_cast<int>((h >> 6) % 40);
    const int rw = 30 + static_cast<int>((h >> 12) % 50),
              rh = 30 + static_cast<int>((h >> 18) % 50);
    if (ix >= rx && ix < rx + rw && iy >= ry && iy < ry + rh) {
        const double tint = ((h >> 24) & 1) ? 55.0 : -55.0;
        switch ((h >> 25) % 3) {
            case 0:
                r += tint;
                break;
            case 1:
                g += tint;
                break;
            default:
                b += tint;
                break;
        }
    }
    if (((x >> 4) + (y >> 4)) & 1) {
        r += 10.0;
        g += 10.0;
        b += 10.0;
    }
    if (ix < 2 || iy < 2) {
        r *= 0.45;
        g *= 0.45;
        b *= 0.45;
    }
    px[0] = Clamp8(b);
    px[1] = Clamp8(g);
    px[2] = Clamp8(r);
    px[3] = 255;
}

// The background is static and costly to compute, so it is built once per screen size.
const std::vector<uint8_t>& Background(int width, int height) {
    static std::mutex mutex;
    static std::map<std::pair<int, int>, std::unique_ptr<std::vector<uint8_t>>> cache;
    std::lock_guard<std::mutex> lock(mutex);
    auto& slot = cache[{width, height}];
    if (!slot) {
        slot = std::make_unique<std::vector<uint8_t>>(static_cast<size_t>(width) * height * 4);
        uint8_t* p = slot->data();
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x, p += 4)
                BackgroundPixel(x, y, p);
        }
    }
    return *slot;
}

// The background with bits 4 and 5 of every colour byte flipped: the full-motion workload
// alternates between the two so that no pixel keeps its value from one tick to the next.
const std::vector<uint8_t>& FlippedBackground(int width, int height) {
    static std::mutex mutex;
    static std::map<std::pair<int, int>, std::unique_ptr<std::vector<uint8_t>>> cache;
    const std::vector<uint8_t>& plain = Background(width, height);
    std::lock_guard<std::mutex> lock(mutex);
    auto& slot = cache[{width, height}];
    if (!slot) {
        slot = std::make_unique<std::vector<uint8_t>>(plain);
        for (size_t i = 0; i < slot->size(); i += 4) {
            for (size_t c = 0; c < 3; ++c)
                (*slot)[i + c] ^= 0x30;
        }
    }
    return *slot;
}

Rect Intersect(const Rect& a, const Rect& b) {
    const int x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
    const int x1 = std::min(a.x + a.w, b.x + b.w), y1 = std::min(a.y + a.h, b.y + b.h);
    if (x1 <= x0 || y1 <= y0)
        return Rect{};
    return Rect{x0, y0, x1 - x0, y1 - y0};
}

Rect ShapeRect(const Shape& s, uint32_t counter, int width, int height) {
    const double c = static_cast<double>(counter);
    const double fx = 0.5 + 0.5 * std::sin(2.0 * kPi * c / s.periodX + s.phaseX);
    const double fy = 0.5 + 0.5 * std::sin(2.0 * kPi * c / s.periodY + s.phaseY);
    const int x = static_cast<int>(std::floor(fx * std::max(0, width - s.w)));
    const int y = static_cast<int>(std::floor(fy * std::max(0, height - s.h)));
    return Rect{x, y, s.w, s.h};
}

void FillShape(const Shape& s, const Rect& at, const Rect& clip, uint8_t* bgra, int stride) {
    const Rect area = Intersect(at, clip);
    const double rx = s.w / 2.0, ry = s.h / 2.0;
    for (int y = area.y; y < area.y + area.h; ++y) {
        uint8_t* p = bgra + static_cast<size_t>(y) * stride + static_cast<size_t>(area.x) * 4;
        for (int x = area.x; x < area.x + area.w; ++x, p += 4) {
            const int lx = x - at.x, ly = y - at.y;
            if (s.disc) {
                const double dx = (lx + 0.5 - rx) / rx, dy = (ly + 0.5 - ry) / ry;
                if (dx * dx + dy * dy > 1.0)
                    continue;
            }
            const bool dark = (lx >> 3) & 1;
            p[0] = dark ? s.b / 2 : s.b;
            p[1] = dark ? s.g / 2 : s.g;
            p[2] = dark ? s.r / 2 : s.r;
            p[3] = 255;
        }
    }
}

void FillRect(const Rect& r, const Rect& clip, uint8_t value, uint8_t* bgra, int stride) {
    const Rect area = Intersect(r, clip);
    for (int y = area.y; y < area.y + area.h; ++y) {
        uint8_t* p = bgra + static_cast<size_t>(y) * stride + static_cast<size_t>(area.x) * 4;
        for (int x = 0; x < area.w; ++x, p += 4) {
            p[0] = p[1] = p[2] = value;
            p[3] = 255;
        }
    }
}

void FillColor(const Rect& r, const Rect& clip, const uint8_t bgr[3], uint8_t* bgra, int stride) {
    const Rect area = Intersect(r, clip);
    for (int y = area.y; y < area.y + area.h; ++y) {
        uint8_t* p = bgra + static_cast<size_t>(y) * stride + static_cast<size_t>(area.x) * 4;
        for (int x = 0; x < area.w; ++x, p += 4) {
            p[0] = bgr[0];
            p[1] = bgr[1];
            p[2] = bgr[2];
            p[3] = 255;
        }
    }
}

// Copies the background scrolled by (dx, dy) (wrapping around) into the clip.
void ScrolledBackground(const std::vector<uint8_t>& background, int width, int height, int dx,
                        int dy, const Rect& clip, uint8_t* bgra, int stride) {
    for (int y = clip.y; y < clip.y + clip.h; ++y) {
        const uint8_t* row = background.data() + static_cast<size_t>((y + dy) % height) * width * 4;
        uint8_t* out = bgra + static_cast<size_t>(y) * stride;
        int x = clip.x;
        while (x < clip.x + clip.w) {
            const int sx = (x + dx) % width;
            const int run = std::min(clip.x + clip.w - x, width - sx);
            std::memcpy(out + static_cast<size_t>(x) * 4, row + static_cast<size_t>(sx) * 4,
                        static_cast<size_t>(run) * 4);
            x += run;
        }
    }
}

// Text: 9 x 16 pixel cells, each glyph a 5 x 7 pattern picked by a hash of its code, a space
// now and then so that rows look like words.
constexpr int kCellW = 9, kCellH = 16, kTitleH = 24, kTextMargin = 8;
constexpr int kOfficeLineChars = 64;
constexpr int kOfficeCharsPerTick = 3;

// The 35 dots of a glyph, row by row (bit 5 x row + column).
uint64_t GlyphBits(uint32_t code) {
    const uint32_t h = Hash(code * 2654435761U + 99);
    if (h % 6 == 0)
        return 0;  // a space
    const uint64_t bits = static_cast<uint64_t>(Hash(h) & 0x7) << 32 | (h >> 3);
    return bits | 0x400010U;  // never empty
}

void DrawGlyph(uint64_t bits, int cellX, int cellY, const Rect& clip, uint8_t* bgra, int stride) {
    static const uint8_t kInk[3] = {40, 30, 30};
    for (int i = 0; i < 35; ++i) {
        if ((bits >> i) & 1) {
            const Rect dot{cellX + 2 + i % 5, cellY + 5 + i / 5, 1, 1};
            FillColor(dot, clip, kInk, bgra, stride);
        }
    }
}

// A desktop window: border, title bar, light body.
struct Window {
    Rect frame;
    uint32_t seed;  // picks the static text of its body
};
const Window kWindows[] = {
    {kOfficeRect, 0},
    {{1100, 150, 700, 450}, 11},
    {{300, 760, 800, 260}, 23},
    {{1250, 680, 560, 330}, 37},
};

Rect BodyOf(const Rect& frame) {
    return Rect{frame.x + 1, frame.y + kTitleH, frame.w - 2, frame.h - kTitleH - 1};
}

void DrawWindowFrame(const Window& win, const Rect& clip, uint8_t* bgra, int stride) {
    static const uint8_t kBorder[3] = {60, 50, 40}, kTitle[3] = {150, 90, 40},
                         kBody[3] = {245, 245, 245};
    FillColor(win.frame, clip, kBorder, bgra, stride);
    FillColor(Rect{win.frame.x + 1, win.frame.y + 1, win.frame.w - 2, kTitleH - 1}, clip, kTitle,
              bgra, stride);
    FillColor(BodyOf(win.frame), clip, kBody, bgra, stride);
}

// Rows of text in a window body; `charAt(row, col)` gives a glyph code or -1 for nothing.
template <typename CharAt>
void DrawText(const Rect& body, const Rect& clipIn, CharAt charAt, uint8_t* bgra, int stride) {
    const Rect text{body.x + kTextMargin, body.y + kTextMargin / 2, body.w - 2 * kTextMargin,
                    body.h - kTextMargin};
    const Rect clip = Intersect(text, clipIn);
    if (clip.w == 0)
        return;
    const int cols = text.w / kCellW;
    const int row0 = (clip.y - text.y) / kCellH, row1 = (clip.y + clip.h - 1 - text.y) / kCellH;
    const int col0 = (clip.x - text.x) / kCellW;
    const int col1 = std::min(cols - 1, (clip.x + clip.w - 1 - text.x) / kCellW);
    for (int row = row0; row <= row1; ++row) {
        if (text.y + (row + 1) * kCellH > text.y + text.h)
            break;
        for (int col = col0; col <= col1; ++col) {
            const long long code = charAt(row, col);
            if (code >= 0)
                DrawGlyph(GlyphBits(static_cast<uint32_t>(code)), text.x + col * kCellW,
                          text.y + row * kCellH, clip, bgra, stride);
        }
    }
}

int TextRows(const Rect& body) {
    return (body.h - kTextMargin) / kCellH;
}

// The office window's text at `counter`: kOfficeCharsPerTick characters typed per tick on
// lines of kOfficeLineChars, the last line being typed at the bottom once the window is full.
void DrawOfficeText(uint32_t counter, const Rect& clip, uint8_t* bgra, int stride) {
    const Rect body = BodyOf(kOfficeRect);
    const long long typed = static_cast<long long>(counter) * kOfficeCharsPerTick;
    const long long line = typed / kOfficeLineChars, col = typed % kOfficeLineChars;
    const long long first = std::max(0LL, line - TextRows(body) + 1);
    DrawText(
        body, clip,
        [&](int row, int c) -> long long {
            const long long l = first + row;
            if (c >= kOfficeLineChars || l > line || (l == line && c >= col))
                return -1;
            return l * kOfficeLineChars + c;
        },
        bgra, stride);
    // The caret after the last typed character.
    static const uint8_t kCaret[3] = {0, 0, 0};
    const int caretX = body.x + kTextMargin + static_cast<int>(col) * kCellW;
    const int caretY = body.y + kTextMargin / 2 + static_cast<int>(line - first) * kCellH;
    FillColor(Rect{caretX, caretY + 2, 2, kCellH - 4}, clip, kCaret, bgra, stride);
}

void DrawDesktop(uint32_t counter, bool office, const Rect& clip, uint8_t* bgra, int stride) {
    for (const Window& win : kWindows) {
        if (Intersect(win.frame, clip).w == 0)
            continue;
        DrawWindowFrame(win, clip, bgra, stride);
        if (win.seed == 0) {
            if (office)
                DrawOfficeText(counter, clip, bgra, stride);
            continue;
        }
        const Rect body = BodyOf(win.frame);
        DrawText(
            body, clip,
            [&](int row, int c) -> long long {
                const uint32_t length = 20 + Hash(win.seed * 1000 + row) % 60;
                return c < static_cast<int>(length) ? win.seed * 100000LL + row * 100 + c : -1;
            },
            bgra, stride);
    }
}

// Block (row, col) of the mark for `counter`: true for white.
bool MarkBlockWhite(uint32_t counter, int row, int col) {
    if (col == 0)
        return row == 0;
    const uint32_t byte = row == 0 ? (counter >> 8) & 0xFF : counter & 0xFF;
    if (col <= 8)
        return (byte >> (8 - col)) & 1;
    int ones = 0;
    for (int i = 0; i < 8; ++i)
        ones += (byte >> i) & 1;
    return ones & 1;
}

void DrawMark(uint32_t counter, const Rect& mark, const Rect& clip, uint8_t* bgra, int stride) {
    const Rect quiet{mark.x - kMarkQuietPx, mark.y - kMarkQuietPx, mark.w + 2 * kMarkQuietPx,
                     mark.h + 2 * kMarkQuietPx};
    FillRect(quiet, clip, kQuietGrey, bgra, stride);
    for (int row = 0; row < kMarkRows; ++row) {
        for (int col = 0; col < kMarkCols; ++col) {
            const Rect block{mark.x + col * kBlockPx, mark.y + row * kBlockPx, kBlockPx, kBlockPx};
            FillRect(block, clip, MarkBlockWhite(counter, row, col) ? 255 : 0, bgra, stride);
        }
    }
}

bool FlashOn(uint32_t counter, int fps) {
    if (fps <= 0)
        return false;
    const uint64_t ms = static_cast<uint64_t>(counter) * 1000 / static_cast<uint64_t>(fps);
    return ms % 1000 < static_cast<uint64_t>(kFlashMs);
}

double PixelLuma(const ImageView& image, int x, int y) {
    const uint8_t* p = image.data + static_cast<size_t>(y) * image.stride +
                       static_cast<size_t>(x) * image.bytesPerPixel;
    if (image.bytesPerPixel == 1)
        return p[0];
    return 0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2];
}

// The counter marks a workload draws.
std::vector<Rect> DrawnMarks(int width, int height, Workload workload) {
    std::vector<Rect> marks = MarkRects(width, height);
    if (workload == Workload::kStatic)
        marks.clear();
    else if (workload == Workload::kOffice && marks.size() > 1)
        marks.resize(1);  // the first one lies inside the office window
    return marks;
}

}  // namespace

bool ParseWorkload(const char* text, Workload* workload) {
    static const std::pair<const char*, Workload> kNames[] = {
        {"animated", Workload::kAnimated},
        {"static", Workload::kStatic},
        {"office", Workload::kOffice},
        {"full", Workload::kFull},
    };
    for (const auto& n : kNames) {
        if (std::strcmp(text, n.first) == 0) {
            *workload = n.second;
            return true;
        }
    }
    return false;
}

void PointerAt(uint32_t counter, int width, int height, int* x, int* y) {
    const double t = static_cast<double>(counter);
    *x = static_cast<int>((0.5 + 0.45 * std::sin(t / 23.0)) * (width - 1));
    *y = static_cast<int>((0.5 + 0.45 * std::sin(t / 37.0 + 1.0)) * (height - 1));
}

std::vector<Rect> MarkRects(int width, int height) {
    std::vector<Rect> marks;
    const Rect first{kMarkX, kMarkY, kMarkWidth, kMarkHeight};
    if (first.x + first.w + kMarkQuietPx > width || first.y + first.h + kMarkQuietPx > height) {
        return marks;
    }
    marks.push_back(first);
    const int secondX = width / 2 + kMarkX;
    if (secondX + kMarkWidth + kMarkQuietPx <= width) {
        marks.push_back(Rect{secondX, kMarkY, kMarkWidth, kMarkHeight});
    }
    return marks;
}

void RenderScene(uint32_t counter, int width, int height, const SceneOptions& options,
                 uint8_t* bgra, int stride, const Rect& clipIn) {
    const Rect clip = Intersect(clipIn, Rect{0, 0, width, height});
    if (clip.w == 0)
        return;
    const Workload workload = options.workload;
    if (workload == Workload::kFull) {
        const std::vector<uint8_t>& background =
            (counter & 1) ? FlippedBackground(width, height) : Background(width, height);
        ScrolledBackground(background, width, height, static_cast<int>(counter * 13ULL % width),
                           static_cast<int>(counter * 7ULL % height), clip, bgra, stride);
    } else {
        const std::vector<uint8_t>& background = Background(width, height);
        ScrolledBackground(background, width, height, 0, 0, clip, bgra, stride);
    }
    if (workload == Workload::kStatic || workload == Workload::kOffice) {
        DrawDesktop(counter, workload == Workload::kOffice, clip, bgra, stride);
    } else {
        for (const Shape& s : kShapes)
            FillShape(s, ShapeRect(s, counter, width, height), clip, bgra, stride);
    }
    if (options.flash) {
        FillRect(kFlashRect, clip, FlashOn(counter, options.fps) ? 255 : 0, bgra, stride);
    }
    for (const Rect& mark : DrawnMarks(width, height, workload))
        DrawMark(counter, mark, clip, bgra, stride);
}

std::vector<uint8_t> RenderFrame(uint32_t counter, int width, int height,
                                 const SceneOptions& options) {
    std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 4);
    RenderScene(counter, width, height, options, frame.data(), width * 4,
                Rect{0, 0, width, height});
    return frame;
}

std::vector<Rect> ChangedRects(uint32_t from, uint32_t to, int width, int height,
                               const SceneOptions& options) {
    const Rect screen{0, 0, width, height};
    std::vector<Rect> rects;
    auto add = [&](const Rect& r) {
        const Rect c = Intersect(r, screen);
        if (c.w > 0)
            rects.push_back(c);
    };
    switch (options.workload) {
        case Workload::kStatic:
            break;
        case Workload::kOffice:
            add(kOfficeRect);
            break;
        case Workload::kFull:
            add(screen);
            break;
        case Workload::kAnimated:
            for (const Shape& s : kShapes) {
                add(ShapeRect(s, from, width, height));
                add(ShapeRect(s, to, width, height));
            }
            break;
    }
    if (options.flash)
        add(kFlashRect);
    for (const Rect& mark : DrawnMarks(width, height, options.workload))
        add(mark);
    return rects;
}

double MeanLuma(const ImageView& image, const ScreenToImage& map, const Rect& r) {
    const int x0 = static_cast<int>(std::lround(r.x * map.scaleX + map.offsetX));
    const int x1 = static_cast<int>(std::lround((r.x + r.w) * map.scaleX + map.offsetX));
    const int y0 = static_cast<int>(std::lround(r.y * map.scaleY + map.offsetY));
    const int y1 = static_cast<int>(std::lround((r.y + r.h) * map.scaleY + map.offsetY));
    if (x0 < 0 || y0 < 0 || x1 > image.width || y1 > image.height || x1 <= x0 || y1 <= y0) {
        return -1.0;
    }
    double sum = 0.0;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x)
            sum += PixelLuma(image, x, y);
    }
    return sum / (static_cast<double>(x1 - x0) * (y1 - y0));
}

bool ReadCounter(const ImageView& image, const ScreenToImage& map, int markX, int markY,
                 uint32_t* counter) {
    // The middle half of each block: far enough from the edges that scaling and compression
    // blur do not reach it.
    const int inset = kBlockPx / 4;
    uint32_t value = 0;
    for (int row = 0; row < kMarkRows; ++row) {
        int ones = 0;
        for (int col = 0; col < kMarkCols; ++col) {
            const Rect inner{markX + col * kBlockPx + inset, markY + row * kBlockPx + inset,
                             kBlockPx - 2 * inset, kBlockPx - 2 * inset};
            const double luma = MeanLuma(image, map, inner);
            if (luma < 0.0)
                return false;
            bool white;
            if (luma > 160.0) {
                white = true;
            } else if (luma < 96.0) {
                white = false;
            } else {
                return false;
            }
            if (col == 0) {
                if (white != (row == 0))
                    return false;
                continue;
            }
            ones += white ? 1 : 0;
            if (col <= 8)
                value = (value << 1) | (white ? 1u : 0u);
        }
        if (ones & 1)
            return false;
    }
    *counter = value;
    return true;
}

}  // namespace testscene
