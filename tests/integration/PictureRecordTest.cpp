// Click rings, the highlight and the text overlay in real recordings: the shipped icons and
// Debian's fonts, through libvistrec.so's public interface, found by decoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "RecorderFixture.h"

namespace vistrec {
namespace test {
namespace {

constexpr int kPointerX = 700, kPointerY = 400;  // over a plain window, grey 0x202020
constexpr int kTextX = 400, kTextY = 600;

struct Rgb {
    double r, g, b;
};
// A decoded pixel in RGB (BT.601, limited range, as the recorder converts).
Rgb PixelAt(const AVFrame& f, int x, int y) {
    const double Y = 1.164 * (f.data[0][y * f.linesize[0] + x] - 16);
    const double u = f.data[1][y / 2 * f.linesize[1] + x / 2] - 128;
    const double v = f.data[2][y / 2 * f.linesize[2] + x / 2] - 128;
    return {Y + 1.596 * v, Y - 0.392 * u - 0.813 * v, Y + 2.017 * u};
}

// Bounding box of the pixels near (kTextX, kTextY) more than 40 luma levels above the grey.
testscene::Rect TextBox(const AVFrame& f) {
    int x0 = INT32_MAX, y0 = INT32_MAX, x1 = -1, y1 = -1;
    for (int y = kTextY - 50; y < kTextY + 30; ++y)
        for (int x = kTextX - 30; x < kTextX + 270; ++x)
            if (f.data[0][y * f.linesize[0] + x] > 44 + 40)
                x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = y;
    return x1 < 0 ? testscene::Rect{} : testscene::Rect{x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

class PictureRecording : public RecorderTest {
  protected:
    void SetUp() override {
        RecorderTest::SetUp();
        // The library loads "mouseeffect" beside this program: the set drawn for the CLI.
        std::error_code ignored;
        std::filesystem::create_directory_symlink("../../tools/vistrec/mouseeffect",
                                                  ExeDir() + "mouseeffect", ignored);
        ASSERT_TRUE(std::filesystem::exists(ExeDir() + "mouseeffect/highlight.ico"));
        x_.MapAndWait(x_.CreateWindow(0, 300, 200, 800, 600, nullptr));
        x_.WarpPointer(kPointerX, kPointerY);
    }
    // Records `ms` with `text` in `font` and decodes the file, one call per picture.
    void RecordText(const char* font, const char* text, int ms, const std::vector<Action>& actions,
                    const std::function<void(const AVFrame&, double)>& onFrame) {
        RecorderPtr r = NewRecorder(dir_.File("picture.mp4"));
        ASSERT_TRUE(r);
        r->setMouseShow(0, 1, 1, 100);  // the effects are drawn with the pointer hidden too
        r->setText(font, text, kTextX, kTextY, 255, 255, 255, 0);
        recorder_ = r.get();
        Record(r.get(), ms, actions);
        MediaInfo info;
        std::string error;
        ASSERT_TRUE(DecodeVideo(dir_.File("picture.mp4"), &info, onFrame, &error)) << error;
    }
    IRecordMp4* recorder_ = nullptr;
};

TEST_F(PictureRecording, HighlightClickRingAndText) {
    std::vector<double> ringPts;
    int frames = 0;
    RecordText(
        "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", "Vistrec 42", 3000,
        {{1500, [this] { recorder_->setMouseEvent(0x201); }}}, [&](const AVFrame& f, double pts) {
            ++frames;
            // Green minus blue on a circle of radius 26 beyond the rings: ~60 in the highlight.
            double yellow = 0, orange = 0;
            for (int i = 0; i < 16; ++i) {
                const Rgb c = PixelAt(f, kPointerX + lrint(26 * cos(i * M_PI / 8)),
                                      kPointerY + lrint(26 * sin(i * M_PI / 8)));
                yellow += (c.g - c.b) / 16;
            }
            for (int dy = -24; dy <= 24; ++dy)
                for (int dx = -24; dx <= 24; ++dx) {
                    const Rgb c = PixelAt(f, kPointerX + dx, kPointerY + dy);
                    orange = std::max(orange, c.r - c.g);
                }
            const Rgb h = PixelAt(f, kPointerX - 15, kPointerY);
            if (yellow > 40) {  // 40 % yellow over the grey: (121, 111, 19)
                EXPECT_TRUE(fabs(h.r - 121) < 15 && fabs(h.g - 111) < 15 && fabs(h.b - 19) < 15)
                    << pts << ": " << h.r << " " << h.g << " " << h.b;
            } else {  // replaced by the left button's orange ring
                ringPts.push_back(pts);
                EXPECT_GT(orange, 30) << pts;
            }
            // 20-pixel glyphs standing on row kTextY from column kTextX.
            const testscene::Rect t = TextBox(f);
            EXPECT_TRUE(t.x == kTextX && t.y + t.h - 1 == kTextY && t.h >= 12 && t.w >= 80)
                << pts << ": " << t.x << "," << t.y << " " << t.w << "x" << t.h;
        });
    // The animation runs from the counter's step to its sixth: one to six consecutive frames.
    ASSERT_TRUE(ringPts.size() >= 1 && ringPts.size() <= 6) << ringPts.size();
    EXPECT_NEAR(ringPts.back() - ringPts.front(), 0.05 * (ringPts.size() - 1), 1e-3);
    EXPECT_TRUE(ringPts.front() > 1.2 && ringPts.back() < 2.2) << ringPts.front();
    printf("%d frames, the ring in %zu from %.3f s\n", frames, ringPts.size(), ringPts.front());
}

}  // namespace
}  // namespace test
}  // namespace vistrec
