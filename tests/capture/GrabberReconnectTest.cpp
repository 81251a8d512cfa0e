// A capturer whose X server restarts replaces its grabber, and takes it for no lost monitor.
#include <gtest/gtest.h>

#include "capture/CaptureScreen.h"
#include "capture/CaptureSettings.h"
#include "common/XvfbFixture.h"
#include "platform/Platform.h"

namespace {

// Captures until a grab reads new pixels or `timeoutMs` passes; whether one did.
bool CaptureWithin(CScreenCapturer* capturer, CaptureBitmap* bmp, int timeoutMs) {
    const int64_t end = vistrec::platform::GetMsTime() + timeoutMs;
    bool grabbed = false;
    while (capturer->CaptureScreen(nullptr, bmp, &grabbed), !grabbed) {
        if (vistrec::platform::GetMsTime() >= end)
            return false;
        vistrec::platform::SleepMs(50);  // a frame interval
    }
    return true;
}

TEST(GrabberReconnect, CapturingResumesOnARestartedServer) {
    vistrec::test::XvfbServer::Options options;
    options.screen = "320x240x24";
    vistrec::test::XvfbServer first(options);
    std::string error;
    ASSERT_TRUE(first.Start(&error)) << error;
    first.ExportDisplay();
    g_captureSettings = CaptureSettings();
    g_captureSettings.captureRect = {0, 0, 64, 48};
    g_captureSettings.regionFlag = true, g_captureSettings.displayNumber = 1;
    CScreenCapturer capturer;
    CaptureBitmap bmp;
    ASSERT_TRUE(CaptureWithin(&capturer, &bmp, 2000));
    // The server dies mid-recording: captures read nothing, and do not end the process.
    options.display = std::stoi(first.name().substr(1));
    first.Stop();
    EXPECT_FALSE(CaptureWithin(&capturer, &bmp, 300));
    bool grabbed = true;
    EXPECT_TRUE(capturer.CaptureScreen(nullptr, &bmp, &grabbed)) << "taken for a lost monitor";
    EXPECT_FALSE(grabbed);
    vistrec::test::XvfbServer second(options);
    second.ExportDisplay();
    ASSERT_TRUE(second.Start(&error)) << error;
    EXPECT_TRUE(CaptureWithin(&capturer, &bmp, 10000));
}

}  // namespace
