// Monitor choice, the target window, region and letterboxed captures, and the vanished
// monitor, on a fake display.
#include <gtest/gtest.h>

#include <algorithm>

#include "FakeDisplay.h"
#include "capture/CaptureScreen.h"
#include "capture/CaptureSettings.h"
#include "capture/FrameComposer.h"
#include "capture/MouseEffects.h"

namespace {

uint32_t PixelAt(const CaptureBitmap& b, int x, int y) {
    uint32_t v;
    memcpy(&v, b.pixels.data() + static_cast<size_t>(y) * b.Stride() + x * 4, 4);
    return v;
}

class CaptureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_captureSettings = CaptureSettings();
        g_mouse = MouseSettings();
        g_previousMonitorCount = 0;
    }
    FakeDisplay display;
    ScopedFakeDisplay scoped{&display};
};

TEST_F(CaptureTest, TargetWindowSearchStartsAtTheChosenMonitor) {
    const std::vector<RECT> two = {{0, 0, 1920, 1080}, {1920, 0, 3840, 1080}};
    display.monitors = two;
    // Follow-target off: the chosen monitor whatever the window.
    display.hasTarget = true;
    display.target = {2000, 100, 2400, 500};
    EXPECT_EQ(0, FindTargetMonitor(two, 0));
    g_captureSettings.followTarget = true;
    EXPECT_EQ(1, FindTargetMonitor(two, 0));
    // Centred on monitor 1 while the scan starts at monitor 2: nothing found, the first one.
    display.target = {100, 100, 500, 500};
    EXPECT_EQ(0, FindTargetMonitor(two, 1));
    // A centre exactly on the right edge is outside: right and bottom edges are exclusive.
    display.target = {1900, 0, 1940, 100};
    EXPECT_EQ(1, FindTargetMonitor(two, 0));
    // A start beyond the list with a target window: the first monitor.
    EXPECT_EQ(0, FindTargetMonitor(two, 5));
    // No target window: the chosen monitor, whatever it is.
    display.hasTarget = false;
    EXPECT_EQ(1, FindTargetMonitor(two, 1));
    EXPECT_EQ(5, FindTargetMonitor(two, 5));
}

// A 4 x 4 opaque white pointer shown at screen (x, y).
void ShowPointer(FakeDisplay* display, int x, int y) {
    g_mouse.m_mouseShow = 1;
    g_mouse.m_mouseSize = 100;
    display->pointer.visible = true;
    display->pointer.x = x;
    display->pointer.y = y;
    display->pointer.width = display->pointer.height = 4;
    display->pointer.argb.assign(16, 0xFFFFFFFFu);
}

TEST_F(CaptureTest, RegionIsCopiedOneToOneWithThePointerTranslated) {
    display.monitors = {{0, 0, 1920, 1080}};
    g_captureSettings.captureRect = {10, 20, 810, 620};
    g_captureSettings.regionFlag = true;
    ShowPointer(&display, 110, 220);

    CScreenCapturer capturer;
    CaptureBitmap bmp;
    ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp));
    EXPECT_EQ(800, bmp.width);
    EXPECT_EQ(600, bmp.height);
    EXPECT_EQ(FakeDisplay::ScreenPixel(10, 20), PixelAt(bmp, 0, 0));
    EXPECT_EQ(FakeDisplay::ScreenPixel(809, 619), PixelAt(bmp, 799, 599));
    // Pointer at screen (110, 220) lands at bitmap (100, 200).
    EXPECT_EQ(0xFFFFFFFFu, PixelAt(bmp, 100, 200));
    EXPECT_EQ(0xFFFFFFFFu, PixelAt(bmp, 103, 203));
    EXPECT_EQ(FakeDisplay::ScreenPixel(10 + 104, 20 + 200), PixelAt(bmp, 104, 200));
    EXPECT_EQ(FakeDisplay::ScreenPixel(10 + 99, 20 + 200), PixelAt(bmp, 99, 200));
}

