// Mouse effect drawing rules: the effect chosen per capture, its size and place, the scaled
// pointer over it, and the shipped icon set.
#include <gtest/gtest.h>
#include <string.h>

#include "capture/CaptureScreen.h"
#include "capture/CaptureSettings.h"
#include "src/H264WindowRecorder.h"
#include "capture/MouseEffects.h"

using vistrec::platform::IconImage;
using vistrec::platform::PointerImage;

namespace {

// A black screen: the effects and the pointer are drawn only over a picture actually grabbed.
class BlackGrabber : public vistrec::platform::ScreenGrabber {
  public:
    bool Grab(HWND, int, int, int w, int h, vistrec::platform::ImageView* out) override {
        pixels_.assign(static_cast<size_t>(w) * h * 4, 0);
        *out = {pixels_.data(), w, h, w * 4};
        return true;
    }
    bool ConnectionLost() const override { return false; }

  private:
    std::vector<uint8_t> pixels_;
};

// A display server that only knows the pointer, over a black screen.
class PointerOnlyDisplay : public vistrec::platform::DisplayServer {
  public:
    PointerImage pointer;
    int MonitorCount() override { return 1; }
    std::vector<RECT> Monitors() override { return {RECT{0, 0, 1920, 1080}}; }
    bool DisplayDeviceRect(int, RECT*) override { return false; }
    bool FindTargetWindowRect(RECT*) override { return false; }
    void PointerNominalSize(const PointerImage& p, int* cx, int* cy) override {
        *cx = p.width;
        *cy = p.height;
    }
    bool GetPointer(PointerImage* out) override {
        *out = pointer;
        return true;
    }
    std::unique_ptr<vistrec::platform::ScreenGrabber> CreateGrabber() override {
        return std::make_unique<BlackGrabber>();
    }
};

std::shared_ptr<IconImage> Solid(int w, int h, uint32_t argb) {
    auto icon = std::make_shared<IconImage>();
    icon->width = w;
    icon->height = h;
    icon->xHotspot = w / 2;
    icon->yHotspot = h / 2;
    icon->argb.assign(static_cast<size_t>(w) * h, argb);
    return icon;
}

class MouseEffects : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = g_mouse;
        g_mouse = MouseSettings();
        display_.pointer.visible = true;
        display_.pointer.x = 100;
        display_.pointer.y = 100;
        display_.pointer.width = display_.pointer.height = 32;
        display_.pointer.xHotspot = display_.pointer.yHotspot = 16;
        display_.pointer.argb.assign(32 * 32, kPointer);
        vistrec::platform::SetDisplayForTesting(&display_);
        for (int i = 0; i < kClickFrames; ++i) {
            icons_.left[i] = Solid(48, 48, 0xFF000000u | (0x10 + i));
            icons_.right[i] = Solid(48, 48, 0xFF000000u | (0x20 + i));
        }
        icons_.highlight = Solid(64, 64, kHighlight);
        SetEffectIcons(icons_);
    }
    void TearDown() override {
        vistrec::platform::SetDisplayForTesting(nullptr);
        SetEffectIcons(EffectIcons());
        g_mouse = saved_;
    }

    // One capture's pointer drawing into a black 200 x 200 bitmap.
    std::vector<uint32_t> Capture() {
        PointerPlacement place;
        PreparePointerEffects(&place);
        std::vector<uint32_t> bitmap(200 * 200, 0);
        DrawPointerEffects(place, reinterpret_cast<uint8_t*>(bitmap.data()), 200, 200, 200 * 4);
        return bitmap;
    }
    static uint32_t At(const std::vector<uint32_t>& b, int x, int y) {
        return b[y * 200 + x] & 0xFFFFFF;
    }

    static constexpr uint32_t kPointer = 0xFFFF0000u, kHighlight = 0xFF00FF00u;
    MouseSettings saved_;
    PointerOnlyDisplay display_;
    EffectIcons icons_;
};

TEST_F(MouseEffects, PointerAt150PercentKeepsItsHotspotInPlace) {
    g_mouse.m_mouseShow = 1;
    g_mouse.m_mouseSize = 150;
    PointerPlacement place;
    PreparePointerEffects(&place);
    EXPECT_EQ(48, place.drawW);
    EXPECT_EQ(48, place.drawH);
    EXPECT_EQ(100 - 24, place.px);
    EXPECT_EQ(100 - 24, place.py);
    const std::vector<uint32_t> b = Capture();
    // Drawn over 76..123 in both directions, nothing outside.
    EXPECT_EQ(kPointer & 0xFFFFFF, At(b, 76, 76));
    EXPECT_EQ(kPointer & 0xFFFFFF, At(b, 123, 123));
    EXPECT_EQ(0u, At(b, 75, 76));
    EXPECT_EQ(0u, At(b, 124, 123));
    EXPECT_EQ(0u, At(b, 123, 124));
}

