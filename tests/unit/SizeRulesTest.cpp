// Encode sizes, caps, quality table and letterboxing on fake monitor layouts.
#include <gtest/gtest.h>

#include <tuple>

#include "capture/CaptureSettings.h"
#include "FakeDisplay.h"
#include "src/H264WindowRecorder.h"
#include "capture/SizeRules.h"

namespace {

class SizeRulesTest : public ::testing::Test {
  protected:
    void SetUp() override { g_captureSettings = CaptureSettings(); }
    FakeDisplay display;
    ScopedFakeDisplay scoped{&display};
};

TEST_F(SizeRulesTest, CaptureRectRoundsAndCapsTheOutput) {
    display.monitors = {{0, 0, 1366, 768}};
    CH264WindowRecorder rec(nullptr);

    RECT r = {0, 0, 1366, 768};
    EXPECT_EQ(2095104, rec.setCaptureRect(true, &r));
    EXPECT_EQ(1364, g_captureSettings.captureRect.right);
    EXPECT_EQ(1364, rec.m_outWidth);
    EXPECT_EQ(768, rec.m_outHeight);
    EXPECT_TRUE(g_captureSettings.regionFlag);

    // Without a rectangle the display's own rectangle is kept unrounded; the output is rounded.
    rec.setCaptureRect(false, nullptr);
    EXPECT_EQ(1366, g_captureSettings.captureRect.right);
    EXPECT_EQ(1364, rec.m_outWidth);
    EXPECT_FALSE(g_captureSettings.regionFlag);

    RECT uhd = {0, 0, 3840, 2160};
    rec.setCaptureRect(false, &uhd);
    EXPECT_EQ(1920, rec.m_outWidth);
    EXPECT_EQ(1080, rec.m_outHeight);
}

TEST_F(SizeRulesTest, NoDisplayFallsBackTo200Square) {
    CH264WindowRecorder rec(nullptr);
    EXPECT_EQ(200 * 200 * 2, rec.setCaptureRect(false, nullptr));
    EXPECT_EQ(200, g_captureSettings.captureRect.right);
    EXPECT_EQ(200, g_captureSettings.captureRect.bottom);
}

TEST_F(SizeRulesTest, DisplayQualityTable) {
    display.monitors = {{0, 0, 1366, 768}};
    CH264WindowRecorder rec(nullptr);
    rec.setCaptureRect(false, nullptr);
    rec.setQuality(0);
    rec.setDisplay(1);
    EXPECT_EQ(1280, rec.m_outWidth);  // 1366 / (768 / 720.0) = 1280.6, truncated
    EXPECT_EQ(720, rec.m_outHeight);
    EXPECT_EQ(10, rec.m_frameRate);
    EXPECT_EQ(1536000, rec.m_bitRate);

    display.monitors = {{0, 0, 2560, 1440}};
    rec.setCaptureRect(false, nullptr);
    rec.setQuality(2);
    rec.setDisplay(1);
    EXPECT_EQ(960, rec.m_outWidth);
    EXPECT_EQ(540, rec.m_outHeight);
    EXPECT_EQ(10, rec.m_frameRate);
    EXPECT_EQ(518400, rec.m_bitRate);

    // Level 1 caps at 1080 only and sets 20 fps; an unknown level changes neither.
    rec.setQuality(1);
    rec.setDisplay(1);
    EXPECT_EQ(1920, rec.m_outWidth);
    EXPECT_EQ(1080, rec.m_outHeight);
    EXPECT_EQ(20, rec.m_frameRate);
    EXPECT_EQ(1920 * 1080 * 3, rec.m_bitRate);
    rec.m_frameRate = 7;
    rec.setQuality(5);
    rec.setDisplay(1);
    EXPECT_EQ(7, rec.m_frameRate);
    EXPECT_EQ(1920 * 1080 * 3, rec.m_bitRate);
    EXPECT_EQ(nullptr, sizerules::CrfForQuality(5));
    EXPECT_STREQ("23", sizerules::CrfForQuality(1));
}

TEST_F(SizeRulesTest, DisplayNumberOutOfRangeSelectsTheFirstMonitor) {
    display.monitors = {{0, 0, 1280, 720}, {1280, 0, 3200, 1080}};
    CH264WindowRecorder rec(nullptr);
    rec.setCaptureRect(false, nullptr);
    rec.setQuality(9);
    for (int number : {0, 3, -1}) {
        rec.setDisplay(number);
        EXPECT_EQ(1280, rec.m_outWidth) << number;
        EXPECT_EQ(720, rec.m_outHeight) << number;
    }
    rec.setDisplay(2);
    EXPECT_EQ(1920, rec.m_outWidth);
    EXPECT_EQ(1080, rec.m_outHeight);
    EXPECT_EQ(2, g_captureSettings.displayNumber);
}

TEST_F(SizeRulesTest, RecordSizeFollowsTheScale) {
    display.monitors = {{0, 0, 1920, 1080}};
    CH264WindowRecorder rec(nullptr);
    rec.setCaptureRect(false, nullptr);
    EXPECT_EQ(1440, rec.record_width());  // default scale 0.75
    EXPECT_EQ(808, rec.record_height());  // 810 rounded down to a multiple of 4
    rec.setScale(1.0);
    EXPECT_EQ(1920, rec.record_width());
    rec.m_outWidth = 0;
    rec.m_outHeight = 0;
    EXPECT_EQ(1920, rec.encode_width());  // no output size: the record size
    EXPECT_EQ(1080, rec.encode_height());
}

TEST(FitMonitor, LetterboxPlacement) {
    const struct {
        int srcW, srcH;
        sizerules::Placement expected;
    } cases[] = {
        {1920, 1080, {0, 0, 1920, 1080, false}},  {1280, 1024, {285, 0, 1350, 1080, false}},
        {1920, 1200, {96, 0, 1728, 1080, false}}, {1364, 768, {1, 0, 1918, 1080, false}},
        {2560, 1080, {0, 135, 1920, 810, true}},
    };
    for (const auto& c : cases) {
        const sizerules::Placement p = sizerules::FitMonitor(c.srcW, c.srcH, 1920, 1080);
        const sizerules::Placement& e = c.expected;
        EXPECT_EQ(std::make_tuple(e.x, e.y, e.width, e.height, e.includesLayered),
                  std::make_tuple(p.x, p.y, p.width, p.height, p.includesLayered))
            << c.srcW << "x" << c.srcH;
    }
}

}  // namespace
