// Checks of the test scene itself: the counter marks read back exactly, they survive the
// scaling and H.264 compression a recording puts them through, and the scene program puts on
// the screen exactly what the renderer draws, at the counter the wall clock says.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "Harness.h"
#include "SceneRender.h"
#include "XvfbFixture.h"

namespace {

using testscene::Rect;

// libx264 reports every encoder it closes; only errors matter here.
const bool kQuietLibav = (av_log_set_level(AV_LOG_ERROR), true);

::testing::Environment* const kXvfb =
    ::testing::AddGlobalTestEnvironment(new vistrec::test::XvfbEnvironment());

constexpr int kW = 1920;
constexpr int kH = 1080;

it::Bgra Frame(uint32_t counter, const testscene::SceneOptions& options = {}) {
    it::Bgra b;
    b.width = kW;
    b.height = kH;
    b.pixels = testscene::RenderFrame(counter, kW, kH, options);
    return b;
}

testscene::ImageView View(const it::Bgra& b) {
    testscene::ImageView v;
    v.data = b.pixels.data();
    v.width = b.width;
    v.height = b.height;
    v.stride = b.width * 4;
    v.bytesPerPixel = 4;
    return v;
}

TEST(SceneRender, CounterMarksReadBackAndRejectDamage) {
    const auto marks = testscene::MarkRects(kW, kH);
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_EQ(marks[1].x, kW / 2 + testscene::kMarkX);
    for (uint32_t counter : {0u, 1u, 2u, 255u, 256u, 12345u, 65535u}) {
        const it::Bgra frame = Frame(counter);
        for (const Rect& m : marks) {
            uint32_t read = 0xFFFFFFFF;
            ASSERT_TRUE(testscene::ReadCounter(View(frame), {}, m.x, m.y, &read)) << counter;
            EXPECT_EQ(read, counter);
        }
    }
    // Same frame twice: identical pixels (the renderer is deterministic).
    EXPECT_EQ(Frame(777).pixels, Frame(777).pixels);
    // Moving shapes: frames differ, but only inside the changed rectangles.
    const it::Bgra a = Frame(100), b = Frame(101);
    ASSERT_NE(a.pixels, b.pixels);
    const auto changed = testscene::ChangedRects(100, 101, kW, kH, {});
    for (int y = 0; y < kH; y += 3) {
        for (int x = 0; x < kW; x += 3) {
            bool inside = false;
            for (const Rect& r : changed)
                inside |= x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h;
            if (!inside) {
                ASSERT_EQ(0, std::memcmp(a.Row(y) + x * 4, b.Row(y) + x * 4, 4)) << x << "," << y;
            }
        }
    }

    // A flipped data block breaks the row parity; a grey block is ambiguous; a shifted map
    // misses the markers.
    it::Bgra damaged = Frame(4660);
    const Rect& m = marks[0];
    auto paint = [&](int col, int row, uint8_t value) {
        for (int y = 0; y < testscene::kBlockPx; ++y) {
            std::memset(damaged.Row(m.y + row * testscene::kBlockPx + y) +
                            (m.x + col * testscene::kBlockPx) * 4,
                        value, testscene::kBlockPx * 4);
        }
    };
    uint32_t read = 0;
    paint(3, 1, 255 - damaged.Row(m.y + 60)[(m.x + 3 * 48 + 24) * 4]);
    EXPECT_FALSE(testscene::ReadCounter(View(damaged), {}, m.x, m.y, &read));
    damaged = Frame(4660);
    paint(5, 0, 128);
    EXPECT_FALSE(testscene::ReadCounter(View(damaged), {}, m.x, m.y, &read));
    testscene::ScreenToImage shifted;
    shifted.offsetY = testscene::kBlockPx;
    EXPECT_FALSE(testscene::ReadCounter(View(Frame(4660)), shifted, m.x, m.y, &read));

    // The flash patch is white for the first 100 ms of each second only.
    testscene::SceneOptions flash;
    flash.fps = 30;
    flash.flash = true;
    const Rect f = testscene::kFlashRect;
    EXPECT_GT(testscene::MeanLuma(View(Frame(60, flash)), {}, f), 250.0);
    EXPECT_GT(testscene::MeanLuma(View(Frame(62, flash)), {}, f), 250.0);
    EXPECT_LT(testscene::MeanLuma(View(Frame(63, flash)), {}, f), 5.0);
    EXPECT_LT(testscene::MeanLuma(View(Frame(89, flash)), {}, f), 5.0);
}

// Encodes pictures with libx264 as the recorder's software path does at quality 0
// (ultrafast, zerolatency, crf 40) and decodes them again.
class X264RoundTrip {
  public:
    X264RoundTrip(int w, int h) {
        const AVCodec* enc = avcodec_find_encoder_by_name("libx264");
        const AVCodec* dec = avcodec_find_decoder(AV_CODEC_ID_H264);
        if (!enc || !dec)
            return;
        encoder_ = avcodec_alloc_context3(enc);
        encoder_->width = w;
        encoder_->height = h;
        encoder_->time_base = AVRational{1, 20};
        encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
        encoder_->gop_size = 12;
        encoder_->max_b_frames = 0;
        av_opt_set(encoder_->priv_data, "preset", "ultrafast", 0);
        av_opt_set(encoder_->priv_data, "tune", "zerolatency", 0);
        av_opt_set(encoder_->priv_data, "crf", "40", 0);
        decoder_ = avcodec_alloc_context3(dec);
        if (avcodec_open2(encoder_, enc, nullptr) < 0 || avcodec_open2(decoder_, dec, nullptr) < 0)
            return;
        packet_ = av_packet_alloc();
        ok_ = true;
    }
    ~X264RoundTrip() {
        av_packet_free(&packet_);
        avcodec_free_context(&encoder_);
        avcodec_free_context(&decoder_);
    }
    X264RoundTrip(const X264RoundTrip&) = delete;
    X264RoundTrip& operator=(const X264RoundTrip&) = delete;
    bool ok() const { return ok_; }

