// Frame conversion: the recorded picture is the top-left share of the picture actually
// captured, whatever the scale and however the capture rectangle changes during a recording,
// and no conversion reads a byte past the captured picture.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "FakeDisplay.h"
#include "capture/CaptureSettings.h"
#include "capture/FrameComposer.h"
#include "capture/MouseEffects.h"
#include "capture/SizeRules.h"
#include "common/TempDir.h"
#include "src/H264WindowRecorder.h"

namespace {

class TestRecorder : public CH264WindowRecorder {
  public:
    TestRecorder() : CH264WindowRecorder(nullptr) { setPreset("ultrafast"); }
    int WriteFrame(int64_t elapsedMs) {
        return write_video_frame(m_pFormatCtx, m_pVideoStream, elapsedMs);
    }
    const AVFrame* Picture() const { return m_pPicture.get(); }
};

// Columns of the picture's middle row whose brightness differs from a conversion of the top-left
// shareW columns of a capture that is black left of column `split` and white from it. Columns
// next to the edge are skipped (the filter blurs it).
std::vector<int> WrongColumns(const AVFrame* picture, int shareW, int split) {
    std::vector<int> wrong;
    const uint8_t* row = picture->data[0] + picture->height / 2 * picture->linesize[0];
    const double edge = static_cast<double>(split) * picture->width / shareW;
    for (int x = 0; x < picture->width; x += 4) {
        if (std::fabs(x - edge) < 8)
            continue;
        const bool white = x > edge;
        if (white ? row[x] < 200 : row[x] > 60)
            wrong.push_back(x);
    }
    return wrong;
}

TEST(RecorderFrame, PictureIsTheShareOfTheCapturedPicture) {
    g_captureSettings = CaptureSettings();
    g_mouse = MouseSettings();
    g_previousMonitorCount = 0;
    FakeDisplay display;
    display.monitors = {{0, 0, 640, 480}};
    vistrec::test::TempDir dir;
    const struct {
        double scale;
        int firstW, firstH;  // capture rectangle (at 0, 0) of the first frame
        int thenW, thenH;    // and of the later ones
        int split;           // first white column of the screen
    } cases[] = {
        {1.5, 320, 240, 320, 240, 160},   // a scale above 1 records the whole picture
        {1.0, 320, 240, 160, 120, 80},    // the rectangle shrinks while recording
        {0.75, 160, 120, 320, 240, 160},  // and grows
        {0.5, 320, 240, 320, 240, 100},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(n);
        display.brightFrom = c.split;
        TestRecorder rec;
        const RECT first = {0, 0, c.firstW, c.firstH}, then = {0, 0, c.thenW, c.thenH};
        rec.setCaptureRect(true, &first);
        rec.setScale(c.scale);
        rec.setFileName(dir.File("frames" + std::to_string(n++) + ".mp4").c_str());
        ASSERT_EQ(0, rec.SetUpVideoOutput());
        ASSERT_EQ(0, rec.OpenOutputFile());
        EXPECT_GE(rec.WriteFrame(0), -1);
        const int firstShare = sizerules::ScaledRecordSide(c.firstW, std::min(c.scale, 1.0));
        EXPECT_EQ(std::vector<int>(), WrongColumns(rec.Picture(), firstShare, c.split));
        rec.setCaptureRect(true, &then);
        EXPECT_GE(rec.WriteFrame(50), -1);
        EXPECT_GE(rec.WriteFrame(100), -1);
        const int thenShare = sizerules::ScaledRecordSide(c.thenW, std::min(c.scale, 1.0));
        EXPECT_EQ(std::vector<int>(), WrongColumns(rec.Picture(), thenShare, c.split));
    }
}

// An image whose last byte is followed by an unreadable page: a read past it ends the test.
class GuardedImage {
  public:
    GuardedImage(int w, int h) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t bytes = static_cast<size_t>(w) * h * 4;
        m_size = (bytes + page - 1) / page * page + page;
        m_base = static_cast<uint8_t*>(
            mmap(nullptr, m_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(m_base + m_size - page, page, PROT_NONE);
        view = {m_base + m_size - page - bytes, w, h, w * 4};
    }
    ~GuardedImage() { munmap(m_base, m_size); }
    vistrec::platform::ImageView view;

  private:
    uint8_t* m_base = nullptr;
    size_t m_size = 0;
};

TEST(FrameComposer, ReadsNothingPastTheImage) {
    AVFramePtr picture(av_frame_alloc());
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = 320;
    picture->height = 240;
    ASSERT_EQ(0, av_frame_get_buffer(picture.get(), 0));
    // One composer for all: every change of size between frames must rebuild its scaler.
    CFrameComposer composer;
    const struct {
        int w, h;
        double scale;
    } cases[] = {{320, 240, 1.0}, {160, 120, 1.0}, {640, 480, 0.75},
                 {320, 240, 1.5}, {96, 64, 1.0},   {4, 4, 0.5}};
    for (const auto& c : cases) {
        GuardedImage image(c.w, c.h);
        // A 4 x 4 picture at half scale is too small to convert.
        EXPECT_EQ(c.w > 4, composer.Convert(image.view, c.scale, picture.get())) << c.w;
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

}  // namespace
