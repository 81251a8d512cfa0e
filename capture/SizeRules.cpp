#include "SizeRules.h"

namespace sizerules {

int ScaledRecordSide(int side, double scale) {
    return RoundDown4(static_cast<int>(side * scale));
}

OutSize CaptureRectOutput(const RECT& capture) {
    const int w = RectWidth(capture);
    const int h = RectHeight(capture);
    OutSize out;
    if (h > 1080) {
        out.height = 1080;
        out.width = RoundDown4(static_cast<int>(w / (h / 1080.0)));
    } else {
        out.width = RoundDown4(w);
        out.height = RoundDown4(h);
    }
    return out;
}

void CapHeight(OutSize* out, int limit, int captureW, int captureH) {
    if (out->height <= limit)
        return;
    out->height = limit;
    out->width = RoundDown4(static_cast<int>(captureW / (captureH / static_cast<double>(limit))));
}

QualityRule QualityFor(int quality) {
    switch (quality) {
        case 0:
            return {true, 720, 10};
        case 1:
            return {true, 1080, 20};
        case 2:
            return {true, 540, 10};
        case 3:
            return {true, 900, 20};
        default:
            return {};
    }
}

int QualityBitRate(int quality, const OutSize& out) {
    const int pixels = out.width * out.height;
    switch (quality) {
        case 0:
            return pixels * 5 / 3;
        case 1:
            return pixels * 3;
        case 2:
            return pixels;
        case 3:
            return pixels * 2;
        default:
            return 0;
    }
}

const char* CrfForQuality(int quality) {
    switch (quality) {
        case 0:
            return "40";
        case 1:
            return "23";
        case 2:
            return "44";
        case 3:
            return "30";
        default:
            return nullptr;
    }
}

Placement FitMonitor(int srcW, int srcH, int dstW, int dstH) {
    Placement p;
    if (srcW <= 0 || srcH <= 0 || dstW <= 0 || dstH <= 0)
        return p;
    const float dstAspect = static_cast<float>(dstW) / static_cast<float>(dstH);
    const float srcAspect = static_cast<float>(srcW) / static_cast<float>(srcH);
    if (dstAspect >= srcAspect) {
        // Bitmap at least as wide as the monitor: full height, bands left and right.
        const int scaledW =
            static_cast<int>(static_cast<float>(dstH) / static_cast<float>(srcH) * srcW);
        p = {(dstW - scaledW) / 2, 0, scaledW, dstH, false};
    } else {
        // Monitor wider than the bitmap: full width, bands above and below.
        const int scaledH =
            static_cast<int>(static_cast<float>(dstW) / static_cast<float>(srcW) * srcH);
        p = {0, (dstH - scaledH) / 2, dstW, scaledH, true};
    }
    return p;
}

}  // namespace sizerules
