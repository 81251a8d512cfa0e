#include "MouseEffects.h"

#include <stdio.h>

#include <algorithm>
#include <mutex>

#include "support/Log.h"

MouseSettings g_mouse;

namespace {

// The icon set is replaced by whichever recording starts and read by every capture; the lock
// covers only the copy of the pointers, the images themselves are never changed once loaded.
std::mutex g_iconsLock;
EffectIcons g_icons;

EffectIcon LoadOne(const std::string& path) {
    std::string error;
    std::shared_ptr<const vistrec::platform::IconImage> icon =
        vistrec::platform::LoadIconFile(path, &error);
    if (!icon)
        VLOG_WARN("mouse effect icon " << path << " not loaded: " << error);
    return icon;
}

}  // namespace

std::string EffectIconDir() {
    return vistrec::platform::ExecutableDir() + "mouseeffect/";
}

void LoadEffectIcons(const std::string& dir) {
    EffectIcons icons;
    if (g_mouse.m_clickShow != 0) {
        for (int i = 0; i < kClickFrames; ++i) {
            char name[32];
            snprintf(name, sizeof name, "clickEffect_L%d.ico", i);
            icons.left[i] = LoadOne(dir + name);
            snprintf(name, sizeof name, "clickEffect_R%d.ico", i);
            icons.right[i] = LoadOne(dir + name);
        }
    }
    if (g_mouse.m_lightShow != 0)
        icons.highlight = LoadOne(dir + "highlight.ico");
    SetEffectIcons(icons);
}

void SetEffectIcons(const EffectIcons& icons) {
    std::lock_guard<std::mutex> lock(g_iconsLock);
    g_icons = icons;
}

void AdvanceClickFrame() {
    if (++g_mouse.clickFrame >= kClickFrames) {
        g_mouse.clickFrame = 0;
        g_mouse.lastMessage = 0;
    }
}

EffectIcon ChooseEffectIcon() {
    EffectIcon effect;
    {
        std::lock_guard<std::mutex> lock(g_iconsLock);
        if (g_mouse.m_lightShow != 0)
            effect = g_icons.highlight;
        // Kept in range whatever was stored in the counter.
        const int step = std::min(std::max(g_mouse.clickFrame, 0), kClickFrames - 1);
        if (g_mouse.m_clickShow != 0) {
            const int message = g_mouse.lastMessage;
            if (message == kLeftButtonDown)
                effect = g_icons.left[step];
            else if (message == kRightButtonDown || message == kRightButtonUp)
                effect = g_icons.right[step];
        }
    }
    AdvanceClickFrame();
    return effect;
}

void PlacePointer(const vistrec::platform::PointerImage& p, int nominalW, int nominalH,
                  int mouseSize, PointerPlacement* out) {
    // The pointer size is any 32-bit value the host set; its products are 32-bit products that
    // wrap, made in 64 bits so that a huge size does not overflow.
    auto product = [mouseSize](int side) {
        return static_cast<int>(static_cast<uint32_t>(static_cast<int64_t>(side) * mouseSize));
    };
    out->px = p.x;
    out->py = p.y;
    out->drawW = static_cast<int>(product(nominalW) * 0.01);
    out->drawH = static_cast<int>(product(nominalH) * 0.01);
    // An icon's hotspot is its centre, so twice it is the icon's width; the height is taken
    // from the width too.
    out->effectW = out->effect ? 2 * out->effect->xHotspot : 0;
    out->effectH = out->effectW;
    out->effectDx = out->effectDy = 0;
    if (p.width <= 0 || p.height <= 0)
        return;  // an unreadable pointer: both drawn at the pointer's place
    const int ex = p.x - out->effectW / 2, ey = p.y - out->effectH / 2;
    // The image is stretched from width x height to the drawn size, so the hotspot moves with
    // it; the products with the size are integer products, the rest double.
    const int scaledW = product(nominalW);
    const int scaledH = product(nominalH);
    out->px = static_cast<int>(p.x - (scaledW * 0.01 / p.width) * p.xHotspot);
    out->py = static_cast<int>(p.y - (scaledH * 0.01 / p.height) * p.yHotspot);
    if (out->effect) {
        out->effectDx = ex - out->px;
        out->effectDy = ey - out->py;
    }
}

void PreparePointerEffects(PointerPlacement* out) {
    out->effect = ChooseEffectIcon();
    vistrec::platform::DisplayServer& display = vistrec::platform::Display();
    if (!display.GetPointer(&out->pointer)) {
        // Without a position there is nowhere to draw either the pointer or the effect.
        out->pointer.visible = false;
        out->effect.reset();
        return;
    }
    int cx = 0, cy = 0;
    display.PointerNominalSize(out->pointer, &cx, &cy);
    PlacePointer(out->pointer, cx, cy, g_mouse.m_mouseSize, out);
}

void BlendPremultiplied(const uint32_t* argb, int w, int h, int x, int y, int drawW, int drawH,
                        uint8_t* bgra, int width, int height, int stride) {
    if (w <= 0 || h <= 0 || drawW <= 0 || drawH <= 0)
        return;
    const int x0 = std::max(0, x),
              x1 = static_cast<int>(std::min<int64_t>(width, int64_t{x} + drawW));
    const int y0 = std::max(0, y),
              y1 = static_cast<int>(std::min<int64_t>(height, int64_t{y} + drawH));
    for (int row = y0; row < y1; ++row) {
        const int sy = static_cast<int>(static_cast<int64_t>(row - y) * h / drawH);
        const uint32_t* srcRow = argb + static_cast<size_t>(sy) * w;
        uint8_t* dst = bgra + static_cast<size_t>(row) * stride + static_cast<size_t>(x0) * 4;
        for (int col = x0; col < x1; ++col, dst += 4) {
            const int sx = static_cast<int>(static_cast<int64_t>(col - x) * w / drawW);
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

void DrawPointerEffects(const PointerPlacement& place, uint8_t* bgra, int width, int height,
                        int stride) {
    // The effect is drawn whatever the show mode: it marks the pointer's place even when the
    // pointer itself is hidden.
    if (const vistrec::platform::IconImage* e = place.effect.get()) {
        BlendPremultiplied(e->argb.data(), e->width, e->height, place.px + place.effectDx,
                           place.py + place.effectDy, place.effectW > 0 ? place.effectW : e->width,
                           place.effectH > 0 ? place.effectH : e->height, bgra, width, height,
                           stride);
    }
    const vistrec::platform::PointerImage& p = place.pointer;
    if (g_mouse.m_mouseShow == 0 || !p.visible || p.width <= 0 || p.height <= 0 ||
        p.argb.size() < static_cast<size_t>(p.width) * p.height)
        return;
    // A drawn size of 0 means the pointer's own size.
    BlendPremultiplied(p.argb.data(), p.width, p.height, place.px, place.py,
                       place.drawW > 0 ? place.drawW : p.width,
                       place.drawH > 0 ? place.drawH : p.height, bgra, width, height, stride);
}
