// Capture, size and conversion rules on a fake display; the capture -> encoder hand-off.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <set>
#include <tuple>
#include <vector>

#include "FakeDisplay.h"
#include "capture/CaptureScreen.h"
#include "capture/CaptureSettings.h"
#include "capture/FrameComposer.h"
#include "capture/MouseEffects.h"
#include "capture/PixelConvert.h"
#include "capture/SizeRules.h"
#include "src/H264WindowRecorder.h"
#include "src/VideoPipeline.h"

namespace {

struct Colour {
    uint8_t b, g, r;
    int y, u, v;  // BT.601, limited range
};
const Colour kColours[] = {{0, 0, 0, 16, 128, 128},     {255, 255, 255, 235, 128, 128},
                           {0, 0, 255, 81, 90, 240},    {0, 255, 0, 145, 54, 34},
                           {255, 0, 0, 41, 240, 110},   {128, 128, 128, 126, 128, 128},
                           {40, 160, 220, 157, 66, 163}};

AVFramePtr Picture(int w, int h, uint8_t fill) {
    AVFramePtr f = MakeZeroedPicture(AV_PIX_FMT_YUV420P, w, h);
    for (int p = 0; f && fill && p < AV_NUM_DATA_POINTERS && f->buf[p]; ++p)
        memset(f->buf[p]->data, fill, f->buf[p]->size);
    return f;
}

std::vector<uint8_t> Filled(int w, int h, const Colour& c) {
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
    for (size_t i = 0; i < px.size(); i += 4)
        px[i] = c.b, px[i + 1] = c.g, px[i + 2] = c.r, px[i + 3] = 255;
    return px;
}

// Whether pixel (x, y) of `f` holds the colour, within 2 in each of Y, U and V.
bool Holds(const AVFrame* f, int x, int y, const Colour& c) {
    const int got[3] = {f->data[0][y * f->linesize[0] + x],
                        f->data[1][y / 2 * f->linesize[1] + x / 2],
                        f->data[2][y / 2 * f->linesize[2] + x / 2]};
    return std::abs(got[0] - c.y) <= 2 && std::abs(got[1] - c.u) <= 2 &&
           std::abs(got[2] - c.v) <= 2;
}

TEST(PixelConvert, ColoursAtOneToOneAndScaledFromAnyShareSize) {
    // Share of the image -> picture: 1:1 at odd sizes, halved, shrunk by 3/4 and 2/3, enlarged.
    const int sizes[][4] = {{37, 23, 37, 23}, {3840, 2160, 1920, 1080}, {2560, 1440, 1920, 1080},
                            {96, 66, 64, 44}, {64, 48, 128, 96},        {1, 1, 1, 1}};
    std::vector<uint8_t> scratch;
    for (const Colour& c : kColours) {
        for (const auto& s : sizes) {
            const std::vector<uint8_t> px = Filled(s[0] + 3, s[1] + 1, c);  // a wider image
            const vistrec::platform::ImageView image{px.data(), s[0] + 3, s[1] + 1, (s[0] + 3) * 4};
            AVFramePtr pic = Picture(s[2], s[3], 0);
            ASSERT_TRUE(pixelconvert::BgraToI420(image, s[0], s[1], pic.get(), &scratch));
            for (const auto& at : {std::make_pair(0, 0), std::make_pair(s[2] - 1, s[3] - 1),
                                   std::make_pair(s[2] / 2, s[3] / 3)})
                EXPECT_TRUE(Holds(pic.get(), at.first, at.second, c))
                    << int(c.r) << "," << int(c.g) << "," << int(c.b) << " " << s[0] << "x" << s[1]
                    << " -> " << s[2] << "x" << s[3] << " at " << at.first << "," << at.second;
        }
    }
}

TEST(PixelConvert, RectanglesAtOddCornersCoverTheirChromaBlocksOnly) {
    const Colour& red = kColours[2];
    const Colour before{0, 0, 0, 7, 7, 7};  // what the picture held
    const std::vector<uint8_t> px = Filled(41, 31, red);
    const vistrec::platform::ImageView image{px.data(), 41, 31, 41 * 4};
    // Rectangle, and the block-aligned area it must fill (clipped to the 41 x 31 pictures).
    const int cases[][8] = {{3, 5, 7, 9, 2, 4, 10, 14},
                            {0, 0, 1, 1, 0, 0, 2, 2},
                            {36, 26, 10, 10, 36, 26, 41, 31},
                            {40, 30, 1, 1, 40, 30, 41, 31}};
    for (const auto& k : cases) {
        AVFramePtr pic = Picture(41, 31, 7);
        ASSERT_TRUE(pixelconvert::BgraRectToI420(image, k[0], k[1], k[2], k[3], pic.get()));
        for (int y = 0; y < 31; ++y)
            for (int x = 0; x < 41; ++x) {
                const bool inside = x >= k[4] && x < k[6] && y >= k[5] && y < k[7];
                ASSERT_TRUE(Holds(pic.get(), x, y, inside ? red : before))
                    << "rect " << k[0] << "," << k[1] << " pixel " << x << "," << y;
            }
    }
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
        g_captureSettings.captureRect = {0, 0, 64, 48}, g_captureSettings.regionFlag = true;
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
        {false, true, {}, 5, 5}};
    for (const auto& r : rows) {
        display.hasTarget = r.hasTarget;
        display.target = r.target;
        g_captureSettings.followTarget = r.follow;
        EXPECT_EQ(r.expected, FindTargetMonitor(two, r.start)) << r.target.left << " " << r.start;
    }
}

