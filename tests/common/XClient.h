// The tests' own X client of $DISPLAY: windows with WM_CLASS, host messages, the pointer and
// painted patterns. Windows it creates go away with it. Not thread-safe.
#ifndef VISTREC_TESTS_COMMON_XCLIENT_H
#define VISTREC_TESTS_COMMON_XCLIENT_H

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

#include "Process.h"

namespace vistrec {
namespace test {

struct XMessage {
    std::string type;  // atom name of message_type
    long data[5];
};

class XClient {
  public:
    XClient() : d_(XOpenDisplay(nullptr)) {}
    ~XClient() {
        if (d_)
            XCloseDisplay(d_);
    }
    XClient(const XClient&) = delete;
    XClient& operator=(const XClient&) = delete;

    bool ok() const { return d_ != nullptr; }
    ::Display* get() const { return d_; }
    Window root() const { return DefaultRootWindow(d_); }

    // A window at (x, y) of `parent` (0: the root) with WM_CLASS class `windowClass` (null:
    // none), not managed by a window manager.
    Window CreateWindow(Window parent, int x, int y, int w, int h, const char* windowClass,
                        bool map = false) {
        XSetWindowAttributes a{};
        a.background_pixel = 0x202020;
        a.override_redirect = True;
        a.event_mask = StructureNotifyMask | ExposureMask;
        const Window window =
            XCreateWindow(d_, parent ? parent : root(), x, y, static_cast<unsigned>(w),
                          static_cast<unsigned>(h), 0, CopyFromParent, InputOutput, CopyFromParent,
                          CWBackPixel | CWOverrideRedirect | CWEventMask, &a);
        if (windowClass) {
            std::string name = "test", klass = windowClass;
            XClassHint hint{&name[0], &klass[0]};
            XSetClassHint(d_, window, &hint);
        }
        if (map)
            XMapWindow(d_, window);
        XSync(d_, False);
        return window;
    }
    void MapAndWait(Window window) {
        XMapWindow(d_, window);
        WaitForEvent(window, Expose, nullptr, 5000);
    }

    // Waits up to timeoutMs for an event on `window` (0: any) of `type`; true and *out then.
    bool WaitForEvent(Window window, int type, XEvent* out, int timeoutMs) {
        XEvent e;
        for (const int64_t end = MonotonicMs() + timeoutMs; XFlush(d_), MonotonicMs() < end;) {
            while (XPending(d_) > 0) {
                XNextEvent(d_, &e);
                if (e.type == type && (window == 0 || e.xany.window == window)) {
                    if (out)
                        *out = e;
                    return true;
                }
            }
            pollfd p{ConnectionNumber(d_), POLLIN, 0};
            poll(&p, 1, 10);
        }
        return false;
    }
    // Client messages for this client's windows within timeoutMs (sooner once `expected` have
    // come; 0: the whole time).
    std::vector<XMessage> CollectClientMessages(int timeoutMs, size_t expected) {
        std::vector<XMessage> messages;
        const int64_t end = MonotonicMs() + timeoutMs;
        for (XEvent e; (expected == 0 || messages.size() < expected) &&
                       WaitForEvent(0, ClientMessage, &e, static_cast<int>(end - MonotonicMs()));) {
            char* name = XGetAtomName(d_, e.xclient.message_type);
            messages.push_back(XMessage{name ? name : "", {}});
            XFree(name);
            std::copy(e.xclient.data.l, e.xclient.data.l + 5, messages.back().data);
        }
        return messages;
    }

    void WarpPointer(int x, int y) {
        XWarpPointer(d_, None, root(), 0, 0, 0, 0, x, y);
        XSync(d_, False);
    }
    void Sync() { XSync(d_, False); }

    // Fills (x, y, w, h) of a drawable with colour(x, y) as 0x00RRGGBB.
    void Paint(Drawable drawable, int x, int y, int w, int h,
               const std::function<uint32_t(int, int)>& colour) {
        const int s = DefaultScreen(d_);
        char* data = static_cast<char*>(malloc(static_cast<size_t>(w) * h * 4));
        XImage* image = XCreateImage(d_, DefaultVisual(d_, s), DefaultDepth(d_, s), ZPixmap, 0,
                                     data, w, h, 32, 0);
        for (int row = 0; row < h; ++row)
            for (int col = 0; col < w; ++col)
                XPutPixel(image, col, row, colour(x + col, y + row));
        XPutImage(d_, drawable, DefaultGC(d_, s), image, 0, 0, x, y, w, h);
        XDestroyImage(image);  // frees data too
        XSync(d_, False);
    }

  private:
    ::Display* d_;
};

}  // namespace test
}  // namespace vistrec

#endif  // VISTREC_TESTS_COMMON_XCLIENT_H
