// The pointer as drawn into captured frames: the process-wide mouse settings, the click frame
// counter, and the two halves of pointer drawing (prepare before the copy, draw after it).
#ifndef VISTREC_CAPTURE_MOUSEEFFECTS_H
#define VISTREC_CAPTURE_MOUSEEFFECTS_H

#include <stdint.h>

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

// Where and how large the pointer is drawn, in screen coordinates until the capture translates
// it into bitmap coordinates.
struct PointerPlacement {
    vistrec::platform::PointerImage pointer;
    int px = 0, py = 0;        // top-left corner of the drawn pointer
    int drawW = 0, drawH = 0;  // drawn size; 0 means the pointer's own size
};

// Advances the click frame counter (clearing the last message when it wraps).
void AdvanceClickFrame();

// Pointer position and size for a pointer at size percent `mouseSize`: the pointer's hotspot,
// scaled with it, lands on the pointer's place. `nominalW/H` is the system pointer size.
void PlacePointer(const vistrec::platform::PointerImage& p, int nominalW, int nominalH,
                  int mouseSize, PointerPlacement* out);

// First half, before the screen copy: advances the counter and reads and places the pointer.
void PreparePointerEffects(PointerPlacement* out);

// Second half, after the copy: alpha-blends the pointer (when the show mode asks for it) into
// a BGRA bitmap, scaled to its drawn size and clipped to the bitmap.
void DrawPointerEffects(const PointerPlacement& place, uint8_t* bgra, int width, int height,
                        int stride);

#endif