TEST_F(CaptureTest, SecondMonitorCapturedAndItsLossReportedUntilItReturns) {
    display.monitors = {{0, 0, 1920, 1080}};
    g_captureSettings.captureRect = {0, 0, 1920, 1080};
    // Monitors, display number, capture made: a loss is reported until the choice changes.
    const int steps[][3] = {{2, 2, 1}, {1, 2, 0}, {1, 2, 0}, {1, 1, 1}, {2, 0, 1}, {1, 0, 1}};
    for (const auto& s : steps) {
        display.monitors.resize(s[0], RECT{1920, 0, 3840, 1080});
        g_captureSettings.displayNumber = s[1];
        EXPECT_EQ(s[2] == 1, capturer.CaptureScreen(nullptr, &bmp)) << s[0] << " " << s[1];
        EXPECT_TRUE(s[1] != 2 || At(bmp, 0, 0) == FakeDisplay::ScreenPixel(1920, 0));
    }
}

TEST_F(CaptureTest, AFailedGrabDrawsNoSecondPointerAndKeepsThePicture) {
    SmallRegion();
    g_mouse.m_mouseShow = 1, g_mouse.m_mouseSize = 100;
    display.ShowPointer(10, 10, 4, 0, 0xFFFFFFFFu);
    ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp, &grabbed) && grabbed);
    const std::vector<uint8_t> first = bmp.pixels;
    // The pointer moves while the screen cannot be read: the bitmap stays the last capture.
    display.pointer.x = 40, display.grabFails = true;
    ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp, &grabbed));
    EXPECT_TRUE(!grabbed && bmp.pixels == first);
    // So does the encoder's picture.
    CFrameComposer composer;
    AVFramePtr picture = Picture(64, 48, 0);
    display.grabFails = false;
    ASSERT_EQ(CFrameComposer::Result::kNewFrame, composer.Compose(nullptr, 1.0, picture.get()));
    const std::vector<uint8_t> luma(picture->data[0], picture->data[0] + 48 * picture->linesize[0]);
    display.grabFails = true, display.pointer.x = 20;
    EXPECT_EQ(CFrameComposer::Result::kPreviousFrame,
              composer.Compose(nullptr, 1.0, picture.get()));
    EXPECT_TRUE(std::equal(luma.begin(), luma.end(), picture->data[0]));
}

TEST_F(CaptureTest, AGrabberWhoseServerWentAwayIsReplacedAfterItsDelay) {
    SmallRegion();
    ASSERT_TRUE(capturer.CaptureScreen(nullptr, &bmp, &grabbed) && grabbed);
    // The server goes away: the grab fails, so does a new grabber, and then the next try waits;
    // none of it is taken for a lost monitor.
    for (int i = 0; i < 3; ++i) {
        display.serverDown = i < 2;
        EXPECT_TRUE(capturer.CaptureScreen(nullptr, &bmp, &grabbed)) << "try " << i;
        EXPECT_FALSE(grabbed) << "try " << i;
    }
    EXPECT_EQ(1, display.grabbersMade);
    vistrec::platform::SleepMs(CRetryBackoff::kFirstMs + 50);
    capturer.CaptureScreen(nullptr, &bmp, &grabbed);
    EXPECT_EQ(std::make_pair(true, 2), std::make_pair(grabbed, display.grabbersMade));
    EXPECT_EQ(FakeDisplay::ScreenPixel(5, 5), At(bmp, 5, 5));
}