    // Encodes one picture (null: drains) and hands back the pictures that come out.
    std::vector<it::FramePtr> Push(AVFrame* picture) {
        std::vector<it::FramePtr> out;
        if (picture)
            picture->pts = pts_++;
        avcodec_send_frame(encoder_, picture);
        while (avcodec_receive_packet(encoder_, packet_) == 0) {
            avcodec_send_packet(decoder_, packet_);
            av_packet_unref(packet_);
            Receive(&out);
        }
        if (!picture) {
            avcodec_send_packet(decoder_, nullptr);
            Receive(&out);
        }
        return out;
    }

  private:
    void Receive(std::vector<it::FramePtr>* out) {
        for (;;) {
            it::FramePtr f(av_frame_alloc());
            if (avcodec_receive_frame(decoder_, f.get()) != 0)
                break;
            out->push_back(std::move(f));
        }
    }

    AVCodecContext* encoder_ = nullptr;
    AVCodecContext* decoder_ = nullptr;
    AVPacket* packet_ = nullptr;
    int64_t pts_ = 0;
    bool ok_ = false;
};

// The scene through the same losses as a recording: the top-left 1440x808 stretched to
// 1920x1080 (scale 0.75), and the whole screen squeezed to half width (a letterboxed capture of
// a half-width monitor), each at crf 40. The marks must read back and the picture must stay
// close enough to the reference for the recordings' comparison bounds to mean something.
TEST(SceneRender, CounterSurvivesScalingAndCompression) {
    struct Case {
        const char* name;
        Rect source;
        int encodeW, encodeH;
    };
    const Case cases[] = {{"scale 0.75 crop", {0, 0, 1440, 808}, 1920, 1080},
                          {"half-width squeeze", {0, 0, 1920, 1080}, 960, 1080},
                          {"1:1", {0, 0, 1920, 1080}, 1920, 1080}};
    for (const Case& c : cases) {
        X264RoundTrip codec(c.encodeW, c.encodeH);
        ASSERT_TRUE(codec.ok()) << "libx264 or the H.264 decoder is missing";
        testscene::ScreenToImage map;
        map.scaleX = static_cast<double>(c.encodeW) / c.source.w;
        map.scaleY = static_cast<double>(c.encodeH) / c.source.h;
        map.offsetX = -c.source.x * map.scaleX;
        map.offsetY = -c.source.y * map.scaleY;
        std::vector<it::FramePtr> references;
        std::vector<it::FramePtr> decoded;
        const int frames = 24;
        for (int i = 0; i <= frames; ++i) {
            if (i < frames) {
                const uint32_t counter = 1000 + i * 3;
                it::FramePtr ref =
                    it::ToYuv420(it::Crop(Frame(counter), c.source), c.encodeW, c.encodeH);
                it::FramePtr input(av_frame_clone(ref.get()));
                references.push_back(std::move(ref));
                for (auto& f : codec.Push(input.get()))
                    decoded.push_back(std::move(f));
            } else {
                for (auto& f : codec.Push(nullptr))
                    decoded.push_back(std::move(f));
            }
        }
        ASSERT_EQ(decoded.size(), references.size()) << c.name;
        double minPsnr = 99.0, sum = 0.0;
        for (size_t i = 0; i < decoded.size(); ++i) {
            uint32_t counter = 0;
            ASSERT_TRUE(it::ReadFrameCounter(*decoded[i], map, kW, kH, &counter))
                << c.name << " frame " << i;
            EXPECT_EQ(counter, 1000 + i * 3) << c.name;
            const double psnr = it::LumaPsnr(*decoded[i], *references[i]);
            minPsnr = std::min(minPsnr, psnr);
            sum += psnr;
        }
        std::printf("[ scene    ] %s at crf 40: luma PSNR mean %.2f dB, min %.2f dB\n", c.name,
                    sum / decoded.size(), minPsnr);
        EXPECT_GE(minPsnr, 30.0) << c.name;
        // A picture of another counter must compare clearly worse than the right one.
        const double wrong = it::LumaPsnr(*decoded[5], *references[12]);
        EXPECT_LT(wrong, minPsnr - 3.0) << c.name;
    }
}

// The scene program on a real X server: what the screen shows is exactly the renderer's frame
// for the counter it shows, and that counter follows the wall clock.
TEST(SceneProgram, DrawsRendererFramesByWallClock) {
    it::Scene scene;
    ASSERT_TRUE(scene.Start(30));
    it::XClient x;
    ASSERT_TRUE(x.ok());
    ASSERT_EQ(x.screenWidth(), kW);
    uint32_t previous = 0;
    for (int shot = 0; shot < 4; ++shot) {
        it::SleepMs(400);
        it::Bgra screen;
        const int64_t before = it::MonotonicMs();
        ASSERT_TRUE(x.GrabScreen(&screen));
        const int64_t after = it::MonotonicMs();
        uint32_t counter = 0;
        ASSERT_TRUE(it::ReadFrameCounter(*it::ToYuv420(screen, kW, kH), {}, kW, kH, &counter));
        // The scene may be a few frames late on a loaded machine (it shares two cores with the
        // rest of the suite); it must never run ahead of the clock.
        const double earliest = (before - scene.startMs() - 200) * 30 / 1000.0;
        const double latest = (after - scene.startMs()) * 30 / 1000.0;
        EXPECT_GE(counter, earliest);
        EXPECT_LE(counter, latest + 1);
        EXPECT_GT(counter, previous);
        previous = counter;
        const it::Bgra expected = Frame(counter, scene.options());
        size_t differing = 0;
        for (size_t i = 0; i < expected.pixels.size(); i += 4) {
            // The fourth byte of a 24-bit screen is undefined.
            differing += std::memcmp(&expected.pixels[i], &screen.pixels[i], 3) != 0;
        }
        EXPECT_EQ(differing, 0u) << "counter " << counter;
    }
    const double cpu = it::ProcessCpuSeconds(scene.pid());
    std::printf("[ scene    ] scene program CPU after about 1.6 s at 30 Hz: %.2f s\n", cpu);
}

}  // namespace
