// Screen pixels from X11: MIT-SHM into a reused shared segment, XGetImage when that is missing.
#ifndef VISTREC_PLATFORM_LINUX_X11SCREENGRABBER_H
#define VISTREC_PLATFORM_LINUX_X11SCREENGRABBER_H

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include <memory>
#include <vector>

#include "platform/Platform.h"
#include "platform/linux/X11Support.h"

namespace vistrec {
namespace platform {

// A System V shared segment attached to this process and to the X server. It is marked for
// removal as soon as both are attached, so it disappears with the last of them even when the
// process dies.
class ShmSegment {
  public:
    ShmSegment() = default;
    ~ShmSegment() { Release(); }
    ShmSegment(const ShmSegment&) = delete;
    ShmSegment& operator=(const ShmSegment&) = delete;

    // Replaces the segment with one of `bytes` bytes; false (and no segment) on failure.
    bool Create(::Display* display, size_t bytes);
    void Release();

    XShmSegmentInfo* info() { return &info_; }
    size_t size() const { return size_; }
    bool attached() const { return display_ != nullptr; }

  private:
    ::Display* display_ = nullptr;  // connection the server side is attached through
    XShmSegmentInfo info_{};
    size_t size_ = 0;
};

// One grabber per capturing thread: it owns its own connection, so grabs never wait for other
// users of the display.
//
// MIT-SHM can be switched off for a whole process with VISTREC_NO_SHM=1 in the environment,
// read when each grabber is created (the XGetImage path is then used, as on a remote display).
class X11ScreenGrabber final : public ScreenGrabber {
  public:
    // Null when no X server can be reached.
    static std::unique_ptr<X11ScreenGrabber> Open();
    ~X11ScreenGrabber() override;

    bool Grab(HWND hostWnd, int x, int y, int w, int h, ImageView* out) override;
    bool ConnectionLost() const override;

  private:
    explicit X11ScreenGrabber(::Display* display);

    // Reads (x, y, w, h) of the drawable, which must lie inside it, into an image of the
    // drawable's depth; null on failure. The image stays valid until the next read.
    XImage* Read(Drawable drawable, Visual* visual, int depth, int x, int y, int w, int h);
    XImage* ReadShm(Drawable drawable, Visual* visual, int depth, int x, int y, int w, int h);

    x11::ConnectionPtr display_;
    bool useShm_ = false;
    ShmSegment segment_;
    x11::ImagePtr shmImage_;       // header over segment_, remade when size or format changes
    Visual* shmVisual_ = nullptr;  // visual shmImage_ was made for
    x11::ImagePtr plainImage_;     // last XGetImage result
    std::vector<uint8_t> frame_;   // composed output when it cannot point into an image
};

}  // namespace platform
}  // namespace vistrec

#endif  // VISTREC_PLATFORM_LINUX_X11SCREENGRABBER_H
