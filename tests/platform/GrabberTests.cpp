// Screen grabs against a real Xvfb, through MIT-SHM and through plain XGetImage.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <stdlib.h>

#include <fstream>
#include <functional>
#include <string>

#include "platform/Platform.h"
#include "platform/X11TestKit.h"

namespace vistrec {
namespace platform {
namespace {

using test::TestClient;

// System V shared memory mappings of this process (the grabber's segment shows up here).
int SysvMappings() {
    std::ifstream maps("/proc/self/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);) {
        if (line.find("/SYSV") != std::string::npos)
            ++count;
    }
    return count;
}

// Compares the grabbed image with colour(x + col, y + row) inside the readable area
// [0, limitW) x [0, limitH) of the source, and with black outside it. The fourth byte is free.
::testing::AssertionResult ImageMatches(const ImageView& image, int x, int y, int w, int h,
                                        int limitW, int limitH,
                                        const std::function<uint32_t(int, int)>& colour) {
    if (image.width != w || image.height != h || image.stride < w * 4 || !image.data)
        return ::testing::AssertionFailure() << "image is " << image.width << "x" << image.height;
    for (int row = 0; row < h; ++row) {
        for (int col = 0; col < w; ++col) {
            const int sx = x + col, sy = y + row;
            const bool inside = sx >= 0 && sy >= 0 && sx < limitW && sy < limitH;
            const uint32_t want = inside ? colour(sx, sy) : 0;
            const uint8_t* p = image.data + static_cast<size_t>(row) * image.stride + col * 4;
            const uint32_t got = (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
            if (got != want) {
                return ::testing::AssertionFailure() << "pixel (" << sx << ", " << sy << ") is "
                                                     << std::hex << got << ", expected " << want;
            }
        }
    }
    return ::testing::AssertionSuccess();
}

// Runs each case once through MIT-SHM and once with it switched off.
class Grabber : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        ASSERT_NE(client_.get(), nullptr);
        if (GetParam())
            unsetenv("VISTREC_NO_SHM");
        else
            setenv("VISTREC_NO_SHM", "1", 1);
        mappingsBefore_ = SysvMappings();
        grabber_ = Display().CreateGrabber();
        unsetenv("VISTREC_NO_SHM");
        ASSERT_NE(grabber_, nullptr);
    }
    void TearDown() override {
        grabber_.reset();
        // The shared segment goes with the grabber.
        EXPECT_EQ(SysvMappings(), mappingsBefore_);
    }
    bool Grab(HWND window, int x, int y, int w, int h) {
        return grabber_->Grab(window, x, y, w, h, &image_);
    }

