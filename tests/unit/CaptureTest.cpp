// Monitor choice, the target window, letterboxed captures, the vanished monitor, failed grabs
// and a lost grabber, on a fake display.
#include <gtest/gtest.h>

#include <algorithm>

#include "FakeDisplay.h"
#include "capture/CaptureScreen.h"
#include "capture/CaptureSettings.h"
#include "capture/FrameComposer.h"
#include "capture/MouseEffects.h"

namespace {

uint32_t At(const CaptureBitmap& b, int x, int y) {
    return PixelAt(b.pixels.data(), b.Stride(), x, y);
}

class CaptureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_captureSettings = CaptureSettings();
        g_mouse = MouseSettings();
        g_previousMonitorCount = 0;
    }
    // A 64 x 48 region of a 640 x 480 screen.
    void SmallRegion() {
        display.monitors = {{0, 0, 640, 480}};
        g_captureSettings.captureRect = {0, 0, 64, 48};
        g_captureSettings.regionFlag = true;
    }
    FakeDisplay display;
    CScreenCapturer capturer;
    CaptureBitmap bmp;
    bool grabbed = false;
};

TEST_F(CaptureTest, TargetWindowSearchStartsAtTheChosenMonitor) {
    const std::vector<RECT> two = {{0, 0, 1920, 1080}, {1920, 0, 3840, 1080}};
    display.monitors = two;
    const struct {
        bool hasTarget, follow;
        RECT target;
        int start, expected;
    } rows[] = {
        {true, false, {2000, 100, 2400, 500}, 0, 0},  // follow-target off: the chosen monitor
        {true, true, {2000, 100, 2400, 500}, 0, 1},
        {true, true, {100, 100, 500, 500}, 1, 0},  // not found from the start: the first one
        {true, true, {1900, 0, 1940, 100}, 0, 1},  // right and bottom edges are exclusive
        {true, true, {1900, 0, 1940, 100}, 5, 0},  // a start beyond the list
        {false, true, {}, 1, 1},                   // no target window: the chosen monitor
        {false, true, {}, 5, 5},
    };
    for (const auto& r : rows) {
        display.hasTarget = r.hasTarget;
        display.target = r.target;
        g_captureSettings.followTarget = r.follow;
        EXPECT_EQ(r.expected, FindTargetMonitor(two, r.start)) << r.target.left << " " << r.start;
    }
}

TEST_F(CaptureTest, WholeMonitorIsLetterboxedIntoTheCaptureRectangle) {
    display.monitors = {{0, 0, 1280, 1024}};
    g_captureSettings.captureRect = {0, 0, 1920, 1080};
    ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp));
    ASSERT_EQ(1u, display.grabs.size());
    EXPECT_EQ(1280, display.grabs[0].right);
    EXPECT_EQ(1024, display.grabs[0].bottom);
    EXPECT_EQ(1920, bmp.width);
    // Bands left of x = 285 and right of 285 + 1350 are black; the picture is opaque.
    EXPECT_EQ(0u, At(bmp, 284, 500));
    EXPECT_EQ(0u, At(bmp, 285 + 1350, 500));
    EXPECT_EQ(0xFFu, At(bmp, 285, 500) >> 24);
    EXPECT_EQ(0xFFu, At(bmp, 285 + 1349, 500) >> 24);
}

TEST_F(CaptureTest, SecondMonitorCapturedAndItsLossReportedUntilItReturns) {
    display.monitors = {{0, 0, 1920, 1080}, {1920, 0, 3840, 1080}};
    g_captureSettings.captureRect = {0, 0, 1920, 1080};
    g_captureSettings.displayNumber = 2;
    ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp));
    EXPECT_EQ(FakeDisplay::ScreenPixel(1920, 0), At(bmp, 0, 0));

    display.monitors.pop_back();
    EXPECT_FALSE(capturer.CaptureScreen(nullptr, &bmp));
    EXPECT_FALSE(capturer.CaptureScreen(nullptr, &bmp));  // repeated until the condition clears
    g_captureSettings.displayNumber = 1;
    EXPECT_TRUE(capturer.CaptureScreen(nullptr, &bmp));

    // Display number 0: losing a monitor is not a loss of the chosen one.
    display.monitors.push_back({1920, 0, 3840, 1080});
    g_captureSettings.displayNumber = 0;
    ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp));
    display.monitors.pop_back();
    EXPECT_TRUE(capturer.CaptureScreen(nullptr, &bmp));
}

