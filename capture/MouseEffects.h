// The pointer as drawn into captured frames: the process-wide mouse settings, the click frame
// counter, the effect icon set, and the two halves of pointer drawing (prepare before the copy,
// draw after it).
#ifndef VISTREC_CAPTURE_MOUSEEFFECTS_H
#define VISTREC_CAPTURE_MOUSEEFFECTS_H

#include <stdint.h>

#include <memory>
#include <string>

#include "platform/Platform.h"

// Shared by every recorder; written by the host's thread, read by record threads, unlocked.
struct MouseSettings {
    int m_mouseShow = 0;  // 0 hides the pointer; any other value draws it
    int m_clickShow = 0;  // non-zero: click animation
    int m_lightShow = 0;  // non-zero: highlight under the pointer
    int m_mouseSize = 0;  // pointer size in percent of the system pointer size
    int lastMessage = 0;  // last button message the host reported; 0 once an animation ran out
    int clickFrame = 0;   // animation step 0..5, advanced once per capture
};
extern MouseSettings g_mouse;

// Window messages that start a click animation.
constexpr int kLeftButtonDown = 0x201;
constexpr int kRightButtonDown = 0x204;
constexpr int kRightButtonUp = 0x205;
constexpr int kClickFrames = 6;

using EffectIcon = std::shared_ptr<const vistrec::platform::IconImage>;

// The effect icons: six steps of the left and of the right click animation and the highlight.
// A null entry is an icon that is not loaded (switched off, missing or unreadable).
struct EffectIcons {
    EffectIcon left[kClickFrames];
    EffectIcon right[kClickFrames];
    EffectIcon highlight;
};

// Folder of the icon files, "mouseeffect/" beside the host executable.
std::string EffectIconDir();
// Replaces the icon set with the one in `dir` (a trailing '/'): the click icons
// "clickEffect_L0.ico" .. "clickEffect_L5.ico" and "clickEffect_R0.ico" .. "clickEffect_R5.ico"
// when the click animation is on, "highlight.ico" when the highlight is on. Each icon that does
// not load is logged and left null. Run at the start of every recording; any thread.
void LoadEffectIcons(const std::string& dir = EffectIconDir());
// Replaces the icon set as it is (tests).
void SetEffectIcons(const EffectIcons& icons);

// Where and how large the pointer and the effect are drawn, in screen coordinates until the
// capture translates them into bitmap coordinates.
struct PointerPlacement {
    vistrec::platform::PointerImage pointer;
    int px = 0, py = 0;        // top-left corner of the drawn pointer
    int drawW = 0, drawH = 0;  // drawn size; 0 means the pointer's own size
    EffectIcon effect;         // null: no effect this frame
    // The effect's top-left corner relative to (px, py), so that the capture's translation of
    // the pointer moves the effect with it; its drawn size, 0 meaning the icon's own size.
    int effectDx = 0, effectDy = 0;
    int effectW = 0, effectH = 0;
};

// Advances the click frame counter (clearing the last message when it wraps).
void AdvanceClickFrame();

// The effect icon of this capture: the highlight when it is on, replaced by the current step of
// a running click animation. Then advances the counter.
EffectIcon ChooseEffectIcon();

// Pointer position and size for a pointer at size percent `mouseSize`: the pointer's hotspot,
// scaled with it, lands on the pointer's place. `nominalW/H` is the system pointer size. The
// effect in `out` (if any) is sized from its hotspot and centred on the pointer.
void PlacePointer(const vistrec::platform::PointerImage& p, int nominalW, int nominalH,
                  int mouseSize, PointerPlacement* out);

// First half, before the screen copy: picks the effect, advances the counter, reads and places
// the pointer.
void PreparePointerEffects(PointerPlacement* out);

// Second half, after the copy: alpha-blends the effect, then the pointer over it (when the show
// mode asks for it) into a BGRA bitmap, each scaled to its drawn size and clipped to the bitmap.
void DrawPointerEffects(const PointerPlacement& place, uint8_t* bgra, int width, int height,
                        int stride);

// Blends `w` x `h` premultiplied ARGB pixels over a BGRA bitmap at (x, y), stretched to
// `drawW` x `drawH` (nearest pixel) and clipped to the bitmap.
void BlendPremultiplied(const uint32_t* argb, int w, int h, int x, int y, int drawW, int drawH,
                        uint8_t* bgra, int width, int height, int stride);

#endif
