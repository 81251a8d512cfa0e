// A display server installed while it lives, whose grabbers read a known pattern (or fail).
#ifndef VISTREC_TESTS_UNIT_FAKEDISPLAY_H
#define VISTREC_TESTS_UNIT_FAKEDISPLAY_H

#include <cstring>
#include <memory>
#include <vector>

#include "capture/CaptureScreen.h"
#include "platform/Platform.h"

class FakeDisplay : public vistrec::platform::DisplayServer {
  public:
    std::vector<RECT> monitors;
    bool hasTarget = false;
    RECT target = {0, 0, 0, 0};
    vistrec::platform::PointerImage pointer;  // reported even while not visible
    bool grabFails = false;                   // grabs fail (and read nothing) while set
    bool serverDown = false;  // grabbers lose their connection; no new grabber can be made
    int grabbersMade = 0;
    FakeDisplay() { vistrec::platform::SetDisplayForTesting(this); }
    ~FakeDisplay() override { vistrec::platform::SetDisplayForTesting(nullptr); }
    // The patterned screen's pixel at (x, y): distinct per position.
    static uint32_t ScreenPixel(int x, int y) {
        return 0xFF000000u | (static_cast<uint32_t>(x & 0xFFF) << 12) | (y & 0xFFF);
    }
    // A visible square pointer of one colour at (x, y).
    void ShowPointer(int x, int y, int side, int hotspot, uint32_t argb) {
        pointer.visible = true, pointer.x = x, pointer.y = y;
        pointer.width = pointer.height = side, pointer.xHotspot = pointer.yHotspot = hotspot;
        pointer.argb.assign(static_cast<size_t>(side) * side, argb);
    }
    int MonitorCount() override { return static_cast<int>(monitors.size()); }
    std::vector<RECT> Monitors() override { return monitors; }
    bool DisplayDeviceRect(int i, RECT* out) override {
        const bool known = i >= 0 && i < MonitorCount();
        *out = known ? monitors[i] : RECT{};
        return known;
    }
    bool FindTargetWindowRect(RECT* out) override { return *out = target, hasTarget; }
    void PointerNominalSize(const vistrec::platform::PointerImage& p, int* cx, int* cy) override {
        *cx = p.width, *cy = p.height;
    }
    bool GetPointer(vistrec::platform::PointerImage* out) override { return *out = pointer, true; }
    std::unique_ptr<vistrec::platform::ScreenGrabber> CreateGrabber() override {
        grabbersMade += serverDown ? 0 : 1;
        return serverDown ? nullptr : std::make_unique<Grabber>(this);
    }

  private:
    struct Grabber : vistrec::platform::ScreenGrabber {
        explicit Grabber(FakeDisplay* owner) : m_owner(owner) {}
        bool Grab(HWND, int x, int y, int w, int h, vistrec::platform::ImageView* out) override {
            const FakeDisplay& d = *m_owner;
            if ((m_lost = m_lost || d.serverDown) || d.grabFails)  // once lost, for good
                return false;
            m_pixels.resize(static_cast<size_t>(w) * h);
            for (int row = 0; row < h; ++row)
                for (int col = 0; col < w; ++col)
                    m_pixels[static_cast<size_t>(row) * w + col] = ScreenPixel(x + col, y + row);
            *out = {reinterpret_cast<const uint8_t*>(m_pixels.data()), w, h, w * 4};
            return true;
        }
        bool ConnectionLost() const override { return m_lost; }
        FakeDisplay* m_owner;
        bool m_lost = false;
        std::vector<uint32_t> m_pixels;
    };
};

// Pixel (x, y) of a captured bitmap.
inline uint32_t At(const CaptureBitmap& b, int x, int y) {
    uint32_t v;
    memcpy(&v, b.pixels.data() + static_cast<size_t>(y) * b.Stride() + x * 4, 4);
    return v;
}

#endif
