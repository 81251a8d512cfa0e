#include "platform/linux/X11ScreenGrabber.h"

#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>

namespace vistrec {
namespace platform {

namespace {

// Whether the image's pixels are already 4 bytes each in blue, green, red, fourth-byte order.
bool IsBgrx(const XImage* image) {
    return image->format == ZPixmap && image->bits_per_pixel == 32 &&
           image->byte_order == LSBFirst && image->red_mask == 0xff0000 &&
           image->green_mask == 0xff00 && image->blue_mask == 0xff;
}

// Scales the bits of `mask` in `pixel` to 0..255.
uint8_t Channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0)
        return 0;
    const int shift = __builtin_ctzl(mask);
    const unsigned long max = mask >> shift;
    return static_cast<uint8_t>(((pixel & mask) >> shift) * 255 / max);
}

// Copies `image` to (dx, dy) of a BGRA buffer whose rows are `stride` bytes long.
void CopyToBgra(XImage* image, uint8_t* dst, int stride, int dx, int dy) {
    const size_t rowBytes = static_cast<size_t>(image->width) * 4;
    if (IsBgrx(image)) {
        for (int row = 0; row < image->height; ++row) {
            memcpy(dst + static_cast<size_t>(dy + row) * stride + static_cast<size_t>(dx) * 4,
                   image->data + static_cast<size_t>(row) * image->bytes_per_line, rowBytes);
        }
        return;
    }
    // Other pixel formats (16-bit screens, other byte orders) go pixel by pixel.
    for (int row = 0; row < image->height; ++row) {
        uint8_t* out = dst + static_cast<size_t>(dy + row) * stride + static_cast<size_t>(dx) * 4;
        for (int col = 0; col < image->width; ++col, out += 4) {
            const unsigned long pixel = XGetPixel(image, col, row);
            out[0] = Channel(pixel, image->blue_mask);
            out[1] = Channel(pixel, image->green_mask);
            out[2] = Channel(pixel, image->red_mask);
            out[3] = 0;
        }
    }
}

}  // namespace

// ---- ShmSegment ---------------------------------------------------------------------------

bool ShmSegment::Create(::Display* display, size_t bytes) {
    Release();
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0)
        return false;
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        return false;
    }
    info_.shmid = id;
    info_.shmaddr = static_cast<char*>(address);
    info_.readOnly = False;
    bool attached = false;
    {
        x11::ErrorTrap trap(display);
        attached = XShmAttach(display, &info_) && trap.Sync() == 0;
    }
    // Both sides hold it now (or the server never will): it goes away with the last detach.
    shmctl(id, IPC_RMID, nullptr);
    if (!attached) {
        shmdt(address);
        info_ = XShmSegmentInfo{};
        return false;
    }
    display_ = display;
    size_ = bytes;
    return true;
}

void ShmSegment::Release() {
    if (display_ && !x11::ConnectionLost(display_)) {
        x11::ErrorTrap trap(display_);
        XShmDetach(display_, &info_);
        trap.Sync();
    }
    if (info_.shmaddr)
        shmdt(info_.shmaddr);
    display_ = nullptr;
    info_ = XShmSegmentInfo{};
    size_ = 0;
}

// ---- X11ScreenGrabber ---------------------------------------------------------------------

std::unique_ptr<X11ScreenGrabber> X11ScreenGrabber::Open() {
    ::Display* display = x11::OpenConnection();
    if (!display)
        return nullptr;
    return std::unique_ptr<X11ScreenGrabber>(new X11ScreenGrabber(display));
}

X11ScreenGrabber::X11ScreenGrabber(::Display* display) : display_(display) {
    const char* noShm = getenv("VISTREC_NO_SHM");
    const bool shmDisabled = noShm && strcmp(noShm, "1") == 0;
    useShm_ = !shmDisabled && XShmQueryExtension(display);
}

X11ScreenGrabber::~X11ScreenGrabber() = default;

