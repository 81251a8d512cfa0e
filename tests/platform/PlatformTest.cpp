// The platform backend against a real Xvfb: monitors, the target window, host notifications,
// the pointer and screen grabs.
#include <gtest/gtest.h>

#include <tuple>

#include "XClient.h"
#include "XvfbFixture.h"
#include "platform/Platform.h"

namespace vistrec::platform {
namespace {

using test::XClient;

// One server for the program: the backend's process-wide connection stays on it.
::testing::Environment* const kXvfb =
    ::testing::AddGlobalTestEnvironment(new test::XvfbEnvironment());

auto Edges(const RECT& r) {
    return std::make_tuple(r.left, r.top, r.right, r.bottom);
}
HWND Hwnd(Window w) {
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(w));
}

TEST(DisplayServer, FindsTargetWindowByItsDockDescendant) {
    XClient x;
    ASSERT_TRUE(x.ok());
    DisplayServer& display = Display();
    RECT rect{};
    EXPECT_FALSE(display.FindTargetWindowRect(&rect));
    // A "screenClass" window without a dock, and a lone dock, do not count.
    const Window decoy = x.CreateWindow(0, 10, 10, 100, 100, "screenClass");
    x.CreateWindow(decoy, 0, 0, 50, 20, "CommandBar");
    x.CreateWindow(0, 600, 10, 100, 30, "MsoCommandBarDock");
    x.MapAndWait(decoy);
    EXPECT_FALSE(display.FindTargetWindowRect(&rect));
    // The target: the dock is a grandchild. Moves show on the next lookup.
    const Window target = x.CreateWindow(0, 200, 150, 640, 480, "screenClass");
    x.CreateWindow(x.CreateWindow(target, 5, 5, 600, 100, nullptr), 0, 0, 600, 30,
                   "MsoCommandBarDock");
    XMapSubwindows(x.get(), target);
    x.MapAndWait(target);
    ASSERT_TRUE(display.FindTargetWindowRect(&rect));
    EXPECT_EQ(Edges(rect), std::make_tuple(200, 150, 840, 630));
    XMoveWindow(x.get(), target, 1500, 900);
    x.Sync();
    ASSERT_TRUE(display.FindTargetWindowRect(&rect));
    EXPECT_EQ(Edges(rect), std::make_tuple(1500, 900, 2140, 1380));
    // Under a reparenting window manager the client sits in a frame without WM_CLASS.
    XDestroyWindow(x.get(), target);
    const Window frame = x.CreateWindow(0, 50, 60, 300, 200, nullptr);
    x.CreateWindow(x.CreateWindow(frame, 4, 20, 292, 176, "screenClass"), 0, 0, 292, 30,
                   "MsoCommandBarDock");
    ASSERT_TRUE(display.FindTargetWindowRect(&rect));
    EXPECT_EQ(Edges(rect), std::make_tuple(54, 80, 346, 256));
    XDestroyWindow(x.get(), frame);
    x.Sync();
    EXPECT_FALSE(display.FindTargetWindowRect(&rect));
}

TEST(HostNotification, ReachesTheVistrelWindowOnlyFramedOrNot) {
    XClient x;
    ASSERT_TRUE(x.ok());
    const Window other = x.CreateWindow(0, 0, 0, 10, 10, "Vistrel2");
    PostHostNotification(-5);  // no host window: nothing is sent, to other windows neither
    EXPECT_FALSE(x.WaitForEvent(other, ClientMessage, nullptr, 300));
    // The window is looked up on each post; a framed one is found too.
    const Window frame = x.CreateWindow(0, 0, 0, 20, 20, nullptr);
    for (const Window parent : {x.root(), frame}) {
        const Window host = x.CreateWindow(parent, 2, 2, 10, 10, "Vistrel");
        PostHostNotification(-5);
        // (The message's content is checked by the recordings that post it.)
        EXPECT_TRUE(x.WaitForEvent(host, ClientMessage, nullptr, 3000));
        EXPECT_FALSE(x.WaitForEvent(other, ClientMessage, nullptr, 100));
        XDestroyWindow(x.get(), host);
        x.Sync();
    }
}

// A 16 x 16 cursor: left half foreground (red), right half background (blue); with `visible`
// false its mask is empty.
Cursor MakeCursor(::Display* d, bool visible) {
    std::string source, mask(32, visible ? '\xff' : '\0');
    for (int row = 0; row < 16; ++row)
        source += std::string("\xff\0", 2);  // least significant bit first: columns 0 to 7
    const Window root = DefaultRootWindow(d);
    Pixmap s = XCreateBitmapFromData(d, root, source.data(), 16, 16);
    Pixmap m = XCreateBitmapFromData(d, root, mask.data(), 16, 16);
    XColor red{}, blue{};
    red.red = blue.blue = 0xffff;
    red.flags = blue.flags = DoRed | DoGreen | DoBlue;
    const Cursor cursor = XCreatePixmapCursor(d, s, m, &red, &blue, 3, 5);
    XFreePixmap(d, s);
    XFreePixmap(d, m);
    return cursor;
}

TEST(DisplayServer, PointerImageAndHotspotPositionFromXFixes) {
    XClient x;
    ASSERT_TRUE(x.ok());
    DisplayServer& display = Display();
    PointerImage p;
    const Window window = x.CreateWindow(0, 0, 0, 400, 400, nullptr);
    const Cursor shown = MakeCursor(x.get(), true), hidden = MakeCursor(x.get(), false);
    XDefineCursor(x.get(), window, shown);
    x.MapAndWait(window);
    x.WarpPointer(100, 120);
    ASSERT_TRUE(display.GetPointer(&p));
    ASSERT_EQ(std::make_tuple(p.visible, p.x, p.y, p.xHotspot, p.yHotspot, p.width, p.argb.size()),
              std::make_tuple(true, 100, 120, 3, 5, 16, size_t(256)));
    for (int row = 0; row < 16; ++row) {
        EXPECT_EQ(p.argb[row * 16 + 7], 0xffff0000u) << row;
        EXPECT_EQ(p.argb[row * 16 + 8], 0xff0000ffu) << row;
    }
    int cx = 0, cy = 0;
    display.PointerNominalSize(p, &cx, &cy);
    EXPECT_EQ(std::make_pair(cx, cy), std::make_pair(16, 16));
    XDefineCursor(x.get(), window, hidden);  // wholly transparent: a hidden pointer
    x.Sync();
    ASSERT_TRUE(display.GetPointer(&p));
    EXPECT_FALSE(p.visible);
    XFreeCursor(x.get(), shown);
    XFreeCursor(x.get(), hidden);
}

// Distinct colours that depend on both coordinates, as 0x00RRGGBB.
uint32_t ScreenPattern(int x, int y) {
    return static_cast<uint32_t>(((x * 3 + y * 5) & 0xff) << 16 | (y & 0xff) << 8 | (x & 0xff));
}
uint32_t WindowPattern(int x, int y) {
    return static_cast<uint32_t>(((x ^ y) & 0xff) << 16 | ((x * 7) & 0xff) << 8 |
                                 ((y * 11) & 0xff));
}

// System V shared memory mappings of this process (the grabber's segment shows up here).
int SysvMappings() {
    const std::string maps = test::ReadTextFile("/proc/self/maps");
    int count = 0;
    for (size_t at = maps.find("/SYSV"); at != std::string::npos; at = maps.find("/SYSV", at + 1))
        ++count;
    return count;
}

// Runs each case through MIT-SHM and with it switched off.
class Grabber : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(x_.ok());
        if (!GetParam())
            setenv("VISTREC_NO_SHM", "1", 1);
        before_ = SysvMappings();
        grabber_ = Display().CreateGrabber();
        unsetenv("VISTREC_NO_SHM");
        ASSERT_NE(grabber_, nullptr);
    }
    void TearDown() override {
        grabber_.reset();
        EXPECT_EQ(SysvMappings(), before_) << "the shared segment goes with the grabber";
    }
    // Grabs (x, y, w, h) and compares it with colour() inside [0, limitW) x [0, limitH) of the
    // source and black outside; the fourth byte is free.
    ::testing::AssertionResult Grabs(HWND window, int x, int y, int w, int h, int limitW,
                                     int limitH, const std::function<uint32_t(int, int)>& colour) {
        ImageView image;
        if (!grabber_->Grab(window, x, y, w, h, &image) || image.width != w || image.height != h)
            return ::testing::AssertionFailure() << "no " << w << "x" << h << " image";
        for (int row = 0; row < h; ++row)
            for (int col = 0; col < w; ++col) {
                const int sx = x + col, sy = y + row;
                const bool inside = sx >= 0 && sy >= 0 && sx < limitW && sy < limitH;
                const uint8_t* p = image.data + static_cast<size_t>(row) * image.stride + col * 4;
                const uint32_t got = uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
                if (got != (inside ? colour(sx, sy) : 0))
                    return ::testing::AssertionFailure() << "pixel (" << sx << ", " << sy << ")";
            }
        return ::testing::AssertionSuccess();
    }
    XClient x_;
    std::unique_ptr<ScreenGrabber> grabber_;
    int before_ = 0;
};

