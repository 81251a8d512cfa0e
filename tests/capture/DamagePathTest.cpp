// After every change on a real X server's screen, the picture the damage path composes equals a
// full grab with the same pointer, effect and text, pixel for pixel, fallbacks included (a server
// without DAMAGE among them).
// gtest before Xlib, whose macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>

#include <libyuv/scale.h>

#include "SceneRender.h"
#include "capture/CaptureSettings.h"
#include "capture/FrameComposer.h"
#include "capture/MouseEffects.h"
#include "capture/PixelConvert.h"
#include "common/XClient.h"
#include "common/XvfbFixture.h"

namespace {

using vistrec::test::XClient;
using vistrec::test::XvfbServer;
constexpr int kW = 1920, kH = 1080;
constexpr char kFont[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
std::unique_ptr<XvfbServer> g_server;

// A 1920x1080 server at `display` (-1: a free number) as $DISPLAY.
bool StartServer(int display, bool damage = true) {
    XvfbServer::Options options;
    options.display = display;
    if (!damage)
        options.extraArgs = {"-extension", "DAMAGE"};
    g_server = std::make_unique<XvfbServer>(options);
    std::string error;
    if (!g_server->Start(&error))
        return fprintf(stderr, "%s\n", error.c_str()), false;
    g_server->ExportDisplay();
    return true;
}

AVFramePtr NewPicture(int w, int h) {
    AVFramePtr f(av_frame_alloc());
    f->format = AV_PIX_FMT_YUV420P, f->width = w, f->height = h;
    EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
    return f;
}

// Where two I420 pictures first differ ("" when they do not).
std::string FirstDifference(const AVFrame& a, const AVFrame& b) {
    for (int p = 0; p < 3; ++p)
        for (int y = 0; y < (p ? (a.height + 1) / 2 : a.height); ++y)
            if (memcmp(a.data[p] + y * a.linesize[p], b.data[p] + y * b.linesize[p],
                       p ? (a.width + 1) / 2 : a.width) != 0)
                return "plane " + std::to_string(p) + " row " + std::to_string(y);
    return "";
}

// A highlight icon of our own: a translucent ring, premultiplied.
EffectIcons RingIcons() {
    auto icon = std::make_shared<vistrec::platform::IconImage>();
    icon->width = icon->height = 40, icon->xHotspot = icon->yHotspot = 20;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x) {
            const int d2 = (x - 20) * (x - 20) + (y - 20) * (y - 20);
            icon->argb.push_back(d2 < 400 && d2 > 225 ? 0x80800000u : 0u);
        }
    EffectIcons icons;
    icons.highlight = icon;
    return icons;
}

class DamagePath : public ::testing::Test {
  protected:
    void SetUp() override {
        x_.emplace();
        ASSERT_TRUE(x_->ok());
        g_captureSettings = CaptureSettings();
        g_captureSettings.captureRect = {0, 0, kW, kH};
        g_captureSettings.displayNumber = 1;
        g_mouse = MouseSettings();
        g_mouse.m_mouseShow = 1, g_mouse.m_mouseSize = 100, g_mouse.m_lightShow = 1;
        SetEffectIcons(RingIcons());
        composer_.Damage().SetRefreshMs(3600 * 1000);
        Draw(0, 0, kW, kH, [](int x, int y) { return 0x404040u + ((x ^ y) & 0x3f) * 0x10101u; });
    }
    void TearDown() override { SetEffectIcons(EffectIcons()); }

    void Draw(int x, int y, int w, int h, const std::function<uint32_t(int, int)>& colour) {
        x_->Paint(x_->root(), x, y, w, h, colour);
    }

    void ExpectSameAsFullGrab(const std::string& what, AVFrame* picture = nullptr) {
        SCOPED_TRACE(what);
        picture = picture ? picture : picture_.get();
        const auto result = composer_.Compose(nullptr, scale_, picture, &text_);
        ASSERT_TRUE(result == CFrameComposer::Result::kNewFrame ||
                    result == CFrameComposer::Result::kPreviousFrame);
        CaptureBitmap bitmap;
        bool grabbed = false;
        // A grabber whose server restarted reconnects within a few tries.
        for (int i = 0; i < 40 && !grabbed; ++i, vistrec::platform::SleepMs(50))
            ASSERT_TRUE(fullGrab_.CaptureScreen(nullptr, &bitmap, &grabbed));
        ASSERT_TRUE(grabbed);
        referenceText_.Draw(text_.font, text_.text, text_.x, text_.y, text_.red, text_.green,
                            text_.blue, bitmap.pixels.data(), bitmap.width, bitmap.height,
                            bitmap.Stride());
        const int shareW = static_cast<int>(bitmap.width * scale_) / 4 * 4;
        const int shareH = static_cast<int>(bitmap.height * scale_) / 4 * 4;
        AVFramePtr share = NewPicture(shareW, shareH),
                   ref = NewPicture(picture->width, picture->height);
        ASSERT_TRUE(pixelconvert::BgraRectToI420(
            {bitmap.pixels.data(), bitmap.width, bitmap.height, bitmap.Stride()}, 0, 0, shareW,
            shareH, share.get()));
        libyuv::I420Scale(share->data[0], share->linesize[0], share->data[1], share->linesize[1],
                          share->data[2], share->linesize[2], shareW, shareH, ref->data[0],
                          ref->linesize[0], ref->data[1], ref->linesize[1], ref->data[2],
                          ref->linesize[2], picture->width, picture->height, libyuv::kFilterBox);
        EXPECT_EQ(FirstDifference(*picture, *ref), "");
    }

