// Frames written through the recorder from a fake display whose grabber hands out buffers of
// exactly the captured size: no conversion may read outside the captured picture, whatever the
// scale and however the capture rectangle changes during a recording (AddressSanitizer tells).
#include <gtest/gtest.h>

#include <cmath>

#include "FakeDisplay.h"
#include "capture/CaptureSettings.h"
#include "capture/MouseEffects.h"
#include "common/TempDir.h"
#include "src/H264WindowRecorder.h"

namespace {

class TestRecorder : public CH264WindowRecorder {
  public:
    TestRecorder() : CH264WindowRecorder(nullptr) { setPreset("ultrafast"); }
    int WriteFrame(int64_t elapsedMs) {
        return write_video_frame(m_pFormatCtx, m_pVideoStream, elapsedMs);
    }
};

class RecorderFrameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_captureSettings = CaptureSettings();
        g_mouse = MouseSettings();
        g_previousMonitorCount = 0;
        display.monitors = {{0, 0, 640, 480}};
    }
    FakeDisplay display;
    ScopedFakeDisplay scoped{&display};
    vistrec::test::TempDir dir;
};

TEST_F(RecorderFrameTest, ConversionStaysInsideTheCapturedPicture) {
    const struct {
        double scale;
        RECT first, then;  // capture rectangle at the first frame and from the second on
    } cases[] = {
        {1.5, {0, 0, 320, 240}, {0, 0, 320, 240}},   // a scale above 1
        {1.0, {0, 0, 320, 240}, {0, 0, 160, 120}},   // the rectangle shrinks while recording
        {0.75, {0, 0, 160, 120}, {0, 0, 320, 240}},  // and grows
        {2.0, {8, 8, 168, 128}, {0, 0, 96, 64}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(n);
        TestRecorder rec;
        rec.setCaptureRect(true, &c.first);
        rec.setScale(c.scale);
        rec.setFileName(dir.File("frames" + std::to_string(n++) + ".mp4").c_str());
        ASSERT_EQ(0, rec.SetUpVideoOutput());
        ASSERT_EQ(0, rec.OpenOutputFile());
        EXPECT_GE(rec.WriteFrame(0), -1);
        rec.setCaptureRect(true, &c.then);
        EXPECT_GE(rec.WriteFrame(50), -1);
        EXPECT_GE(rec.WriteFrame(100), -1);
    }
}

TEST(Scale, NonsenseIsClampedOrIgnored) {
    const struct {
        double requested, kept;
    } cases[] = {
        {0.5, 0.5},  {1.0, 1.0},   {1.5, 1.0},  {INFINITY, 1.0},
        {0.0, 0.75}, {-0.5, 0.75}, {NAN, 0.75}, {-INFINITY, 0.75},
    };
    for (const auto& c : cases) {
        CH264WindowRecorder rec(nullptr);
        rec.setScale(c.requested);
        EXPECT_EQ(c.kept, rec.m_scale) << c.requested;
    }
}

}  // namespace
