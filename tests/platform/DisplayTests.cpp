// The display server against a real Xvfb: monitors, the target window, host notifications and
// the pointer.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdlib.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/XvfbFixture.h"
#include "platform/Platform.h"
#include "platform/X11TestKit.h"

namespace vistrec {
namespace platform {
namespace {

using test::TestClient;

// One server for the whole program: the backend's process-wide connection stays on it.
::testing::Environment* const kXvfb =
    ::testing::AddGlobalTestEnvironment(new test::XvfbEnvironment());

bool SameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}
::testing::AssertionResult RectIs(const RECT& actual, int l, int t, int r, int b) {
    if (SameRect(actual, RECT{l, t, r, b}))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "{" << actual.left << ", " << actual.top << ", "
                                         << actual.right << ", " << actual.bottom << "}";
}

int RunQuietly(const std::string& command) {
    return system((command + " >/dev/null 2>&1").c_str());
}

TEST(DisplayServer, MonitorsFollowRandrInServerOrder) {
    DisplayServer& display = Display();
    // A plain Xvfb screen: one monitor, the whole root window.
    ASSERT_EQ(display.MonitorCount(), 1);
    std::vector<RECT> monitors = display.Monitors();
    ASSERT_EQ(monitors.size(), 1u);
    EXPECT_TRUE(RectIs(monitors[0], 0, 0, 1920, 1080));
    RECT rect{};
    EXPECT_TRUE(display.DisplayDeviceRect(0, &rect));
    EXPECT_TRUE(RectIs(rect, 0, 0, 1920, 1080));
    EXPECT_FALSE(display.DisplayDeviceRect(1, &rect));
    EXPECT_FALSE(display.DisplayDeviceRect(-1, &rect));

    // Two monitors, the right one defined first: the server lists them in that order and so
    // must we (no sorting by position).
    ASSERT_EQ(RunQuietly("xrandr --setmonitor RIGHT 920/243x700/185+1000+0 none"), 0);
    ASSERT_EQ(RunQuietly("xrandr --setmonitor LEFT 1000/264x1080/286+0+0 screen"), 0);
    monitors = display.Monitors();
    EXPECT_EQ(display.MonitorCount(), 2);
    ASSERT_EQ(monitors.size(), 2u);
    EXPECT_TRUE(RectIs(monitors[0], 1000, 0, 1920, 700));
    EXPECT_TRUE(RectIs(monitors[1], 0, 0, 1000, 1080));
    EXPECT_TRUE(display.DisplayDeviceRect(1, &rect));
    EXPECT_TRUE(RectIs(rect, 0, 0, 1000, 1080));
    EXPECT_FALSE(display.DisplayDeviceRect(2, &rect));

    // A monitor going away shows at once.
    ASSERT_EQ(RunQuietly("xrandr --delmonitor RIGHT"), 0);
    EXPECT_EQ(display.MonitorCount(), 1);
    ASSERT_EQ(RunQuietly("xrandr --delmonitor LEFT"), 0);
    monitors = display.Monitors();
    ASSERT_EQ(monitors.size(), 1u);
    EXPECT_TRUE(RectIs(monitors[0], 0, 0, 1920, 1080));
}

TEST(DisplayServer, FindsTargetWindowByItsDockDescendant) {
    TestClient client;
    ASSERT_NE(client.get(), nullptr);
    DisplayServer& display = Display();
    RECT rect{};
    EXPECT_FALSE(display.FindTargetWindowRect(&rect));

    // Bottom of the stacking order: a "screenClass" window without a dock, and a lone dock.
    const Window decoy = client.CreateWindow(client.root(), 10, 10, 100, 100, "screenClass");
    client.CreateWindow(decoy, 0, 0, 50, 20, "CommandBar");
    client.CreateWindow(client.root(), 600, 10, 100, 30, "MsoCommandBarDock");
    client.MapAndWait(decoy);
    XSync(client.get(), False);
    EXPECT_FALSE(display.FindTargetWindowRect(&rect));

    // The target: the dock is a grandchild.
    const Window target = client.CreateWindow(client.root(), 200, 150, 640, 480, "screenClass");
    const Window pane = client.CreateWindow(target, 5, 5, 600, 100, nullptr);
    client.CreateWindow(pane, 0, 0, 600, 30, "MsoCommandBarDock");
    XMapSubwindows(client.get(), target);
    client.MapAndWait(target);
    ASSERT_TRUE(display.FindTargetWindowRect(&rect));
    EXPECT_TRUE(RectIs(rect, 200, 150, 840, 630));

    // Moves are seen on the next lookup.
    XMoveWindow(client.get(), target, 1500, 900);
    XSync(client.get(), False);
    ASSERT_TRUE(display.FindTargetWindowRect(&rect));
    EXPECT_TRUE(RectIs(rect, 1500, 900, 2140, 1380));

    // Under a reparenting window manager the client sits in a frame without WM_CLASS.
    XDestroyWindow(client.get(), target);
    const Window frame = client.CreateWindow(client.root(), 50, 60, 300, 200, nullptr);
    const Window framed = client.CreateWindow(frame, 4, 20, 292, 176, "screenClass");
    client.CreateWindow(framed, 0, 0, 292, 30, "MsoCommandBarDock");
    XSync(client.get(), False);
    ASSERT_TRUE(display.FindTargetWindowRect(&rect));
    EXPECT_TRUE(RectIs(rect, 54, 80, 346, 256));

    XDestroyWindow(client.get(), frame);
    XSync(client.get(), False);
    EXPECT_FALSE(display.FindTargetWindowRect(&rect));
}

TEST(HostNotification, ReachesTheVistrelWindowOnly) {
    TestClient client;
    ASSERT_NE(client.get(), nullptr);
    const Atom notify = XInternAtom(client.get(), "WM_RECORDER_NOTIFY", False);

    // No host window: nothing is sent, in particular not to other windows.
    const Window other = client.CreateWindow(client.root(), 0, 0, 10, 10, "Vistrel2");
    XSync(client.get(), False);
    PostHostNotification(-5);
    EXPECT_FALSE(client.WaitForEvent(other, ClientMessage, nullptr, 300));

    const Window host = client.CreateWindow(client.root(), 0, 0, 10, 10, "Vistrel");
    XSync(client.get(), False);
    PostHostNotification(-5);
    XEvent event{};
    ASSERT_TRUE(client.WaitForEvent(host, ClientMessage, &event, 3000));
    EXPECT_EQ(event.xclient.message_type, notify);
    EXPECT_EQ(event.xclient.format, 32);
    EXPECT_EQ(event.xclient.data.l[0], 5028);
    EXPECT_EQ(event.xclient.data.l[1], 0);
    EXPECT_EQ(event.xclient.data.l[2], -5);
    EXPECT_FALSE(client.WaitForEvent(other, ClientMessage, nullptr, 100));

    // The window is looked up again on each post: a framed host window is found too.
    XDestroyWindow(client.get(), host);
    const Window frame = client.CreateWindow(client.root(), 0, 0, 20, 20, nullptr);
    const Window framedHost = client.CreateWindow(frame, 2, 2, 10, 10, "Vistrel");
    XSync(client.get(), False);
    PostHostNotification(-101);
    ASSERT_TRUE(client.WaitForEvent(framedHost, ClientMessage, &event, 3000));
    EXPECT_EQ(event.xclient.data.l[0], 5028);
    EXPECT_EQ(event.xclient.data.l[2], -101);
}

// A two-colour 16 x 16 cursor: left half foreground (red), right half background (blue); with
// `visible` false its mask is empty.
Cursor MakeCursor(::Display* d, bool visible, int xHot, int yHot) {
    unsigned char source[32], mask[32];
    for (int row = 0; row < 16; ++row) {
        source[row * 2] = 0xff;  // bits are least significant first: columns 0..7
        source[row * 2 + 1] = 0x00;
        mask[row * 2] = mask[row * 2 + 1] = visible ? 0xff : 0x00;
    }
    const Window root = DefaultRootWindow(d);
    Pixmap sourceMap = XCreateBitmapFromData(d, root, reinterpret_cast<char*>(source), 16, 16);
    Pixmap maskMap = XCreateBitmapFromData(d, root, reinterpret_cast<char*>(mask), 16, 16);
    XColor red{}, blue{};
    red.red = 0xffff;
    blue.blue = 0xffff;
    red.flags = blue.flags = DoRed | DoGreen | DoBlue;
    const Cursor cursor =
        XCreatePixmapCursor(d, sourceMap, maskMap, &red, &blue, static_cast<unsigned>(xHot),
                            static_cast<unsigned>(yHot));
    XFreePixmap(d, sourceMap);
    XFreePixmap(d, maskMap);
    return cursor;
}

TEST(DisplayServer, PointerImageAndHotspotPositionFromXFixes) {
    TestClient client;
    ASSERT_NE(client.get(), nullptr);
    DisplayServer& display = Display();
    PointerImage pointer;

    // The server's default pointer.
    XWarpPointer(client.get(), None, client.root(), 0, 0, 0, 0, 1234, 567);
    XSync(client.get(), False);
    ASSERT_TRUE(display.GetPointer(&pointer));
    EXPECT_TRUE(pointer.visible);
    EXPECT_EQ(pointer.x, 1234);
    EXPECT_EQ(pointer.y, 567);
    EXPECT_GT(pointer.width, 0);
    EXPECT_GT(pointer.height, 0);
    EXPECT_EQ(pointer.argb.size(), static_cast<size_t>(pointer.width) * pointer.height);

    // A window with its own cursor under the pointer.
    const Window window = client.CreateWindow(client.root(), 0, 0, 400, 400, nullptr);
    const Cursor shown = MakeCursor(client.get(), true, 3, 5);
    XDefineCursor(client.get(), window, shown);
    client.MapAndWait(window);
    XWarpPointer(client.get(), None, client.root(), 0, 0, 0, 0, 100, 120);
    XSync(client.get(), False);
    ASSERT_TRUE(display.GetPointer(&pointer));
    EXPECT_TRUE(pointer.visible);
    EXPECT_EQ(pointer.x, 100);
    EXPECT_EQ(pointer.y, 120);
    EXPECT_EQ(pointer.xHotspot, 3);
    EXPECT_EQ(pointer.yHotspot, 5);
    ASSERT_EQ(pointer.width, 16);
    ASSERT_EQ(pointer.height, 16);
    ASSERT_EQ(pointer.argb.size(), 256u);
    for (int row = 0; row < 16; ++row) {
        EXPECT_EQ(pointer.argb[row * 16 + 0], 0xffff0000u) << row;
        EXPECT_EQ(pointer.argb[row * 16 + 7], 0xffff0000u) << row;
        EXPECT_EQ(pointer.argb[row * 16 + 8], 0xff0000ffu) << row;
        EXPECT_EQ(pointer.argb[row * 16 + 15], 0xff0000ffu) << row;
    }
    int cx = 0, cy = 0;
    display.PointerNominalSize(pointer, &cx, &cy);
    EXPECT_EQ(cx, 16);
    EXPECT_EQ(cy, 16);

    // A wholly transparent cursor is a hidden pointer.
    const Cursor hidden = MakeCursor(client.get(), false, 0, 0);
    XDefineCursor(client.get(), window, hidden);
    XSync(client.get(), False);
    ASSERT_TRUE(display.GetPointer(&pointer));
    EXPECT_FALSE(pointer.visible);
    EXPECT_EQ(pointer.x, 100);

    XFreeCursor(client.get(), shown);
    XFreeCursor(client.get(), hidden);
}

TEST(DisplayServer, ServesSeveralThreadsAtOnce) {
    TestClient client;
    ASSERT_NE(client.get(), nullptr);
    const Window target = client.CreateWindow(client.root(), 30, 40, 200, 100, "screenClass");
    client.CreateWindow(target, 0, 0, 200, 20, "MsoCommandBarDock");
    XSync(client.get(), False);

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&failures, t] {
            DisplayServer& display = Display();
            for (int i = 0; i < 50; ++i) {
                RECT rect{};
                PointerImage pointer;
                switch ((t + i) % 4) {
                    case 0:
                        if (display.MonitorCount() != 1)
                            ++failures;
                        break;
                    case 1:
                        if (!display.FindTargetWindowRect(&rect) || !RectIs(rect, 30, 40, 230, 140))
                            ++failures;
                        break;
                    case 2:
                        if (!display.GetPointer(&pointer) || pointer.argb.empty())
                            ++failures;
                        break;
                    default:
                        PostHostNotification(0);  // no host window: nothing to do
                        break;
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(DisplayServer, FakeReplacesTheBackendForUnitTests) {
    class OneMonitor : public DisplayServer {
      public:
        int MonitorCount() override { return 1; }
        std::vector<RECT> Monitors() override { return {RECT{0, 0, 1366, 768}}; }
        bool DisplayDeviceRect(int, RECT*) override { return false; }
        bool FindTargetWindowRect(RECT*) override { return false; }
        void PointerNominalSize(const PointerImage&, int*, int*) override {}
        bool GetPointer(PointerImage*) override { return false; }
        std::unique_ptr<ScreenGrabber> CreateGrabber() override { return nullptr; }
    } fake;
    DisplayServer* backend = &Display();
    SetDisplayForTesting(&fake);
    EXPECT_EQ(&Display(), &fake);
    SetDisplayForTesting(nullptr);
    EXPECT_EQ(&Display(), backend);
    EXPECT_EQ(Display().Monitors().size(), 1u);
    EXPECT_EQ(Display().Monitors()[0].right, 1920);
}

}  // namespace
}  // namespace platform
}  // namespace vistrec
