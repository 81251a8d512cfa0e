// Mouse effect drawing rules: the effect chosen per capture, its size and place, the scaled
// pointer over it with alpha and clipping, and the shipped icon set.
#include <gtest/gtest.h>

#include "capture/CaptureScreen.h"
#include "capture/CaptureSettings.h"
#include "capture/MouseEffects.h"
#include "src/H264WindowRecorder.h"
#include "unit/FakeDisplay.h"

using vistrec::platform::IconImage;

namespace {

// A square opaque icon with its hotspot in the middle.
std::shared_ptr<IconImage> Solid(int side, uint32_t rgb) {
    auto icon = std::make_shared<IconImage>();
    icon->width = icon->height = side;
    icon->xHotspot = icon->yHotspot = side / 2;
    icon->argb.assign(static_cast<size_t>(side) * side, 0xFF000000u | rgb);
    return icon;
}

constexpr uint32_t kPointer = 0xFF0000u, kHighlight = 0x00FF00u;

// A 32 x 32 pointer with hotspot (16, 16) at (100, 100) over a black screen; a 64 x 64
// highlight and 48 x 48 click icons.
class MouseEffects : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = g_mouse;
        g_mouse = MouseSettings();
        display_.monitors = {{0, 0, 1920, 1080}};
        display_.brightFrom = 1 << 20;
        display_.ShowPointer(100, 100, 32, 16, 0xFF000000u | kPointer);
        for (int i = 0; i < kClickFrames; ++i) {
            icons_.left[i] = Solid(48, 0x10 + i);
            icons_.right[i] = Solid(48, 0x20 + i);
        }
        icons_.highlight = Solid(64, kHighlight);
        SetEffectIcons(icons_);
    }
    void TearDown() override {
        SetEffectIcons(EffectIcons());
        g_mouse = saved_;
    }

    // One capture's pointer drawing into a black 200 x 200 bitmap; colours without alpha.
    std::vector<uint32_t> Capture(PointerPlacement* place = nullptr) {
        PointerPlacement own;
        place = place ? place : &own;
        PreparePointerEffects(place);
        std::vector<uint32_t> b(200 * 200, 0);
        DrawPointerEffects(*place, reinterpret_cast<uint8_t*>(b.data()), 200, 200, 200 * 4);
        for (uint32_t& v : b)
            v &= 0xFFFFFF;
        return b;
    }
    static uint32_t At(const std::vector<uint32_t>& b, int x, int y) { return b[y * 200 + x]; }

    MouseSettings saved_;
    FakeDisplay display_;
    EffectIcons icons_;
};

TEST_F(MouseEffects, PointerAt150PercentKeepsItsHotspotInPlace) {
    g_mouse.m_mouseShow = 1;
    g_mouse.m_mouseSize = 150;
    PointerPlacement place;
    const std::vector<uint32_t> b = Capture(&place);
    EXPECT_EQ(48, place.drawW);
    EXPECT_EQ(48, place.drawH);
    EXPECT_EQ(100 - 24, place.px);
    EXPECT_EQ(100 - 24, place.py);
    // Drawn over 76..123 in both directions, nothing outside.
    EXPECT_EQ(kPointer, At(b, 76, 76));
    EXPECT_EQ(kPointer, At(b, 123, 123));
    EXPECT_EQ(0u, At(b, 75, 76));
    EXPECT_EQ(0u, At(b, 124, 123));
    EXPECT_EQ(0u, At(b, 123, 124));
    // Size 0: drawn at its own size at the plain position.
    g_mouse.m_mouseSize = 0;
    PreparePointerEffects(&place);
    EXPECT_EQ(0, place.drawW);
    EXPECT_EQ(100, place.px);
}

TEST_F(MouseEffects, HighlightIsCentredAndThePointerDrawnOverIt) {
    g_mouse.m_mouseShow = 1;
    g_mouse.m_mouseSize = 100;
    g_mouse.m_lightShow = 1;
    const std::vector<uint32_t> b = Capture();
    // 64 x 64 with hotspot (32, 32) around (100, 100): 68..131; the pointer on 84..115.
    EXPECT_EQ(kHighlight, At(b, 68, 68));
    EXPECT_EQ(kHighlight, At(b, 131, 131));
    EXPECT_EQ(0u, At(b, 67, 68));
    EXPECT_EQ(0u, At(b, 132, 131));
    EXPECT_EQ(kPointer, At(b, 84, 84));
    EXPECT_EQ(kHighlight, At(b, 83, 84));
}

TEST_F(MouseEffects, EffectsAreDrawnWhenThePointerIsHidden) {
    g_mouse.m_lightShow = 1;
    EXPECT_EQ(kHighlight, At(Capture(), 100, 100));  // show mode 0
    display_.pointer.visible = false;                // a pointer the client has hidden
    g_mouse.m_mouseShow = 1;
    EXPECT_EQ(kHighlight, At(Capture(), 100, 100));
}

