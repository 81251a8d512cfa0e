// Damage on the root window of X11: every drawing the server does on the screen is reported as
// a rectangle (DAMAGE at its raw-rectangles level, no region kept in the server), screen
// changes through RandR, a compositing manager through the owner of _NET_WM_CM_S<screen>.
#ifndef VISTREC_PLATFORM_LINUX_X11DAMAGE_H
#define VISTREC_PLATFORM_LINUX_X11DAMAGE_H

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>

#include <memory>

#include "platform/Platform.h"
#include "platform/linux/X11Support.h"

namespace vistrec {
namespace platform {

// Owns its connection, so reading its events never competes with other users of the display.
//
// VISTREC_DAMAGE=0 in the environment (read when each tracker is opened) switches tracking off:
// every frame is then grabbed whole, as on a display without DAMAGE.
class X11DamageTracker final : public DamageTracker {
  public:
    // More rectangles than this between two calls are not kept: the call answers kUnknown.
    static constexpr size_t kMaxRects = 4096;
    // How often the compositing manager's selection is looked at, in ms.
    static constexpr int64_t kCompositorCheckMs = 1000;

    // Null when no X server can be reached, it lacks DAMAGE, or tracking is switched off.
    static std::unique_ptr<X11DamageTracker> Open();
    ~X11DamageTracker() override;

    Result Take(std::vector<RECT>* rects) override;
    uint64_t Overflows() const override { return overflows_; }

  private:
    explicit X11DamageTracker(::Display* display);
    bool CompositorRuns();

    x11::ConnectionPtr display_;
    Damage damage_ = 0;
    int damageEventBase_ = 0;
    int randrEventBase_ = -1;  // -1: no RandR
    Atom compositorSelection_ = None;
    int64_t lastCompositorCheckMs_ = INT64_MIN / 2;  // long ago, without overflow
    bool compositor_ = false;
    bool known_ = false;  // false: the next trusted answer is kUnknown
    uint64_t overflows_ = 0;
};

}  // namespace platform
}  // namespace vistrec

#endif  // VISTREC_PLATFORM_LINUX_X11DAMAGE_H
