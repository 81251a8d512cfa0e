// vistrec-testscene: draws the test scene on the root window of $DISPLAY, advancing the frame
// counter by wall-clock time (counter = elapsed_ms x fps / 1000), so that the counter read from
// a recorded frame tells when that frame was on the screen.
//
//   vistrec-testscene [--fps N] [--frames N] [--flash] [--mode animated|static|office|full]
//
// --mode picks the workload (see testscene::Workload); with "office" the pointer is moved too.
// Only the rectangles that change are redrawn (MIT-SHM XShmPutImage from one full-screen shared
// image, plain XPutImage without MIT-SHM), under a server grab so that a capture never sees a
// half-drawn frame. Once the first frame is on the screen it prints
// "ready <CLOCK_MONOTONIC ms of counter 0>" on standard output. SIGTERM or SIGINT end it.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "SceneRender.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

int64_t MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SleepUntilMs(int64_t ms) {
    timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (ms % 1000) * 1000000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && !g_stop) {
    }
}

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// A full-screen image the scene is rendered into, in shared memory when the server has MIT-SHM.
class ScreenImage {
  public:
    ScreenImage(Display* display, int screen) : display_(display) {
        Visual* visual = DefaultVisual(display, screen);
        const int depth = DefaultDepth(display, screen);
        const int width = DisplayWidth(display, screen), height = DisplayHeight(display, screen);
        if (XShmQueryExtension(display)) {
            image_ =
                XShmCreateImage(display, visual, depth, ZPixmap, nullptr, &shm_, width, height);
            if (image_) {
                shm_.shmid = shmget(IPC_PRIVATE,
                                    static_cast<size_t>(image_->bytes_per_line) * image_->height,
                                    IPC_CREAT | 0600);
                if (shm_.shmid >= 0) {
                    shm_.shmaddr = image_->data = static_cast<char*>(shmat(shm_.shmid, nullptr, 0));
                    shm_.readOnly = False;
                    if (shm_.shmaddr != reinterpret_cast<char*>(-1) && XShmAttach(display, &shm_)) {
                        XSync(display, False);
                        // Removed now, freed when both sides have detached, even after a crash.
                        shmctl(shm_.shmid, IPC_RMID, nullptr);
                        attached_ = true;
                        return;
                    }
                    if (shm_.shmaddr != reinterpret_cast<char*>(-1))
                        shmdt(shm_.shmaddr);
                    shmctl(shm_.shmid, IPC_RMID, nullptr);
                }
                image_->data = nullptr;
                XDestroyImage(image_);
                image_ = nullptr;
            }
        }
        // No MIT-SHM: an ordinary client-side image sent with XPutImage.
        const int bytesPerLine = width * 4;
        char* data = static_cast<char*>(std::calloc(static_cast<size_t>(bytesPerLine), height));
        image_ =
            XCreateImage(display, visual, depth, ZPixmap, 0, data, width, height, 32, bytesPerLine);
        if (!image_)
            std::free(data);
    }
    ~ScreenImage() {
        if (!image_)
            return;
        if (attached_) {
            XShmDetach(display_, &shm_);
            XSync(display_, False);
            shmdt(shm_.shmaddr);
            image_->data = nullptr;
        }
        XDestroyImage(image_);  // frees the client-side buffer of the fallback image
    }
    ScreenImage(const ScreenImage&) = delete;
    ScreenImage& operator=(const ScreenImage&) = delete;

    XImage* get() const { return image_; }
    bool shared() const { return attached_; }

    void Put(Drawable target, GC gc, const testscene::Rect& r) {
        if (attached_) {
            XShmPutImage(display_, target, gc, image_, r.x, r.y, r.x, r.y, r.w, r.h, False);
        } else {
            XPutImage(display_, target, gc, image_, r.x, r.y, r.x, r.y, r.w, r.h);
        }
    }

  private:
    Display* display_;
    XImage* image_ = nullptr;
    XShmSegmentInfo shm_{};
    bool attached_ = false;
};

