// A display server that models the platform contract with a fixed monitor list, a settable
// target window, a pointer and a grabber that returns a known pattern. For unit tests of the
// capture and size rules only.
#ifndef VISTREC_TESTS_UNIT_FAKEDISPLAY_H
#define VISTREC_TESTS_UNIT_FAKEDISPLAY_H

#include <vector>

#include "platform/Platform.h"

class FakeDisplay : public vistrec::platform::DisplayServer {
  public:
    std::vector<RECT> monitors;
    bool hasTarget = false;
    RECT target = {0, 0, 0, 0};
    vistrec::platform::PointerImage pointer;
    std::vector<RECT> grabs;  // every rectangle asked of a grabber
    bool grabFails = false;   // grabs fail (and read nothing) while set
    bool serverDown = false;  // grabbers lose their connection; no new grabber can be made
    int grabbersMade = 0;

    int brightFrom = -1;  // >= 0: the screen is black left of this column, white from it

    // Pixel value of the patterned screen at (x, y): distinct per position.
    static uint32_t ScreenPixel(int x, int y) {
        return 0xFF000000u | (static_cast<uint32_t>(x & 0xFFF) << 12) | (y & 0xFFF);
    }
    // Pixel value this screen holds at (x, y).
    uint32_t Pixel(int x, int y) const {
        if (brightFrom < 0)
            return ScreenPixel(x, y);
        return x >= brightFrom ? 0xFFFFFFFFu : 0xFF000000u;
    }

    int MonitorCount() override { return static_cast<int>(monitors.size()); }
    std::vector<RECT> Monitors() override { return monitors; }
    bool DisplayDeviceRect(int index, RECT* out) override {
        if (index < 0 || index >= static_cast<int>(monitors.size()))
            return false;
        *out = monitors[index];
        return true;
    }
    bool FindTargetWindowRect(RECT* out) override {
        if (!hasTarget)
            return false;
        *out = target;
        return true;
    }
    void PointerNominalSize(const vistrec::platform::PointerImage& p, int* cx, int* cy) override {
        *cx = p.width;
        *cy = p.height;
    }
    bool GetPointer(vistrec::platform::PointerImage* out) override {
        *out = pointer;
        return pointer.visible;
    }
    std::unique_ptr<vistrec::platform::ScreenGrabber> CreateGrabber() override;
};

// Installs a fake for the lifetime of a test.
class ScopedFakeDisplay {
  public:
    explicit ScopedFakeDisplay(FakeDisplay* fake) { vistrec::platform::SetDisplayForTesting(fake); }
    ~ScopedFakeDisplay() { vistrec::platform::SetDisplayForTesting(nullptr); }
};

#endif