    std::optional<XClient> x_;
    AVFramePtr picture_ = NewPicture(kW, kH);
    CFrameComposer composer_;
    CScreenCapturer fullGrab_;
    TextOverlay referenceText_;
    double scale_ = 1.0;
    OverlayText text_{kFont, "damage 0123", 40.0f, 660.0f, 250, 250, 40};
};

class DamagePathScaled : public DamagePath, public ::testing::WithParamInterface<double> {};

// Two encoder pictures in turn, as a pipeline that encodes one while the next is composed.
TEST_P(DamagePathScaled, OfficeWorkloadMatchesFullGrabs) {
    scale_ = GetParam();
    AVFramePtr pictures[2] = {NewPicture(kW, kH), NewPicture(kW, kH)};
    testscene::SceneOptions office;
    office.workload = testscene::Workload::kOffice;
    std::vector<uint8_t> screen(static_cast<size_t>(kW) * kH * 4);
    ExpectSameAsFullGrab("before", pictures[1].get());
    const uint64_t pixelsBefore = composer_.Damage().stats().pixels;
    const int ticks = 30;
    for (int tick = 0; tick < ticks; ++tick) {
        std::vector<testscene::Rect> rects{{0, 0, kW, kH}};
        if (tick > 0)
            rects = testscene::ChangedRects(tick - 1, tick, kW, kH, office);
        for (const auto& r : rects) {
            testscene::RenderScene(tick, kW, kH, office, screen.data(), kW * 4, r);
            Draw(r.x, r.y, r.w, r.h, [&](int x, int y) {
                const uint8_t* p = &screen[(static_cast<size_t>(y) * kW + x) * 4];
                return static_cast<uint32_t>(p[2] << 16 | p[1] << 8 | p[0]);
            });
        }
        int px = 0, py = 0;
        testscene::PointerAt(tick * 7, kW, kH, &px, &py);
        x_->WarpPointer(px, py);
        ExpectSameAsFullGrab("tick " + std::to_string(tick), pictures[tick % 2].get());
    }
    const CDamageComposer::Stats& s = composer_.Damage().stats();
    EXPECT_EQ(s.frames, static_cast<uint64_t>(ticks + 1));
    EXPECT_LT(s.pixels - pixelsBefore, static_cast<uint64_t>(ticks) * kW * kH / 2);
    // Nothing changed: nothing is grabbed or converted.
    const uint64_t pixels = s.pixels;
    ExpectSameAsFullGrab("still, first picture", pictures[0].get());
    const uint64_t unchanged = s.unchanged;
    ExpectSameAsFullGrab("still, second picture", pictures[1].get());
    ExpectSameAsFullGrab("still, first picture again", pictures[0].get());
    EXPECT_EQ(s.unchanged, unchanged + 2);
    EXPECT_EQ(s.pixels, pixels);
}

INSTANTIATE_TEST_SUITE_P(Scales, DamagePathScaled, ::testing::Values(1.0, 0.75));

TEST_F(DamagePath, MovedWindowLeavesNoStalePixels) {
    ExpectSameAsFullGrab("before");
    const Window w = x_->CreateWindow(0, 10, 10, 300, 200, nullptr);
    x_->MapAndWait(w);
    for (int step = 0; step < 12; ++step) {
        XMoveWindow(x_->get(), w, 10 + step * 97, 10 + step * 53);
        x_->Sync();
        ExpectSameAsFullGrab("step " + std::to_string(step));
    }
    XDestroyWindow(x_->get(), w);
    x_->Sync();
    ExpectSameAsFullGrab("destroyed");
}

TEST_F(DamagePath, CompositingManagerMeansFullGrabs) {
    ExpectSameAsFullGrab("before");
    const Atom cm = XInternAtom(x_->get(), "_NET_WM_CM_S0", False);
    const Window owner = x_->CreateWindow(0, 0, 0, 1, 1, nullptr);
    XSetSelectionOwner(x_->get(), cm, owner, CurrentTime);
    x_->Sync();
    vistrec::platform::SleepMs(1100);  // the owner is looked at once a second
    const CDamageComposer::Stats& s = composer_.Damage().stats();
    const uint64_t frames = s.frames, rebuilds = s.rebuilds;
    ASSERT_EQ(composer_.Compose(nullptr, 1.0, picture_.get(), &text_),
              CFrameComposer::Result::kNewFrame);
    EXPECT_EQ(s.frames, frames) << "a frame took the damage path under a compositing manager";
    Draw(200, 200, 100, 100, [](int, int) { return 0xff0000u; });
    XSetSelectionOwner(x_->get(), cm, None, CurrentTime);
    x_->Sync();
    vistrec::platform::SleepMs(1100);
    ExpectSameAsFullGrab("after");
    EXPECT_EQ(s.rebuilds, rebuilds + 1);
}

TEST_F(DamagePath, OverflowAndRefreshMeanWholeGrabs) {
    ExpectSameAsFullGrab("before");
    // Two graphics contexts in turn, so that Xlib cannot join the fills into one request.
    GC gcs[2] = {XCreateGC(x_->get(), x_->root(), 0, nullptr),
                 XCreateGC(x_->get(), x_->root(), 0, nullptr)};
    for (int i = 0; i < 6000; ++i)
        XFillRectangle(x_->get(), x_->root(), gcs[i & 1], i % 100 * 12, i / 100 * 11, 2, 2);
    for (GC gc : gcs)
        XFreeGC(x_->get(), gc);
    x_->Sync();
    const uint64_t rebuilds = composer_.Damage().stats().rebuilds;
    ExpectSameAsFullGrab("dots");
    EXPECT_EQ(composer_.Damage().stats().rebuilds, rebuilds + 1);
    composer_.Damage().SetRefreshMs(0);
    for (int i = 0; i < 2; ++i)
        ExpectSameAsFullGrab("refresh " + std::to_string(i));
    EXPECT_EQ(composer_.Damage().stats().rebuilds, rebuilds + 3);
}

TEST_F(DamagePath, MovedRegionStartsAgain) {
    AVFramePtr picture = NewPicture(640, 480);
    g_captureSettings.regionFlag = true;
    for (const RECT& r : {RECT{100, 100, 740, 580}, RECT{360, 200, 1000, 680}}) {
        g_captureSettings.captureRect = r;
        ExpectSameAsFullGrab("region at " + std::to_string(r.left), picture.get());
        Draw(r.left + 20, r.top + 20, 50, 50, [](int x, int) { return 0x00ff00u * (x & 1); });
        ExpectSameAsFullGrab("drawn in region", picture.get());
    }
}

// Last: it restarts the server, first without DAMAGE (every frame a full grab), then with it.
TEST_F(DamagePath, RestartedServerMeansWholeGrab) {
    ExpectSameAsFullGrab("before");
    const int display = std::stoi(g_server->name().substr(1));
    const CDamageComposer::Stats& s = composer_.Damage().stats();
    for (const bool damage : {false, true}) {
        SCOPED_TRACE(damage ? "with DAMAGE" : "without DAMAGE");
        x_.reset();
        g_server->Stop();
        EXPECT_EQ(composer_.Compose(nullptr, 1.0, picture_.get(), &text_),
                  CFrameComposer::Result::kPreviousFrame);
        ASSERT_TRUE(StartServer(display, damage));
        x_.emplace();
        ASSERT_TRUE(x_->ok());
        int event = 0, error = 0;
        ASSERT_EQ(XDamageQueryExtension(x_->get(), &event, &error) != 0, damage);
        Draw(0, 0, 64, 64, [&](int, int) { return damage ? 0x0000ffu : 0xff00ffu; });
        const uint64_t rebuilds = s.rebuilds, frames = s.frames;
        // New connections are opened at a slowing pace: a few frame intervals.
        for (int i = 0; i < (damage ? 100 : 20) && s.rebuilds == rebuilds; ++i) {
            composer_.Compose(nullptr, 1.0, picture_.get(), &text_);
            vistrec::platform::SleepMs(50);
        }
        EXPECT_EQ(s.rebuilds > rebuilds, damage);
        ExpectSameAsFullGrab("after");
        EXPECT_TRUE(damage || s.frames == frames) << "a frame took the damage path without DAMAGE";
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!StartServer(-1))
        return 1;
    const int result = RUN_ALL_TESTS();
    g_server.reset();
    return result;
}