int ParsePositive(const char* text, const char* option) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (!end || *end != '\0' || v <= 0 || v > 1000000000) {
        std::fprintf(stderr, "vistrec-testscene: bad value for %s: %s\n", option, text);
        std::exit(2);
    }
    return static_cast<int>(v);
}

}  // namespace

int main(int argc, char** argv) {
    testscene::SceneOptions options;
    long long frames = -1;  // run until signalled
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--fps" && i + 1 < argc) {
            options.fps = ParsePositive(argv[++i], "--fps");
        } else if (arg == "--frames" && i + 1 < argc) {
            frames = ParsePositive(argv[++i], "--frames");
        } else if (arg == "--flash") {
            options.flash = true;
        } else if (arg == "--mode" && i + 1 < argc &&
                   testscene::ParseWorkload(argv[i + 1], &options.workload)) {
            ++i;
        } else {
            std::fprintf(stderr,
                         "usage: vistrec-testscene [--fps N] [--frames N] [--flash] "
                         "[--mode animated|static|office|full]\n");
            return 2;
        }
    }
    if (options.fps > 1000) {
        std::fprintf(stderr, "vistrec-testscene: --fps above 1000\n");
        return 2;
    }

    DisplayPtr display(XOpenDisplay(nullptr));
    if (!display) {
        std::fprintf(stderr, "vistrec-testscene: cannot open display %s\n",
                     std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "(unset)");
        return 1;
    }
    Display* dpy = display.get();
    const int screen = DefaultScreen(dpy);
    const Window root = RootWindow(dpy, screen);
    const int width = DisplayWidth(dpy, screen), height = DisplayHeight(dpy, screen);
    ScreenImage image(dpy, screen);
    if (!image.get() || image.get()->bits_per_pixel != 32 || image.get()->byte_order != LSBFirst) {
        std::fprintf(stderr, "vistrec-testscene: needs a 32-bit little-endian TrueColor screen\n");
        return 1;
    }
    uint8_t* pixels = reinterpret_cast<uint8_t*>(image.get()->data);
    const int stride = image.get()->bytes_per_line;
    GC gc = XCreateGC(dpy, root, 0, nullptr);

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    const testscene::Rect whole{0, 0, width, height};
    testscene::RenderScene(0, width, height, options, pixels, stride, whole);
    const int64_t startMs = MonotonicMs();
    image.Put(root, gc, whole);
    XSync(dpy, False);
    std::printf("ready %lld\n", static_cast<long long>(startMs));
    std::fflush(stdout);

    uint32_t shown = 0;
    while (!g_stop) {
        const int64_t elapsed = MonotonicMs() - startMs;
        const long long counter = elapsed * options.fps / 1000;
        if (frames > 0 && counter >= frames)
            break;
        if (static_cast<uint32_t>(counter) != shown) {
            const uint32_t next = static_cast<uint32_t>(counter);
            const std::vector<testscene::Rect> rects =
                testscene::ChangedRects(shown, next, width, height, options);
            for (const auto& r : rects) {
                testscene::RenderScene(next, width, height, options, pixels, stride, r);
            }
            // The grab makes the whole update one step for every other client.
            XGrabServer(dpy);
            for (const auto& r : rects)
                image.Put(root, gc, r);
            if (options.workload == testscene::Workload::kOffice) {
                int px = 0, py = 0;
                testscene::PointerAt(next, width, height, &px, &py);
                XWarpPointer(dpy, None, root, 0, 0, 0, 0, px, py);
            }
            XUngrabServer(dpy);
            // Waits until the server has read the image before it is drawn into again.
            XSync(dpy, False);
            shown = next;
        }
        // Wake at the first millisecond of the next counter value.
        const long long nextMs = ((counter + 1) * 1000 + options.fps - 1) / options.fps;
        SleepUntilMs(startMs + nextMs);
    }
    XFreeGC(dpy, gc);
    return 0;
}
