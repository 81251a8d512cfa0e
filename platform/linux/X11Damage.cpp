#include "platform/linux/X11Damage.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xrandr.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace vistrec {
namespace platform {

std::unique_ptr<X11DamageTracker> X11DamageTracker::Open() {
    const char* setting = getenv("VISTREC_DAMAGE");
    if (setting && strcmp(setting, "0") == 0)
        return nullptr;
    ::Display* display = x11::OpenConnection();
    if (!display)
        return nullptr;
    std::unique_ptr<X11DamageTracker> tracker(new X11DamageTracker(display));
    return tracker->damage_ ? std::move(tracker) : nullptr;
}

X11DamageTracker::X11DamageTracker(::Display* display) : display_(display) {
    int errorBase = 0;
    if (!XDamageQueryExtension(display, &damageEventBase_, &errorBase))
        return;
    const Window root = DefaultRootWindow(display);
    x11::ErrorTrap trap(display);
    // Raw rectangles: one event per drawing, nothing accumulated in the server, so no event can
    // be lost between reading the events and clearing a region.
    damage_ = XDamageCreate(display, root, XDamageReportRawRectangles);
    int randrError = 0;
    if (XRRQueryExtension(display, &randrEventBase_, &randrError)) {
        XRRSelectInput(display, root, RRScreenChangeNotifyMask);
    } else {
        randrEventBase_ = -1;
    }
    const std::string selection = "_NET_WM_CM_S" + std::to_string(DefaultScreen(display));
    compositorSelection_ = XInternAtom(display, selection.c_str(), False);
    if (trap.Sync() != 0)
        damage_ = 0;
}

X11DamageTracker::~X11DamageTracker() {
    ::Display* display = display_.get();
    if (damage_ && !x11::ConnectionLost(display)) {
        x11::ErrorTrap trap(display);
        XDamageDestroy(display, damage_);
        trap.Sync();
    }
}

bool X11DamageTracker::CompositorRuns() {
    const int64_t nowMs = GetMsTime();
    if (nowMs - lastCompositorCheckMs_ >= kCompositorCheckMs) {
        lastCompositorCheckMs_ = nowMs;
        // A compositing manager draws redirected windows itself, at times of its own: what the
        // root window reports as damaged then says little about what the screen shows.
        compositor_ = XGetSelectionOwner(display_.get(), compositorSelection_) != None;
    }
    return compositor_;
}

DamageTracker::Result X11DamageTracker::Take(std::vector<RECT>* rects) {
    rects->clear();
    ::Display* display = display_.get();
    if (!damage_ || x11::ConnectionLost(display))
        return Result::kLost;
    x11::ErrorTrap trap(display);
    // The round trip puts every event of drawing done so far into the queue (always made: the
    // trap's own sync is skipped when no request of ours is outstanding).
    XSync(display, False);
    if (x11::ConnectionLost(display))
        return Result::kLost;
    const bool compositor = CompositorRuns();
    bool overflow = false, layoutChanged = false;
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == damageEventBase_ + XDamageNotify) {
            const auto* d = reinterpret_cast<const XDamageNotifyEvent*>(&event);
            if (rects->size() >= kMaxRects) {
                overflow = true;
                continue;
            }
            rects->push_back(
                RECT{d->area.x, d->area.y, d->area.x + d->area.width, d->area.y + d->area.height});
        } else if (randrEventBase_ >= 0 && event.type == randrEventBase_ + RRScreenChangeNotify) {
            XRRUpdateConfiguration(&event);
            layoutChanged = true;
        }
    }
    if (x11::ConnectionLost(display))
        return Result::kLost;
    if (compositor) {
        rects->clear();
        known_ = false;
        return Result::kUntrusted;
    }
    if (overflow) {
        ++overflows_;
        rects->clear();
    }
    if (overflow || layoutChanged || !known_) {
        known_ = true;
        rects->clear();
        return Result::kUnknown;
    }
    return Result::kChanges;
}

}  // namespace platform
}  // namespace vistrec