TEST(RetryBackoff, DoublesUpToItsCeilingAndStartsOverOnSuccess) {
    CRetryBackoff backoff;
    EXPECT_TRUE(backoff.Due(0));
    // Failures at `at`, each due again after 250, 500, ... and at most 4000 ms.
    const int64_t steps[][2] = {{1000, 1250}, {1250, 1750},  {1750, 2750}, {2750, 4750},
                                {4750, 8750}, {8750, 12750}, {100, 350}};
    for (const auto& s : steps) {
        if (s[0] == 100)
            backoff.Succeeded();
        backoff.Failed(s[0]);
        EXPECT_FALSE(backoff.Due(s[1] - 1)) << s[0];
        EXPECT_TRUE(backoff.Due(s[1])) << s[0];
    }
}

TEST_F(CaptureTest, CaptureRectRoundsAndCapsTheOutput) {
    CH264WindowRecorder rec(nullptr);  // no display: a 200-pixel square
    EXPECT_EQ(200 * 200 * 2, rec.setCaptureRect(false, nullptr));
    EXPECT_EQ(200, g_captureSettings.captureRect.bottom);
    display.monitors = {{0, 0, 1366, 768}};
    RECT r = {0, 0, 1366, 768};
    EXPECT_EQ(2095104, rec.setCaptureRect(true, &r));
    EXPECT_EQ(std::make_tuple(1364, 1364, 768, true),
              std::make_tuple(g_captureSettings.captureRect.right, rec.m_outWidth, rec.m_outHeight,
                              g_captureSettings.regionFlag));
    // Without a rectangle the display's own rectangle is kept unrounded; the output is rounded.
    rec.setCaptureRect(false, nullptr);
    EXPECT_EQ(std::make_tuple(1366, 1364, false),
              std::make_tuple(g_captureSettings.captureRect.right, rec.m_outWidth,
                              g_captureSettings.regionFlag));
    RECT uhd = {0, 0, 3840, 2160};
    rec.setCaptureRect(false, &uhd);
    EXPECT_EQ(std::make_pair(1920, 1080), std::make_pair(rec.m_outWidth, rec.m_outHeight));
}

TEST_F(CaptureTest, DisplayQualityTable) {
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
        {1280, 720, 9, 2, 1920, 1080, 7, 1280 * 720 * 2}};
    CH264WindowRecorder rec(nullptr);
    for (const auto& r : rows) {
        rec.m_frameRate = 7;
        display.monitors = {{0, 0, r.monitorW, r.monitorH}};
        if (r.display != 1)
            display.monitors.push_back({1280, 0, 3200, 1080});
        rec.setCaptureRect(false, nullptr);
        rec.setQuality(r.quality);
        rec.setDisplay(r.display);
        EXPECT_EQ(std::make_tuple(r.outW, r.outH, r.fps, r.bitRate),
                  std::make_tuple(rec.m_outWidth, rec.m_outHeight, rec.m_frameRate, rec.m_bitRate))
            << r.monitorW << " quality " << r.quality << " display " << r.display;
    }
    EXPECT_EQ(2, g_captureSettings.displayNumber);
}

// Middle-row columns unlike a screen black left of `split`, scaled from shareW (edge skipped).
std::vector<int> WrongColumns(const AVFrame* picture, int shareW, int split) {
    std::vector<int> wrong;
    const uint8_t* row = picture->data[0] + picture->height / 2 * picture->linesize[0];
    const double edge = static_cast<double>(split) * picture->width / shareW;
    for (int x = 0; x < picture->width; x += 4) {
        if (std::fabs(x - edge) >= 8 && (x > edge ? row[x] < 200 : row[x] > 60))
            wrong.push_back(x);
    }
    return wrong;
}