TEST_P(Grabber, ReadsTheScreenExactlyAndBlackOutsideIt) {
    x_.Paint(x_.root(), 0, 0, 1920, 1080, ScreenPattern);
    // Smaller, then larger requests than the first (the segment is reused, then grown); across
    // the edges, wholly outside.
    const int cases[][4] = {{200, 100, 160, 120}, {211, 97, 33, 7}, {0, 0, 1920, 1080},
                            {1880, 1050, 80, 60}, {-8, -4, 16, 8},  {-100, 500, 2200, 10},
                            {3000, -3000, 8, 8}};
    for (const auto& c : cases)
        EXPECT_TRUE(Grabs(nullptr, c[0], c[1], c[2], c[3], 1920, 1080, ScreenPattern)) << c[0];
    EXPECT_EQ(SysvMappings() - before_, GetParam() ? 1 : 0);
    // Each grab sees the current contents.
    const auto grey = [](int, int) { return 0x123456u; };
    x_.Paint(x_.root(), 200, 100, 160, 120, grey);
    EXPECT_TRUE(Grabs(nullptr, 200, 100, 160, 120, 1920, 1080, grey));
    ImageView image;
    EXPECT_FALSE(grabber_->Grab(nullptr, 0, 0, 0, 10, &image));
    EXPECT_FALSE(grabber_->Grab(nullptr, 0, 0, 10, -1, &image));
}