    TestClient client_;
    std::unique_ptr<ScreenGrabber> grabber_;
    ImageView image_;
    int mappingsBefore_ = 0;
};

TEST_P(Grabber, ReadsTheScreenExactlyAndBlackOutsideIt) {
    const Window root = client_.root();
    client_.Paint(root, 0, 0, 1920, 1080, test::ScreenPattern);

    ASSERT_TRUE(Grab(nullptr, 200, 100, 160, 120));
    EXPECT_TRUE(ImageMatches(image_, 200, 100, 160, 120, 1920, 1080, test::ScreenPattern));
    // Through MIT-SHM the pixels arrive in a shared segment; without it there is none.
    EXPECT_EQ(SysvMappings() - mappingsBefore_, GetParam() ? 1 : 0);

    // Smaller, then larger requests than the first (the segment is reused, then grown).
    ASSERT_TRUE(Grab(nullptr, 211, 97, 33, 7));
    EXPECT_TRUE(ImageMatches(image_, 211, 97, 33, 7, 1920, 1080, test::ScreenPattern));
    ASSERT_TRUE(Grab(nullptr, 0, 0, 1920, 1080));
    EXPECT_TRUE(ImageMatches(image_, 0, 0, 1920, 1080, 1920, 1080, test::ScreenPattern));
    EXPECT_EQ(SysvMappings() - mappingsBefore_, GetParam() ? 1 : 0);

    // Across the right and bottom edges, across the left and top ones, wholly outside.
    ASSERT_TRUE(Grab(nullptr, 1880, 1050, 80, 60));
    EXPECT_TRUE(ImageMatches(image_, 1880, 1050, 80, 60, 1920, 1080, test::ScreenPattern));
    ASSERT_TRUE(Grab(nullptr, -8, -4, 16, 8));
    EXPECT_TRUE(ImageMatches(image_, -8, -4, 16, 8, 1920, 1080, test::ScreenPattern));
    ASSERT_TRUE(Grab(nullptr, -100, 500, 2200, 10));
    EXPECT_TRUE(ImageMatches(image_, -100, 500, 2200, 10, 1920, 1080, test::ScreenPattern));
    ASSERT_TRUE(Grab(nullptr, 3000, -3000, 8, 8));
    EXPECT_TRUE(ImageMatches(image_, 3000, -3000, 8, 8, 1920, 1080, test::ScreenPattern));

    // The screen changes between grabs and each grab sees the current contents.
    client_.Paint(root, 200, 100, 160, 120, [](int, int) { return 0x123456u; });
    ASSERT_TRUE(Grab(nullptr, 200, 100, 160, 120));
    EXPECT_TRUE(
        ImageMatches(image_, 200, 100, 160, 120, 1920, 1080, [](int, int) { return 0x123456u; }));

    EXPECT_FALSE(Grab(nullptr, 0, 0, 0, 10));
    EXPECT_FALSE(Grab(nullptr, 0, 0, 10, -1));
}

TEST_P(Grabber, ReadsAHostWindowInItsOwnCoordinates) {
    client_.Paint(client_.root(), 0, 0, 1920, 1080, [](int, int) { return 0xffffffu; });
    const Window host = client_.CreateWindow(client_.root(), 300, 250, 200, 150, "Vistrel");
    client_.MapAndWait(host);
    client_.Paint(host, 0, 0, 200, 150, test::WindowPattern);
    const HWND hostWnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(host));

    ASSERT_TRUE(Grab(hostWnd, 20, 30, 50, 40));
    EXPECT_TRUE(ImageMatches(image_, 20, 30, 50, 40, 200, 150, test::WindowPattern));
    // Beyond the window's edges: black, not the screen around it.
    ASSERT_TRUE(Grab(hostWnd, 180, 140, 40, 20));
    EXPECT_TRUE(ImageMatches(image_, 180, 140, 40, 20, 200, 150, test::WindowPattern));
    ASSERT_TRUE(Grab(hostWnd, -10, -10, 30, 30));
    EXPECT_TRUE(ImageMatches(image_, -10, -10, 30, 30, 200, 150, test::WindowPattern));

    // A window partly off the screen yields only its on-screen part.
    XMoveWindow(client_.get(), host, 1850, 1030);
    XSync(client_.get(), False);
    client_.Paint(host, 0, 0, 200, 150, test::WindowPattern);
    ASSERT_TRUE(Grab(hostWnd, 60, 40, 20, 20));
    EXPECT_TRUE(ImageMatches(image_, 60, 40, 20, 20, 70, 50, test::WindowPattern));

    // Unreadable windows fail the grab without harming the process or the grabber.
    XUnmapWindow(client_.get(), host);
    XSync(client_.get(), False);
    EXPECT_FALSE(Grab(hostWnd, 0, 0, 10, 10));
    const HWND bogus = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x3ffffff0));
    EXPECT_FALSE(Grab(bogus, 0, 0, 10, 10));
    ASSERT_TRUE(Grab(nullptr, 0, 0, 64, 64));
    EXPECT_TRUE(ImageMatches(image_, 0, 0, 64, 64, 1920, 1080, [](int, int) { return 0xffffffu; }));
}

INSTANTIATE_TEST_SUITE_P(Transfer, Grabber, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Shm" : "GetImage";
                         });

}  // namespace
}  // namespace platform
}  // namespace vistrec
