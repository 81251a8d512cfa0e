// Pointer placement at a size setting, drawing with alpha and clipping, and the click counter.
#include <gtest/gtest.h>

#include "capture/MouseEffects.h"

namespace {

vistrec::platform::PointerImage Pointer(int w, int h, int hx, int hy, uint32_t argb) {
    vistrec::platform::PointerImage p;
    p.visible = true;
    p.x = 500;
    p.y = 400;
    p.width = w;
    p.height = h;
    p.xHotspot = hx;
    p.yHotspot = hy;
    p.argb.assign(static_cast<size_t>(w) * h, argb);
    return p;
}

TEST(Pointer, ScaledSizeMovesTheHotspotOntoThePointer) {
    PointerPlacement place;
    PlacePointer(Pointer(32, 32, 0, 0, 0), 32, 32, 150, &place);
    EXPECT_EQ(48, place.drawW);
    EXPECT_EQ(48, place.drawH);
    EXPECT_EQ(500, place.px);
    EXPECT_EQ(400, place.py);
    PlacePointer(Pointer(32, 32, 16, 16, 0), 32, 32, 150, &place);
    EXPECT_EQ(500 - 24, place.px);
    EXPECT_EQ(400 - 24, place.py);
    // Size 0: drawn at its own size at the plain position.
    PlacePointer(Pointer(32, 32, 16, 16, 0), 32, 32, 0, &place);
    EXPECT_EQ(0, place.drawW);
    EXPECT_EQ(500, place.px);
}

TEST(Pointer, DrawnWithAlphaScaledAndClipped) {
    MouseSettings saved = g_mouse;
    g_mouse.m_mouseShow = 1;
    std::vector<uint8_t> bgra(16 * 16 * 4, 200);
    PointerPlacement place;
    // Half-transparent premultiplied white: 0x80 alpha, 0x80 colour.
    place.pointer = Pointer(2, 2, 0, 0, 0x80808080u);
    place.px = 14;  // partly outside on the right
    place.py = 0;
    place.drawW = 4;
    place.drawH = 4;
    DrawPointerEffects(place, bgra.data(), 16, 16, 16 * 4);
    // 0x80 + 200 x (255 - 128) / 255 = 128 + 100 = 228
    EXPECT_EQ(228, bgra[(0 * 16 + 14) * 4]);
    EXPECT_EQ(228, bgra[(3 * 16 + 15) * 4 + 2]);
    EXPECT_EQ(200, bgra[(4 * 16 + 15) * 4]);  // below the drawn 4 rows
    EXPECT_EQ(200, bgra[(0 * 16 + 13) * 4]);

    // Show mode 0: nothing drawn.
    g_mouse.m_mouseShow = 0;
    std::vector<uint8_t> clean(16 * 16 * 4, 200);
    DrawPointerEffects(place, clean.data(), 16, 16, 16 * 4);
    EXPECT_EQ(std::vector<uint8_t>(16 * 16 * 4, 200), clean);
    g_mouse = saved;
}

TEST(Pointer, ClickAnimationRunsOutWhenTheCounterWraps) {
    MouseSettings saved = g_mouse;
    g_mouse.clickFrame = 4;
    g_mouse.lastMessage = kLeftButtonDown;
    AdvanceClickFrame();
    EXPECT_EQ(5, g_mouse.clickFrame);
    EXPECT_EQ(kLeftButtonDown, g_mouse.lastMessage);
    AdvanceClickFrame();
    EXPECT_EQ(0, g_mouse.clickFrame);
    EXPECT_EQ(0, g_mouse.lastMessage);
    g_mouse = saved;
}

}  // namespace
