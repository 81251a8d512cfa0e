// Test-side X11 helpers: a client connection of the test itself, windows with WM_CLASS,
// known pixel patterns and waiting for events.
#ifndef VISTREC_TESTS_PLATFORM_X11TESTKIT_H
#define VISTREC_TESTS_PLATFORM_X11TESTKIT_H

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>

namespace vistrec {
namespace test {

// The test's own client connection to $DISPLAY. Windows it creates go away when it closes.
class TestClient {
  public:
    TestClient() : display_(XOpenDisplay(nullptr)) {}
    ~TestClient() {
        if (display_)
            XCloseDisplay(display_);
    }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    ::Display* get() const { return display_; }
    Window root() const { return DefaultRootWindow(display_); }

    // A window at (x, y) of the parent, with WM_CLASS class `windowClass` (null: none).
    Window CreateWindow(Window parent, int x, int y, int w, int h, const char* windowClass) {
        XSetWindowAttributes attributes{};
        attributes.background_pixel = 0x202020;
        attributes.event_mask = StructureNotifyMask | ExposureMask;
        const Window window = XCreateWindow(
            display_, parent, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h), 0,
            CopyFromParent, InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &attributes);
        if (windowClass) {
            std::string name = "test", klass = windowClass;
            XClassHint hint{&name[0], &klass[0]};
            XSetClassHint(display_, window, &hint);
        }
        return window;
    }

    // Maps the window and waits until it is on the screen and exposed.
    void MapAndWait(Window window) {
        XMapWindow(display_, window);
        WaitForEvent(window, Expose, nullptr, 5000);
    }

    // Waits up to timeoutMs for an event of `type` on `window`; true and *out when one came.
    bool WaitForEvent(Window window, int type, XEvent* out, int timeoutMs) {
        XFlush(display_);
        const int step = 10;
        for (int waited = 0;; waited += step) {
            XEvent event;
            while (XCheckTypedWindowEvent(display_, window, type, &event)) {
                if (out)
                    *out = event;
                return true;
            }
            // ClientMessages sent with an empty mask are not matched by window and type above.
            while (type == ClientMessage && XPending(display_)) {
                XNextEvent(display_, &event);
                if (event.type == ClientMessage && event.xclient.window == window) {
                    if (out)
                        *out = event;
                    return true;
                }
            }
            if (waited >= timeoutMs)
                return false;
            pollfd fd{ConnectionNumber(display_), POLLIN, 0};
            poll(&fd, 1, step);
        }
    }

    // Fills (x, y, w, h) of the drawable with colour(x + originX, y + originY) as 0x00RRGGBB.
    void Paint(Drawable drawable, int x, int y, int w, int h,
               const std::function<uint32_t(int, int)>& colour) {
        const int screen = DefaultScreen(display_);
        char* data = static_cast<char*>(malloc(static_cast<size_t>(w) * h * 4));
        XImage* image =
            XCreateImage(display_, DefaultVisual(display_, screen),
                         static_cast<unsigned>(DefaultDepth(display_, screen)), ZPixmap, 0, data,
                         static_cast<unsigned>(w), static_cast<unsigned>(h), 32, 0);
        for (int row = 0; row < h; ++row)
            for (int col = 0; col < w; ++col)
                XPutPixel(image, col, row, colour(x + col, y + row));
        XPutImage(display_, drawable, DefaultGC(display_, screen), image, 0, 0, x, y,
                  static_cast<unsigned>(w), static_cast<unsigned>(h));
        XDestroyImage(image);  // frees data too
        XSync(display_, False);
    }

  private:
    ::Display* display_;
};

// Distinct colours that depend on both coordinates, as 0x00RRGGBB.
inline uint32_t ScreenPattern(int x, int y) {
    return (static_cast<uint32_t>((x * 3 + y * 5) & 0xff) << 16) |
           (static_cast<uint32_t>(y & 0xff) << 8) | static_cast<uint32_t>(x & 0xff);
}
inline uint32_t WindowPattern(int x, int y) {
    return (static_cast<uint32_t>((x ^ y) & 0xff) << 16) |
           (static_cast<uint32_t>((x * 7) & 0xff) << 8) | static_cast<uint32_t>((y * 11) & 0xff);
}

}  // namespace test
}  // namespace vistrec

#endif  // VISTREC_TESTS_PLATFORM_X11TESTKIT_H
