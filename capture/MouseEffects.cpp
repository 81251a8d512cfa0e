#include "MouseEffects.h"

#include <algorithm>

MouseSettings g_mouse;

void AdvanceClickFrame() {
    if (++g_mouse.clickFrame >= kClickFrames) {
        g_mouse.clickFrame = 0;
        g_mouse.lastMessage = 0;
    }
}

void PlacePointer(const vistrec::platform::PointerImage& p, int nominalW, int nominalH,
                  int mouseSize, PointerPlacement* out) {
    out->px = p.x;
    out->py = p.y;
    out->drawW = static_cast<int>(nominalW * mouseSize * 0.01);
    out->drawH = static_cast<int>(nominalH * mouseSize * 0.01);
    if (p.width <= 0 || p.height <= 0)
        return;
    // The image is stretched from width x height to the drawn size, so the hotspot moves with
    // it; the products with the size are integer products, the rest double.
    const int scaledW = nominalW * mouseSize;
    const int scaledH = nominalH * mouseSize;
    out->px = static_cast<int>(p.x - (scaledW * 0.01 / p.width) * p.xHotspot);
    out->py = static_cast<int>(p.y - (scaledH * 0.01 / p.height) * p.yHotspot);
}

void PreparePointerEffects(PointerPlacement* out) {
    AdvanceClickFrame();
    vistrec::platform::DisplayServer& display = vistrec::platform::Display();
    if (!display.GetPointer(&out->pointer)) {
        out->pointer.visible = false;
        return;
    }
    int cx = 0, cy = 0;
    display.PointerNominalSize(out->pointer, &cx, &cy);
    PlacePointer(out->pointer, cx, cy, g_mouse.m_mouseSize, out);
}

void DrawPointerEffects(const PointerPlacement& place, uint8_t* bgra, int width, int height,
                        int stride) {
    const vistrec::platform::PointerImage& p = place.pointer;
    if (g_mouse.m_mouseShow == 0 || !p.visible || p.width <= 0 || p.height <= 0)
        return;
    // A drawn size of 0 means the pointer's own size.
    const int dw = place.drawW > 0 ? place.drawW : p.width;
    const int dh = place.drawH > 0 ? place.drawH : p.height;
    const int x0 = std::max(0, place.px), x1 = std::min(width, place.px + dw);
    const int y0 = std::max(0, place.py), y1 = std::min(height, place.py + dh);
    for (int y = y0; y < y1; ++y) {
        const int sy = static_cast<int>(static_cast<int64_t>(y - place.py) * p.height / dh);
        const uint32_t* srcRow = p.argb.data() + static_cast<size_t>(sy) * p.width;
        uint8_t* dst = bgra + static_cast<size_t>(y) * stride + static_cast<size_t>(x0) * 4;
        for (int x = x0; x < x1; ++x, dst += 4) {
            const int sx = static_cast<int>(static_cast<int64_t>(x - place.px) * p.width / dw);
            const uint32_t s = srcRow[sx];
            const uint32_t a = s >> 24;
            if (a == 0)
                continue;
            // Premultiplied "over": result = source + destination x (1 - alpha).
            const uint32_t inv = 255 - a;
            for (int c = 0; c < 3; ++c) {
                const uint32_t v = ((s >> (8 * c)) & 0xFF) + (dst[c] * inv + 127) / 255;
                dst[c] = static_cast<uint8_t>(std::min<uint32_t>(v, 255));
            }
        }
    }
}
