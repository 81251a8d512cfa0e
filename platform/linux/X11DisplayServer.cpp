// The display server on X11: RandR monitors, window lookup, the XFixes pointer.
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>

#include <atomic>

#include "platform/Platform.h"
#include "platform/linux/X11Damage.h"
#include "platform/linux/X11ScreenGrabber.h"
#include "platform/linux/X11Support.h"

namespace vistrec {
namespace platform {

namespace {

// The target window: a top-level "screenClass" window holding a "MsoCommandBarDock" window.
constexpr char kTargetWindowClass[] = "screenClass";
constexpr char kTargetMarkerClass[] = "MsoCommandBarDock";

RECT MakeRect(int x, int y, int width, int height) {
    return RECT{x, y, x + width, y + height};
}

// The root window as one monitor, at its current size.
std::vector<RECT> RootAsMonitor(::Display* display) {
    XWindowAttributes root{};
    if (!XGetWindowAttributes(display, DefaultRootWindow(display), &root))
        return {};
    return {MakeRect(0, 0, root.width, root.height)};
}

bool HoldsMarker(::Display* display, Window window) {
    return x11::HasDescendantOfClass(display, window, kTargetMarkerClass);
}

class X11DisplayServer final : public DisplayServer {
  public:
    int MonitorCount() override { return static_cast<int>(Monitors().size()); }

    std::vector<RECT> Monitors() override {
        x11::SharedConnection::Lease lease(x11::SharedConnection::Instance());
        ::Display* display = lease.display();
        if (!display)
            return {};
        x11::ErrorTrap trap(display);
        std::vector<RECT> result;
        if (lease.extensions().randrMonitors) {
            int count = 0;
            XRRMonitorInfo* monitors =
                XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
            for (int i = 0; monitors && i < count; ++i) {
                const XRRMonitorInfo& m = monitors[i];
                result.push_back(MakeRect(m.x, m.y, m.width, m.height));
            }
            if (monitors)
                XRRFreeMonitors(monitors);
        }
        if (result.empty())
            result = RootAsMonitor(display);
        return result;
    }

    bool DisplayDeviceRect(int index, RECT* out) override {
        if (index < 0 || !out)
            return false;
        const std::vector<RECT> monitors = Monitors();
        if (static_cast<size_t>(index) >= monitors.size())
            return false;
        *out = monitors[static_cast<size_t>(index)];
        return true;
    }

    bool FindTargetWindowRect(RECT* out) override {
        if (!out)
            return false;
        x11::SharedConnection::Lease lease(x11::SharedConnection::Instance());
        ::Display* display = lease.display();
        if (!display)
            return false;
        // Windows may vanish during the search; their errors only end that branch of it.
        x11::ErrorTrap trap(display);
        const Window target = x11::FindTopLevelWindow(display, kTargetWindowClass, &HoldsMarker);
        if (target == None)
            return false;
        XWindowAttributes attributes{};
        if (!XGetWindowAttributes(display, target, &attributes))
            return false;
        int x = 0, y = 0;
        Window child = None;
        if (!XTranslateCoordinates(display, target, attributes.root, 0, 0, &x, &y, &child))
            return false;
        *out = MakeRect(x, y, attributes.width, attributes.height);
        return true;
    }

    void PointerNominalSize(const PointerImage& pointer, int* cx, int* cy) override {
        // The server hands out pointer images at the size it draws them.
        if (cx)
            *cx = pointer.width;
        if (cy)
            *cy = pointer.height;
    }

    bool GetPointer(PointerImage* out) override {
        if (!out)
            return false;
        *out = PointerImage();
        x11::SharedConnection::Lease lease(x11::SharedConnection::Instance());
        ::Display* display = lease.display();
        if (!display || !lease.extensions().xfixes)
            return false;
        x11::ErrorTrap trap(display);
        x11::XFreePtr<XFixesCursorImage> image(XFixesGetCursorImage(display));
        if (!image)
            return false;
        out->x = image->x;
        out->y = image->y;
        out->xHotspot = image->xhot;
        out->yHotspot = image->yhot;
        out->width = image->width;
        out->height = image->height;
        const size_t count = static_cast<size_t>(image->width) * image->height;
        out->argb.resize(count);
        bool anyOpaque = false;
        for (size_t i = 0; i < count; ++i) {
            // Xlib hands the 32-bit pixels out in unsigned longs.
            out->argb[i] = static_cast<uint32_t>(image->pixels[i]);
            anyOpaque = anyOpaque || (out->argb[i] >> 24) != 0;
        }
        // A wholly transparent image is how clients hide the pointer.
        out->visible = anyOpaque;
        return true;
    }

    std::unique_ptr<ScreenGrabber> CreateGrabber() override {
        {
            // Honours the reconnection interval while no server is reachable.
            x11::SharedConnection::Lease lease(x11::SharedConnection::Instance());
            if (!lease.display())
                return nullptr;
        }
        return X11ScreenGrabber::Open();
    }

    std::unique_ptr<DamageTracker> CreateDamageTracker() override {
        {
            x11::SharedConnection::Lease lease(x11::SharedConnection::Instance());
            if (!lease.display())
                return nullptr;
        }
        return X11DamageTracker::Open();
    }
};

std::atomic<DisplayServer*> g_testDisplay{nullptr};

}  // namespace

DisplayServer& Display() {
    if (DisplayServer* fake = g_testDisplay.load())
        return *fake;
    static X11DisplayServer backend;
    return backend;
}

void SetDisplayForTesting(DisplayServer* fake) {
    g_testDisplay.store(fake);
}

}  // namespace platform
}  // namespace vistrec