TEST_P(Grabber, ReadsAHostWindowInItsOwnCoordinates) {
    const auto white = [](int, int) { return 0xffffffu; };
    x_.Paint(x_.root(), 0, 0, 1920, 1080, white);
    const Window host = x_.CreateWindow(0, 300, 250, 200, 150, "Vistrel");
    x_.MapAndWait(host);
    x_.Paint(host, 0, 0, 200, 150, WindowPattern);
    // Beyond the window's edges: black, not the screen around it.
    for (const auto& c : {std::vector<int>{20, 30, 50, 40}, {180, 140, 40, 20}, {-10, -10, 30, 30}})
        EXPECT_TRUE(Grabs(Hwnd(host), c[0], c[1], c[2], c[3], 200, 150, WindowPattern)) << c[0];
    // A window partly off the screen yields only its on-screen part.
    XMoveWindow(x_.get(), host, 1850, 1030);
    x_.Sync();
    x_.Paint(host, 0, 0, 200, 150, WindowPattern);
    EXPECT_TRUE(Grabs(Hwnd(host), 60, 40, 20, 20, 70, 50, WindowPattern));
    // Unreadable windows fail the grab without harming the process or the grabber.
    XUnmapWindow(x_.get(), host);
    x_.Sync();
    ImageView image;
    EXPECT_FALSE(grabber_->Grab(Hwnd(host), 0, 0, 10, 10, &image));
    EXPECT_FALSE(grabber_->Grab(Hwnd(0x3ffffff0), 0, 0, 10, 10, &image));
    EXPECT_TRUE(Grabs(nullptr, 0, 0, 64, 64, 1920, 1080, white));
}

INSTANTIATE_TEST_SUITE_P(Transfer, Grabber, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Shm" : "GetImage";
                         });

}  // namespace
}  // namespace vistrec::platform
