// The numeric rules that turn screen rectangles into capture, bitmap and encode sizes, and
// wall-clock times into frame indices. Pure functions, shared by capture and encoding.
#ifndef VISTREC_CAPTURE_SIZERULES_H
#define VISTREC_CAPTURE_SIZERULES_H

#include <stdint.h>

#include "vistrec/IRecordMp4.h"

namespace sizerules {

// Rounds toward zero to a multiple of 4 (1366 -> 1364, -6 -> -4): encoders and bitmaps want
// widths and heights divisible by 4.
inline int RoundDown4(int v) {
    return v / 4 * 4;
}

inline int RectWidth(const RECT& r) {
    return r.right - r.left;
}
inline int RectHeight(const RECT& r) {
    return r.bottom - r.top;
}

// Capture-side size without desktop duplication: the capture rectangle's side times the scale,
// truncated, then rounded down to a multiple of 4.
int ScaledRecordSide(int side, double scale);

// Output size of a capture rectangle: height capped at 1080 lines with the aspect kept.
struct OutSize {
    int width = 0;
    int height = 0;
};
OutSize CaptureRectOutput(const RECT& capture);

// Caps the height of `out` to `limit` lines, taking the aspect from the capture rectangle's
// size (captureW x captureH), as the display selection does.
void CapHeight(OutSize* out, int limit, int captureW, int captureH);

// What a quality level implies for the display selection.
struct QualityRule {
    bool known = false;  // false: levels outside 0..3 change nothing
    int heightCap = 0;
    int frameRate = 0;
};
QualityRule QualityFor(int quality);
// Bit rate of a quality level for an output size (the level must be known).
int QualityBitRate(int quality, const OutSize& out);

// The "crf" value the software encoder gets for a quality level; null for none.
const char* CrfForQuality(int quality);

// Where a whole monitor (srcW x srcH) lands when it is fitted, aspect kept and centred, into a
// bitmap of dstW x dstH. Computed in single precision as the capture path does.
struct Placement {
    int x = 0, y = 0, width = 0, height = 0;
    bool includesLayered = false;  // the taller-than-wide case also copies layered windows
};
Placement FitMonitor(int srcW, int srcH, int dstW, int dstH);

// Frame index of a picture taken `elapsedMs` after the start (pauses excluded).
inline int64_t FrameIndex(int64_t elapsedMs, int frameRate) {
    return elapsedMs * frameRate / 1000;
}

// Packs a bitmap size the way get_desktop_size reports it: height in the high half.
inline uint64_t PackSize(uint32_t width, uint32_t height) {
    return (static_cast<uint64_t>(height) << 32) | width;
}

}  // namespace sizerules

#endif