TEST_F(CaptureTest, WholeMonitorIsLetterboxedIntoTheCaptureRectangle) {
    display.monitors = {{0, 0, 1280, 1024}};
    g_captureSettings.captureRect = {0, 0, 1920, 1080};
    CScreenCapturer capturer;
    CaptureBitmap bmp;
    ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp));
    ASSERT_EQ(1u, display.grabs.size());
    EXPECT_EQ(1280, display.grabs[0].right);
    EXPECT_EQ(1024, display.grabs[0].bottom);
    EXPECT_EQ(1920, bmp.width);
    // Bands left of x = 285 and right of 285 + 1350 are black; the picture is opaque.
    EXPECT_EQ(0u, PixelAt(bmp, 284, 500));
    EXPECT_EQ(0u, PixelAt(bmp, 285 + 1350, 500));
    EXPECT_EQ(0xFFu, PixelAt(bmp, 285, 500) >> 24);
    EXPECT_EQ(0xFFu, PixelAt(bmp, 285 + 1349, 500) >> 24);
}

TEST_F(CaptureTest, SecondMonitorCapturedAndItsLossReportedUntilItReturns) {
    display.monitors = {{0, 0, 1920, 1080}, {1920, 0, 3840, 1080}};
    g_captureSettings.captureRect = {0, 0, 1920, 1080};
    g_captureSettings.displayNumber = 2;
    CScreenCapturer capturer;
    CaptureBitmap bmp;
    ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp));
    EXPECT_EQ(1920, display.grabs.back().left);
    EXPECT_EQ(FakeDisplay::ScreenPixel(1920, 0), PixelAt(bmp, 0, 0));

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
    display.monitors = {{0, 0, 640, 480}};
    g_captureSettings.captureRect = {0, 0, 64, 48};
    g_captureSettings.regionFlag = true;
    ShowPointer(&display, 10, 10);
    CScreenCapturer capturer;
    CaptureBitmap bmp;
    bool grabbed = false;
    ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp, &grabbed));
    EXPECT_TRUE(grabbed);
    const std::vector<uint8_t> first = bmp.pixels;

    // The pointer moves while the screen cannot be read: the bitmap stays the last capture.
    display.pointer.x = 40;
    display.grabFails = true;
    ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp, &grabbed));
    EXPECT_FALSE(grabbed);
    EXPECT_NE(0xFFFFFFFFu, PixelAt(bmp, 40, 10));
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

TEST_F(CaptureTest, AGrabberWhoseServerWentAwayIsReplaced) {
    display.monitors = {{0, 0, 640, 480}};
    g_captureSettings.captureRect = {0, 0, 64, 48};
    g_captureSettings.regionFlag = true;
    CScreenCapturer capturer;
    CaptureBitmap bmp;
    bool grabbed = false;
    ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp, &grabbed));
    ASSERT_TRUE(grabbed);
    EXPECT_EQ(1, display.grabbersMade);

    // The server goes away: the grab fails, so does a new grabber, and then the next try waits.
    display.serverDown = true;
    capturer.CaptureScreen(nullptr, &bmp, &grabbed);
    EXPECT_FALSE(grabbed);
    capturer.CaptureScreen(nullptr, &bmp, &grabbed);
    EXPECT_FALSE(grabbed);
    display.serverDown = false;
    capturer.CaptureScreen(nullptr, &bmp, &grabbed);
    EXPECT_FALSE(grabbed) << "retried before its delay";
    EXPECT_EQ(1, display.grabbersMade);

    vistrec::platform::SleepMs(CRetryBackoff::kFirstMs + 50);
    capturer.CaptureScreen(nullptr, &bmp, &grabbed);
    EXPECT_TRUE(grabbed);
    EXPECT_EQ(2, display.grabbersMade);
    EXPECT_EQ(FakeDisplay::ScreenPixel(5, 5), PixelAt(bmp, 5, 5));
}

TEST(RetryBackoff, DoublesUpToItsCeilingAndStartsOverOnSuccess) {
    CRetryBackoff backoff;
    EXPECT_TRUE(backoff.Due(0));
    const struct {
        int64_t failAt, nextDue;
    } steps[] = {{1000, 1250}, {1250, 1750}, {1750, 2750},
                 {2750, 4750}, {4750, 8750}, {8750, 12750}};
    for (const auto& s : steps) {
        backoff.Failed(s.failAt);
        EXPECT_FALSE(backoff.Due(s.nextDue - 1)) << s.failAt;
        EXPECT_TRUE(backoff.Due(s.nextDue)) << s.failAt;
    }
    backoff.Succeeded();
    EXPECT_TRUE(backoff.Due(0));
    backoff.Failed(100);
    EXPECT_TRUE(backoff.Due(350));
}

}  // namespace