TEST_F(MouseEffects, HighlightIsCentredAndThePointerDrawnOverIt) {
    g_mouse.m_mouseShow = 1;
    g_mouse.m_mouseSize = 100;
    g_mouse.m_lightShow = 1;
    const std::vector<uint32_t> b = Capture();
    // 64 x 64 with hotspot (32, 32) around (100, 100): 68..131; the pointer on 84..115.
    EXPECT_EQ(kHighlight & 0xFFFFFF, At(b, 68, 68));
    EXPECT_EQ(kHighlight & 0xFFFFFF, At(b, 131, 131));
    EXPECT_EQ(0u, At(b, 67, 68));
    EXPECT_EQ(0u, At(b, 132, 131));
    EXPECT_EQ(kPointer & 0xFFFFFF, At(b, 84, 84));
    EXPECT_EQ(kHighlight & 0xFFFFFF, At(b, 83, 84));
}

TEST_F(MouseEffects, EffectsAreDrawnWhenThePointerIsHidden) {
    g_mouse.m_mouseShow = 0;
    g_mouse.m_lightShow = 1;
    const std::vector<uint32_t> b = Capture();
    EXPECT_EQ(kHighlight & 0xFFFFFF, At(b, 100, 100));
    display_.pointer.visible = false;  // a pointer the client has hidden
    g_mouse.m_mouseShow = 1;
    EXPECT_EQ(kHighlight & 0xFFFFFF, At(Capture(), 100, 100));
}

TEST_F(MouseEffects, RegionCaptureMovesTheEffectWithThePointer) {
    const CaptureSettings saved = g_captureSettings;
    g_captureSettings.captureRect = {10, 20, 810, 620};
    g_captureSettings.regionFlag = true;
    g_mouse.m_lightShow = 1;
    display_.pointer.x = 110;
    display_.pointer.y = 220;
    CScreenCapturer capturer;
    CaptureBitmap bmp;
    ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp));
    g_captureSettings = saved;
    auto at = [&](int x, int y) {
        uint32_t v;
        memcpy(&v, bmp.pixels.data() + static_cast<size_t>(y) * bmp.Stride() + x * 4, 4);
        return v & 0xFFFFFF;
    };
    // The pointer lands on (100, 200) of the bitmap; the 64-pixel highlight around it.
    EXPECT_EQ(kHighlight & 0xFFFFFF, at(68, 168));
    EXPECT_EQ(kHighlight & 0xFFFFFF, at(131, 231));
    EXPECT_EQ(0u, at(67, 168));
    EXPECT_EQ(0u, at(132, 231));
}

TEST_F(MouseEffects, ClickAnimationRunsFromTheCounterAndStopsAtSix) {
    struct Case {
        const char* name;
        int message, counter, lightShow;
        std::vector<EffectIcon> shown;  // one per capture
    };
    const EffectIcon none;
    const Case cases[] = {
        {"left from step 4", kLeftButtonDown, 4, 0, {icons_.left[4], icons_.left[5], none, none}},
        {"right button down",
         kRightButtonDown,
         0,
         0,
         {icons_.right[0], icons_.right[1], icons_.right[2], icons_.right[3], icons_.right[4],
          icons_.right[5], none}},
        {"right button up", kRightButtonUp, 5, 0, {icons_.right[5], none}},
        {"left, replacing the highlight",
         kLeftButtonDown,
         4,
         1,
         {icons_.left[4], icons_.left[5], icons_.highlight}},
        {"left button up starts nothing", 0x202, 0, 0, {none, none, none, none, none, none, none}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
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
    struct Case {
        int clickShow, lightShow;
        bool clicks, highlight;
    };
    const Case cases[] = {{1, 1, true, true}, {1, 0, true, false}, {0, 1, false, true}};
    for (const Case& c : cases) {
        g_mouse.m_clickShow = c.clickShow;
        g_mouse.m_lightShow = c.lightShow;
        LoadEffectIcons(VISTREC_ICON_DIR);
        for (int step = 0; step < kClickFrames; ++step) {
            g_mouse.clickFrame = step;
            CH264WindowRecorder::setMouseEvent(step % 2 ? kLeftButtonDown : kRightButtonDown);
            const EffectIcon e = ChooseEffectIcon();
            if (!c.clicks && !c.highlight) {
                EXPECT_FALSE(e);
                continue;
            }
            ASSERT_TRUE(e) << step;
            EXPECT_EQ(c.clicks ? 48 : 64, e->width);
            EXPECT_EQ(c.clicks ? 24 : 32, e->xHotspot);
        }
    }
    LoadEffectIcons(std::string(VISTREC_ICON_DIR) + "missing/");  // logged, not fatal
    EXPECT_EQ(nullptr, ChooseEffectIcon());
}

}  // namespace