TEST_F(MouseEffects, PointerIsBlendedWithAlphaScaledAndClipped) {
    std::vector<uint8_t> bgra(16 * 16 * 4, 200);
    PointerPlacement place;
    place.pointer = display_.pointer;
    place.pointer.width = place.pointer.height = 2;
    place.pointer.argb.assign(4, 0x80808080u);  // half-transparent premultiplied white
    place.px = 14;                              // partly outside on the right
    place.py = 0;
    place.drawW = place.drawH = 4;
    DrawPointerEffects(place, bgra.data(), 16, 16, 16 * 4);
    EXPECT_EQ(std::vector<uint8_t>(16 * 16 * 4, 200), bgra) << "show mode 0 draws nothing";
    g_mouse.m_mouseShow = 1;
    DrawPointerEffects(place, bgra.data(), 16, 16, 16 * 4);
    // 0x80 + 200 x (255 - 128) / 255 = 128 + 100 = 228
    EXPECT_EQ(228, bgra[(0 * 16 + 14) * 4]);
    EXPECT_EQ(228, bgra[(3 * 16 + 15) * 4 + 2]);
    EXPECT_EQ(200, bgra[(4 * 16 + 15) * 4]);  // below the drawn 4 rows
    EXPECT_EQ(200, bgra[(0 * 16 + 13) * 4]);
}

TEST_F(MouseEffects, RegionIsCopiedOneToOneWithThePointerAndEffectTranslated) {
    const CaptureSettings saved = g_captureSettings;
    g_captureSettings.captureRect = {10, 20, 810, 620};
    g_captureSettings.regionFlag = true;
    g_mouse.m_mouseShow = 1;
    g_mouse.m_mouseSize = 100;
    g_mouse.m_lightShow = 1;
    display_.brightFrom = -1;  // the patterned screen
    display_.pointer.x = 110;
    display_.pointer.y = 220;
    CScreenCapturer capturer;
    CaptureBitmap bmp;
    ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp));
    g_captureSettings = saved;
    EXPECT_EQ(800, bmp.width);
    EXPECT_EQ(600, bmp.height);
    const auto at = [&](int x, int y) { return PixelAt(bmp.pixels.data(), bmp.Stride(), x, y); };
    const auto screen = [](int x, int y) { return FakeDisplay::ScreenPixel(10 + x, 20 + y); };
    EXPECT_EQ(screen(0, 0), at(0, 0));
    EXPECT_EQ(screen(799, 599), at(799, 599));
    // The pointer lands on (100, 200) of the bitmap (84..115 with its hotspot), the 64-pixel
    // highlight around it.
    EXPECT_EQ(kPointer, at(84, 184) & 0xFFFFFF);
    EXPECT_EQ(kHighlight, at(68, 168) & 0xFFFFFF);
    EXPECT_EQ(kHighlight, at(131, 231) & 0xFFFFFF);
    EXPECT_EQ(screen(67, 168), at(67, 168));
    EXPECT_EQ(screen(132, 231), at(132, 231));
}

TEST_F(MouseEffects, ClickAnimationRunsFromTheCounterAndStopsAtSix) {
    const EffectIcon none;
    const auto& left = icons_.left;
    const struct {
        int message, counter, lightShow;
        std::vector<EffectIcon> shown;  // one per capture
    } cases[] = {
        {kLeftButtonDown, 4, 0, {left[4], left[5], none, none}},
        {kRightButtonUp, 5, 0, {icons_.right[5], none}},
        {kLeftButtonDown, 4, 1, {left[4], left[5], icons_.highlight}},  // over the highlight
        {0x202, 0, 0, {none, none, none, none, none, none, none}},      // button up: nothing
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.message << " at " << c.counter);
        g_mouse.m_clickShow = 1;
        g_mouse.m_lightShow = c.lightShow;
        g_mouse.clickFrame = c.counter;
        CH264WindowRecorder::setMouseEvent(c.message);
        for (size_t i = 0; i < c.shown.size(); ++i) {
            PointerPlacement place;
            PreparePointerEffects(&place);
            EXPECT_EQ(c.shown[i], place.effect) << "capture " << i;
        }
    }
    // Click effects off: the counter still advances, nothing is shown.
    g_mouse.m_clickShow = 0;
    g_mouse.m_lightShow = 0;
    g_mouse.clickFrame = 2;
    CH264WindowRecorder::setMouseEvent(kLeftButtonDown);
    EXPECT_EQ(nullptr, ChooseEffectIcon());
    EXPECT_EQ(3, g_mouse.clickFrame);
}

TEST_F(MouseEffects, ShippedIconsLoadForTheEffectsSwitchedOn) {
    const int cases[][2] = {{1, 1}, {1, 0}, {0, 1}};  // click, highlight
    for (const auto& c : cases) {
        g_mouse.m_clickShow = c[0];
        g_mouse.m_lightShow = c[1];
        LoadEffectIcons(VISTREC_ICON_DIR);
        for (int step = 0; step < kClickFrames; ++step) {
            g_mouse.clickFrame = step;
            CH264WindowRecorder::setMouseEvent(step % 2 ? kLeftButtonDown : kRightButtonDown);
            const EffectIcon e = ChooseEffectIcon();
            ASSERT_TRUE(e) << step;
            EXPECT_EQ(c[0] ? 48 : 64, e->width);
            EXPECT_EQ(c[0] ? 24 : 32, e->xHotspot);
        }
    }
    LoadEffectIcons(std::string(VISTREC_ICON_DIR) + "missing/");  // logged, not fatal
    EXPECT_EQ(nullptr, ChooseEffectIcon());
}

}  // namespace