bool X11ScreenGrabber::Grab(HWND hostWnd, int x, int y, int w, int h, ImageView* out) {
    if (!out || w <= 0 || h <= 0)
        return false;
    ::Display* display = display_.get();
    if (x11::ConnectionLost(display))
        return false;
    x11::ErrorTrap trap(display);
    const Window root = DefaultRootWindow(display);
    const Window drawable =
        hostWnd ? static_cast<Window>(reinterpret_cast<uintptr_t>(hostWnd)) : root;

    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display, drawable, &attributes) || trap.Sync() != 0)
        return false;
    // The readable part of the drawable, in its own coordinates.
    long left = 0, top = 0, right = attributes.width, bottom = attributes.height;
    if (drawable != root) {
        // A window yields only what is on the screen of a viewable window.
        if (attributes.map_state != IsViewable)
            return false;
        XWindowAttributes rootAttributes{};
        int wx = 0, wy = 0;
        Window child = None;
        if (!XGetWindowAttributes(display, attributes.root, &rootAttributes) ||
            !XTranslateCoordinates(display, drawable, attributes.root, 0, 0, &wx, &wy, &child))
            return false;
        left = std::max(left, -static_cast<long>(wx));
        top = std::max(top, -static_cast<long>(wy));
        right = std::min(right, static_cast<long>(rootAttributes.width) - wx);
        bottom = std::min(bottom, static_cast<long>(rootAttributes.height) - wy);
    }
    const long x0 = std::max(static_cast<long>(x), left);
    const long y0 = std::max(static_cast<long>(y), top);
    const long x1 = std::min(static_cast<long>(x) + w, right);
    const long y1 = std::min(static_cast<long>(y) + h, bottom);
    const bool clipped =
        x0 != x || y0 != y || x1 != static_cast<long>(x) + w || y1 != static_cast<long>(y) + h;

    XImage* image = nullptr;
    if (x0 < x1 && y0 < y1) {
        image = Read(drawable, attributes.visual, attributes.depth, static_cast<int>(x0),
                     static_cast<int>(y0), static_cast<int>(x1 - x0), static_cast<int>(y1 - y0));
        if (!image)
            return false;
        if (!clipped && IsBgrx(image)) {
            // Already in the caller's format: hand out the image itself.
            *out = ImageView{reinterpret_cast<const uint8_t*>(image->data), w, h,
                             image->bytes_per_line};
            return true;
        }
    }

    const int stride = w * 4;
    frame_.resize(static_cast<size_t>(stride) * h);
    if (clipped)
        std::fill(frame_.begin(), frame_.end(), 0);  // outside the drawable: black
    if (image) {
        CopyToBgra(image, frame_.data(), stride, static_cast<int>(x0 - x),
                   static_cast<int>(y0 - y));
    }
    *out = ImageView{frame_.data(), w, h, stride};
    return true;
}

bool X11ScreenGrabber::ConnectionLost() const {
    return x11::ConnectionLost(display_.get());
}

XImage* X11ScreenGrabber::Read(Drawable drawable, Visual* visual, int depth, int x, int y, int w,
                               int h) {
    if (useShm_) {
        if (XImage* image = ReadShm(drawable, visual, depth, x, y, w, h))
            return image;
    }
    x11::ErrorTrap trap(display_.get());
    plainImage_.reset(XGetImage(display_.get(), drawable, x, y, static_cast<unsigned>(w),
                                static_cast<unsigned>(h), AllPlanes, ZPixmap));
    if (trap.Sync() != 0)
        plainImage_.reset();
    if (plainImage_ && useShm_) {
        // The plain request works where the shared one failed: keep to the plain one.
        useShm_ = false;
        shmImage_.reset();
        segment_.Release();
    }
    return plainImage_.get();
}

XImage* X11ScreenGrabber::ReadShm(Drawable drawable, Visual* visual, int depth, int x, int y, int w,
                                  int h) {
    ::Display* display = display_.get();
    if (!shmImage_ || shmImage_->width != w || shmImage_->height != h ||
        shmImage_->depth != depth || shmVisual_ != visual) {
        shmImage_.reset();
        x11::ImagePtr header(XShmCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap,
                                             nullptr, segment_.info(), static_cast<unsigned>(w),
                                             static_cast<unsigned>(h)));
        if (!header)
            return nullptr;
        const size_t bytes = static_cast<size_t>(header->bytes_per_line) * h;
        // The segment only ever grows; smaller requests reuse it.
        if (!segment_.attached() || segment_.size() < bytes) {
            if (!segment_.Create(display, bytes)) {
                useShm_ = false;  // e.g. a remote display: the server cannot attach it
                return nullptr;
            }
        }
        header->data = segment_.info()->shmaddr;
        shmImage_ = std::move(header);
        shmVisual_ = visual;
    }
    x11::ErrorTrap trap(display);
    const bool ok = XShmGetImage(display, drawable, shmImage_.get(), x, y, AllPlanes) != 0;
    if (trap.Sync() != 0 || !ok)
        return nullptr;
    return shmImage_.get();
}

}  // namespace platform
}  // namespace vistrec
