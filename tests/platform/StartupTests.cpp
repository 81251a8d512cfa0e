// A recorder may be created before the X server is up, and the server may go away and come
// back: the display server then reports no display and connects once the server is there.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "common/XvfbFixture.h"
#include "platform/Platform.h"

namespace vistrec {
namespace platform {
namespace {

TEST(DisplayStartup, ReachesAServerThatStartsLater) {
    const int number = test::XvfbServer::FindFreeDisplay(100 + static_cast<int>(getpid() % 400));
    ASSERT_GE(number, 0);
    test::XvfbServer::Options options;
    options.display = number;
    test::XvfbServer server(options);
    server.ExportDisplay();  // DISPLAY names the server before it runs

    DisplayServer& display = Display();
    EXPECT_EQ(display.MonitorCount(), 0);
    EXPECT_TRUE(display.Monitors().empty());
    RECT rect{};
    EXPECT_FALSE(display.DisplayDeviceRect(0, &rect));
    EXPECT_FALSE(display.FindTargetWindowRect(&rect));
    PointerImage pointer;
    EXPECT_FALSE(display.GetPointer(&pointer));
    EXPECT_FALSE(pointer.visible);
    EXPECT_EQ(display.CreateGrabber(), nullptr);
    PostHostNotification(0);  // nowhere to go

    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    // Reconnection is tried at most once a second.
    int count = 0;
    for (int waited = 0; waited < 3000 && count == 0; waited += 50) {
        count = display.MonitorCount();
        if (count == 0)
            SleepMs(50);
    }
    EXPECT_EQ(count, 1);
    std::unique_ptr<ScreenGrabber> grabber = display.CreateGrabber();
    ASSERT_NE(grabber, nullptr);
    ImageView image;
    EXPECT_TRUE(grabber->Grab(nullptr, 0, 0, 32, 32, &image));
    EXPECT_EQ(image.width, 32);
    EXPECT_TRUE(display.GetPointer(&pointer));

    // The server goes away under a live grabber and the shared connection: the process goes
    // on, requests fail, and a server that comes back is reached again.
    server.Stop();
    EXPECT_FALSE(grabber->Grab(nullptr, 0, 0, 32, 32, &image));
    EXPECT_FALSE(grabber->Grab(nullptr, 0, 0, 32, 32, &image));
    EXPECT_EQ(display.MonitorCount(), 0);
    PostHostNotification(0);
    grabber.reset();
    ASSERT_TRUE(server.Start(&error)) << error;
    server.ExportDisplay();  // Stop gave DISPLAY its old value
    count = 0;
    for (int waited = 0; waited < 3000 && count == 0; waited += 50) {
        count = display.MonitorCount();
        if (count == 0)
            SleepMs(50);
    }
    EXPECT_EQ(count, 1);
    grabber = display.CreateGrabber();
    ASSERT_NE(grabber, nullptr);
    EXPECT_TRUE(grabber->Grab(nullptr, 0, 0, 32, 32, &image));
}

}  // namespace
}  // namespace platform
}  // namespace vistrec
