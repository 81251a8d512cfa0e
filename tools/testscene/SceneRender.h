// The test scene: a pure, deterministic picture of frame `counter` for a screen of a given size.
// A static textured background (so that picture comparisons are meaningful), moving shapes
// whose places depend only on the counter, and the counter itself as big black and white blocks
// that survive H.264 and scaling. The scene program draws it on an X screen; the integration
// tests render the same picture again to compare it with what was recorded.
#ifndef VISTREC_TOOLS_TESTSCENE_SCENERENDER_H
#define VISTREC_TOOLS_TESTSCENE_SCENERENDER_H

#include <stdint.h>

#include <vector>

namespace testscene {

struct Rect {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
};

// Counter mark: 2 rows of 10 blocks of kBlockPx pixels. Column 0 holds the markers (white on
// the top row, black on the bottom row), columns 1 to 8 one byte each (top row the high byte,
// most significant bit first, white = 1), column 9 a parity block that makes the number of
// white blocks in columns 1 to 9 of its row even. A grey quiet zone surrounds the blocks.
constexpr int kBlockPx = 48;
constexpr int kMarkCols = 10;
constexpr int kMarkRows = 2;
constexpr int kMarkQuietPx = 16;
constexpr int kMarkWidth = kMarkCols * kBlockPx;   // 480
constexpr int kMarkHeight = kMarkRows * kBlockPx;  // 96
// Top-left corner of the first mark's blocks. It lies inside the top-left 75 % of a 1920x1080
// screen (kept by a capture at scale 0.75) and inside the region {100, 100, 740, 580}.
constexpr int kMarkX = 160;
constexpr int kMarkY = 160;

// Flash patch (--flash): white during the first kFlashMs of every second of scene time, black
// otherwise, so that a recording shows when each second began.
constexpr int kFlashMs = 100;
constexpr Rect kFlashRect = {800, 400, 256, 256};

// What the scene program draws: the workloads a recorder is measured on.
//  kAnimated: the textured background, moving shapes, both counter marks.
//  kStatic:   a still desktop (background and a few windows), no mark: nothing ever changes.
//  kOffice:   the still desktop with one 900 x 600 text window (kOfficeRect) redrawn whole at
//             every tick with typed text that grows and scrolls, the first counter mark inside
//             it; the scene program moves the pointer along PointerAt.
//  kFull:     every pixel changes at every tick (the background scrolls and alternates with its
//             inverted-bit copy), moving shapes on top, both counter marks at fixed places.
enum class Workload { kAnimated, kStatic, kOffice, kFull };

// Parses "animated", "static", "office", "full"; false for anything else.
bool ParseWorkload(const char* text, Workload* workload);

constexpr Rect kOfficeRect = {100, 100, 900, 600};

struct SceneOptions {
    int fps = 30;        // counter ticks per second; the flash patch needs it
    bool flash = false;  // draw the flash patch
    Workload workload = Workload::kAnimated;
};

// Where the office workload puts the pointer at `counter`: a smooth path over the whole screen.
void PointerAt(uint32_t counter, int width, int height, int* x, int* y);

// Top-left corners of the counter marks on a width x height screen: one at (kMarkX, kMarkY)
// and, when the screen is wide enough, a copy at (width / 2 + kMarkX, kMarkY) so that a capture
// of the right half shows the counter too.
std::vector<Rect> MarkRects(int width, int height);

// Draws the part `clip` of frame `counter` into a BGRA buffer that holds the whole width x
// height screen (4 bytes per pixel, blue first, rows top first, `stride` bytes per row).
void RenderScene(uint32_t counter, int width, int height, const SceneOptions& options,
                 uint8_t* bgra, int stride, const Rect& clip);

// The whole frame `counter` as a tightly packed BGRA buffer (stride width x 4).
std::vector<uint8_t> RenderFrame(uint32_t counter, int width, int height,
                                 const SceneOptions& options = SceneOptions());

// Rectangles whose pixels may differ between frames `from` and `to` (moving shapes at both
// counters, counter marks, flash patch, the office window, the whole screen for kFull), clipped
// to the screen. They may overlap. Empty for kStatic.
std::vector<Rect> ChangedRects(uint32_t from, uint32_t to, int width, int height,
                               const SceneOptions& options);

// An image to read a counter from: 4 bytes per pixel (BGRA) or 1 (luma).
struct ImageView {
    const uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
    int bytesPerPixel = 4;
};

// Where screen pixels land in the image: ix = sx * scaleX + offsetX (and the same for y).
struct ScreenToImage {
    double scaleX = 1.0;
    double scaleY = 1.0;
    double offsetX = 0.0;
    double offsetY = 0.0;
};

// Reads the counter of the mark whose blocks start at screen (markX, markY). False when the
// mark is not readable: a block outside the image, a block neither clearly dark nor clearly
// bright, markers or parity wrong.
bool ReadCounter(const ImageView& image, const ScreenToImage& map, int markX, int markY,
                 uint32_t* counter);

// Mean luma (BT.601, 0 to 255) of a screen rectangle as it appears in the image.
double MeanLuma(const ImageView& image, const ScreenToImage& map, const Rect& screenRect);

}  // namespace testscene

#endif  // VISTREC_TOOLS_TESTSCENE_SCENERENDER_H