TEST_F(CaptureTest, AFailedGrabDrawsNoSecondPointerAndKeepsThePicture) {
    SmallRegion();
    g_mouse.m_mouseShow = 1;
    g_mouse.m_mouseSize = 100;
    display.pointer = {};
    display.pointer.visible = true;
    display.pointer.x = display.pointer.y = 10;
    display.pointer.width = display.pointer.height = 4;
    display.pointer.argb.assign(16, 0xFFFFFFFFu);
    ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp, &grabbed));
    EXPECT_TRUE(grabbed);
    const std::vector<uint8_t> first = bmp.pixels;

    // The pointer moves while the screen cannot be read: the bitmap stays the last capture.
    display.pointer.x = 40;
    display.grabFails = true;
    ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp, &grabbed));
    EXPECT_FALSE(grabbed);
    EXPECT_TRUE(bmp.pixels == first);

    // So does the encoder's picture.
    CFrameComposer composer;
    AVFramePtr picture(av_frame_alloc());
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = 64;
    picture->height = 48;
    ASSERT_EQ(0, av_frame_get_buffer(picture.get(), 0));
    display.grabFails = false;
    ASSERT_EQ(CFrameComposer::Result::kNewFrame, composer.Compose(nullptr, 1.0, picture.get()));
    const std::vector<uint8_t> luma(picture->data[0], picture->data[0] + 48 * picture->linesize[0]);
    display.grabFails = true;
    display.pointer.x = 20;
    EXPECT_EQ(CFrameComposer::Result::kPreviousFrame,
              composer.Compose(nullptr, 1.0, picture.get()));
    EXPECT_TRUE(std::equal(luma.begin(), luma.end(), picture->data[0]));
}

TEST_F(CaptureTest, AGrabberWhoseServerWentAwayIsReplacedAfterItsDelay) {
    SmallRegion();
    ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp, &grabbed) && grabbed);
    // The server goes away: the grab fails, so does a new grabber, and then the next try waits.
    display.serverDown = true;
    for (int i = 0; i < 3; ++i) {
        if (i == 2)
            display.serverDown = false;
        capturer.CaptureScreen(nullptr, &bmp, &grabbed);
        EXPECT_FALSE(grabbed) << "try " << i;
    }
    EXPECT_EQ(1, display.grabbersMade);
    vistrec::platform::SleepMs(CRetryBackoff::kFirstMs + 50);
    capturer.CaptureScreen(nullptr, &bmp, &grabbed);
    EXPECT_TRUE(grabbed);
    EXPECT_EQ(2, display.grabbersMade);
    EXPECT_EQ(FakeDisplay::ScreenPixel(5, 5), At(bmp, 5, 5));
}

TEST(RetryBackoff, DoublesUpToItsCeilingAndStartsOverOnSuccess) {
    CRetryBackoff backoff;
    EXPECT_TRUE(backoff.Due(0));
    const int64_t steps[][2] = {{1000, 1250}, {1250, 1750}, {1750, 2750},
                                {2750, 4750}, {4750, 8750}, {8750, 12750}};
    for (const auto& s : steps) {
        backoff.Failed(s[0]);
        EXPECT_FALSE(backoff.Due(s[1] - 1)) << s[0];
        EXPECT_TRUE(backoff.Due(s[1])) << s[0];
    }
    backoff.Succeeded();
    EXPECT_TRUE(backoff.Due(0));
    backoff.Failed(100);
    EXPECT_TRUE(backoff.Due(350));
}

}  // namespace
