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

}  // namespace

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
    const std::vector<uint8_t>& background = Background(width, height);
    for (int y = clip.y; y < clip.y + clip.h; ++y) {
        std::memcpy(bgra + static_cast<size_t>(y) * stride + static_cast<size_t>(clip.x) * 4,
                    background.data() + (static_cast<size_t>(y) * width + clip.x) * 4,
                    static_cast<size_t>(clip.w) * 4);
    }
    for (const Shape& s : kShapes) {
        FillShape(s, ShapeRect(s, counter, width, height), clip, bgra, stride);
    }
    if (options.flash) {
        FillRect(kFlashRect, clip, FlashOn(counter, options.fps) ? 255 : 0, bgra, stride);
    }
    for (const Rect& mark : MarkRects(width, height))
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
    for (const Shape& s : kShapes) {
        add(ShapeRect(s, from, width, height));
        add(ShapeRect(s, to, width, height));
    }
    if (options.flash)
        add(kFlashRect);
    for (const Rect& mark : MarkRects(width, height))
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
