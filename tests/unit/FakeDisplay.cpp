#include "FakeDisplay.h"

namespace {
class FakeGrabber : public vistrec::platform::ScreenGrabber {
  public:
    explicit FakeGrabber(FakeDisplay* owner) : m_owner(owner) {}
    bool Grab(HWND, int x, int y, int w, int h, vistrec::platform::ImageView* out) override {
        m_owner->grabs.push_back(RECT{x, y, x + w, y + h});
        if (m_owner->serverDown)
            m_lost = true;
        if (m_lost || m_owner->grabFails)
            return false;
        m_pixels.resize(static_cast<size_t>(w) * h);
        for (int row = 0; row < h; ++row)
            for (int col = 0; col < w; ++col)
                m_pixels[static_cast<size_t>(row) * w + col] = m_owner->Pixel(x + col, y + row);
        out->data = reinterpret_cast<const uint8_t*>(m_pixels.data());
        out->width = w;
        out->height = h;
        out->stride = w * 4;
        return true;
    }

    bool ConnectionLost() const override { return m_lost; }

  private:
    FakeDisplay* m_owner;
    bool m_lost = false;  // once lost, for good
    std::vector<uint32_t> m_pixels;
};
}  // namespace

std::unique_ptr<vistrec::platform::ScreenGrabber> FakeDisplay::CreateGrabber() {
    if (serverDown)
        return nullptr;
    ++grabbersMade;
    return std::make_unique<FakeGrabber>(this);
}