// An image black left of column `split` and white from it, whose last byte is followed by an
// unreadable page: a read past it ends the test.
class GuardedImage {
  public:
    GuardedImage(int w, int h, int split) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t bytes = static_cast<size_t>(w) * h * 4;
        m_size = (bytes + page - 1) / page * page + page;
        m_base = static_cast<uint8_t*>(
            mmap(nullptr, m_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(m_base + m_size - page, page, PROT_NONE);
        uint8_t* pixels = m_base + m_size - page - bytes;
        for (size_t i = 0; i < bytes / 4; ++i) {
            const uint32_t bgra = static_cast<int>(i % w) >= split ? 0xFFFFFFFFu : 0xFF000000u;
            memcpy(pixels + 4 * i, &bgra, 4);
        }
        view = {pixels, w, h, w * 4};
    }
    ~GuardedImage() { munmap(m_base, m_size); }
    vistrec::platform::ImageView view;
    uint8_t* m_base = nullptr;
    size_t m_size = 0;
};

// The picture is the top-left `scale` share of the image (all of it above 1), read from nowhere
// else, whatever the image's size and scale were the frame before.
TEST(FrameComposer, PictureIsTheShareOfTheImageAndNothingPastIt) {
    AVFramePtr picture = Picture(320, 240, 0);
    // One composer for all: every change of size between frames must rebuild its scaler.
    CFrameComposer composer;
    const struct {
        int w, h;
        double scale;
    } cases[] = {{320, 240, 1.0}, {160, 120, 1.0}, {640, 480, 0.75}, {320, 240, 1.5},
                 {320, 240, 0.5}, {96, 64, 1.0},   {4, 4, 0.5}};
    for (const auto& c : cases) {
        GuardedImage image(c.w, c.h, c.w / 3);
        // A 4 x 4 picture at half scale is too small to convert.
        ASSERT_EQ(c.w > 4, composer.Convert(image.view, c.scale, picture.get())) << c.w;
        const int shareW = sizerules::ScaledRecordSide(c.w, std::min(c.scale, 1.0));
        EXPECT_TRUE(c.w == 4 || WrongColumns(picture.get(), shareW, c.w / 3).empty())
            << c.w << " at " << c.scale;
    }
}

TEST(Scale, NonsenseIsClampedOrIgnored) {
    const double cases[][2] = {{0.5, 0.5},  {1.0, 1.0},   {1.5, 1.0},  {INFINITY, 1.0},
                               {0.0, 0.75}, {-0.5, 0.75}, {NAN, 0.75}, {-INFINITY, 0.75}};
    for (const auto& c : cases) {
        CH264WindowRecorder rec(nullptr);
        rec.setScale(c[0]);
        EXPECT_EQ(c[1], rec.m_scale) << c[0];
    }
}

TEST(VideoPipeline, ABusyEncoderDropsWhatTheQueueCannotHoldAndARepeatReusesTheLastPicture) {
    std::mutex mutex;
    std::condition_variable cv;
    bool busy = false, open = false;  // the encoder is held in its first frame
    std::vector<std::pair<int64_t, const AVFrame*>> encoded;
    CVideoPipeline pipeline;
    ASSERT_TRUE(
        pipeline.Start(AV_PIX_FMT_YUV420P, 64, 48, [&](AVFrame* picture, int64_t index, bool) {
            std::unique_lock<std::mutex> lock(mutex);
            busy = true;
            cv.notify_all();
            cv.wait(lock, [&] { return open; });
            encoded.emplace_back(index, picture);
            return static_cast<int>(index * 10);
        }));
    AVFrame* p0 = pipeline.Acquire();
    ASSERT_NE(nullptr, p0);
    EXPECT_EQ(0, p0->data[0][0]);  // pictures start zeroed
    pipeline.Submit(p0, 0);
    {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return busy; });
    }
    // Frame 0 is being encoded: two more fit in the queue, the third is dropped.
    AVFrame* p1 = pipeline.Acquire();
    ASSERT_NE(nullptr, p1);
    pipeline.Submit(p1, 1);
    AVFrame* p2 = pipeline.Acquire();
    ASSERT_NE(nullptr, p2);
    pipeline.Repeat(p2, 2);  // nothing new: frame 2 is frame 1's picture again
    EXPECT_EQ(nullptr, pipeline.Acquire());
    EXPECT_EQ(1, pipeline.Dropped());
    EXPECT_EQ(3u, std::set<const AVFrame*>({p0, p1, p2}).size());
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
    }
    cv.notify_all();
    pipeline.Finish();  // encodes what was queued
    const std::vector<std::pair<int64_t, const AVFrame*>> expected = {{0, p0}, {1, p1}, {2, p1}};
    EXPECT_EQ(expected, encoded);
    EXPECT_EQ(20, pipeline.LastResult());
}

}  // namespace
