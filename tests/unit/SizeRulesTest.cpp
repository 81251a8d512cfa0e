// Encode sizes, caps, quality table and letterboxing on fake monitor layouts.
#include <gtest/gtest.h>

#include <tuple>

#include "FakeDisplay.h"
#include "capture/CaptureSettings.h"
#include "capture/SizeRules.h"
#include "src/H264WindowRecorder.h"

namespace {

class SizeRulesTest : public ::testing::Test {
  protected:
    void SetUp() override { g_captureSettings = CaptureSettings(); }
    FakeDisplay display;
};

TEST_F(SizeRulesTest, CaptureRectRoundsAndCapsTheOutput) {
    CH264WindowRecorder none(nullptr);  // no display: a 200-pixel square
    EXPECT_EQ(200 * 200 * 2, none.setCaptureRect(false, nullptr));
    EXPECT_EQ(200, g_captureSettings.captureRect.bottom);

    display.monitors = {{0, 0, 1366, 768}};
    CH264WindowRecorder rec(nullptr);
    RECT r = {0, 0, 1366, 768};
    EXPECT_EQ(2095104, rec.setCaptureRect(true, &r));
    EXPECT_EQ(1364, g_captureSettings.captureRect.right);
    EXPECT_EQ(std::make_pair(1364, 768), std::make_pair(rec.m_outWidth, rec.m_outHeight));
    EXPECT_TRUE(g_captureSettings.regionFlag);
    // Without a rectangle the display's own rectangle is kept unrounded; the output is rounded.
    rec.setCaptureRect(false, nullptr);
    EXPECT_EQ(1366, g_captureSettings.captureRect.right);
    EXPECT_EQ(1364, rec.m_outWidth);
    EXPECT_FALSE(g_captureSettings.regionFlag);
    RECT uhd = {0, 0, 3840, 2160};
    rec.setCaptureRect(false, &uhd);
    EXPECT_EQ(std::make_pair(1920, 1080), std::make_pair(rec.m_outWidth, rec.m_outHeight));
}

TEST_F(SizeRulesTest, DisplayQualityTable) {
    const struct {
        int monitorW, monitorH, quality, display;
        int outW, outH, fps, bitRate;
    } rows[] = {
        {1366, 768, 0, 1, 1280, 720, 10, 1536000},  // 1366 / (768 / 720.0) = 1280.6, truncated
        {2560, 1440, 2, 1, 960, 540, 10, 518400},
        {2560, 1440, 1, 1, 1920, 1080, 20, 1920 * 1080 * 3},  // level 1 caps at 1080 only
        // An unknown level keeps the rate and the bit rate the capture rectangle gave.
        {2560, 1440, 5, 1, 1920, 1080, 7, 1920 * 1080 * 2},
        {1280, 720, 9, 0, 1280, 720, 7, 1280 * 720 * 2},  // display 0, 3, -1: the first monitor
        {1280, 720, 9, 3, 1280, 720, 7, 1280 * 720 * 2},
        {1280, 720, 9, -1, 1280, 720, 7, 1280 * 720 * 2},
        {1280, 720, 9, 2, 1920, 1080, 7, 1280 * 720 * 2},
    };
    CH264WindowRecorder rec(nullptr);
    rec.m_frameRate = 7;
    for (const auto& r : rows) {
        display.monitors = {{0, 0, r.monitorW, r.monitorH}};
        if (r.display != 1)
            display.monitors.push_back({1280, 0, 3200, 1080});
        rec.setCaptureRect(false, nullptr);
        rec.setQuality(r.quality);
        rec.setDisplay(r.display);
        EXPECT_EQ(std::make_tuple(r.outW, r.outH, r.fps, r.bitRate),
                  std::make_tuple(rec.m_outWidth, rec.m_outHeight, rec.m_frameRate, rec.m_bitRate))
            << r.monitorW << " quality " << r.quality << " display " << r.display;
        rec.m_frameRate = 7;
    }
    EXPECT_EQ(2, g_captureSettings.displayNumber);
    EXPECT_EQ(nullptr, sizerules::CrfForQuality(5));
    EXPECT_STREQ("23", sizerules::CrfForQuality(1));
}

TEST_F(SizeRulesTest, RecordSizeFollowsTheScale) {
    display.monitors = {{0, 0, 1920, 1080}};
    CH264WindowRecorder rec(nullptr);
    rec.setCaptureRect(false, nullptr);
    EXPECT_EQ(1440, rec.record_width());  // default scale 0.75
    EXPECT_EQ(808, rec.record_height());  // 810 rounded down to a multiple of 4
    rec.setScale(1.0);
    rec.m_outWidth = rec.m_outHeight = 0;
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
