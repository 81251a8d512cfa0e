// One screen capture of the current capture settings into a BGRA bitmap with the pointer drawn
// in: the capture rectangle 1:1 in region mode, or a whole monitor fitted into the capture
// rectangle's size with its aspect kept.
#ifndef VISTREC_CAPTURE_CAPTURESCREEN_H
#define VISTREC_CAPTURE_CAPTURESCREEN_H

#include <stdint.h>

#include <memory>
#include <vector>

#include "platform/Platform.h"
#include "support/FFmpegPtr.h"

// The captured picture: 4 bytes per pixel (blue, green, red, fourth byte), rows top first,
// width x 4 bytes per row. Width and height are multiples of 4.
struct CaptureBitmap {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
    int Stride() const { return width * 4; }
};

// When to try again to open a grabber after the display server went away: at once, then after
// a delay that doubles from kFirstMs up to kMaxMs while the server stays away.
class CRetryBackoff {
  public:
    static constexpr int64_t kFirstMs = 250;
    static constexpr int64_t kMaxMs = 4000;
    bool Due(int64_t nowMs) const { return nowMs >= m_nextMs; }
    void Failed(int64_t nowMs);
    void Succeeded() {
        m_delayMs = 0;
        m_nextMs = INT64_MIN;
    }

  private:
    int64_t m_delayMs = 0;
    int64_t m_nextMs = INT64_MIN;
};

// Where this frame's capture comes from, as the capture settings and monitors place it.
struct CaptureLayout {
    int width = 0, height = 0;  // the bitmap: the capture rectangle's size in multiples of 4
    bool region = false;        // the capture rectangle itself rather than a whole monitor
    int srcX = 0, srcY = 0;     // screen corner of what is grabbed
    int srcW = 0, srcH = 0;     // size of what is grabbed
    // Where the grab lands in the bitmap (scaled when its size differs from the grab's).
    int fitX = 0, fitY = 0, fitW = 0, fitH = 0;
    // The grab lands on the whole bitmap at 1:1: bitmap pixel (x, y) is screen pixel
    // (srcX + x, srcY + y).
    bool OneToOne() const {
        return fitX == 0 && fitY == 0 && fitW == width && fitH == height && srcW == width &&
               srcH == height;
    }
};

// Keeps what one capturing thread reuses from frame to frame: the platform grabber and the
// scaler that fits a monitor into the bitmap. Not thread-safe; one per record thread.
class CScreenCapturer {
  public:
    CScreenCapturer();
    ~CScreenCapturer();
    CScreenCapturer(const CScreenCapturer&) = delete;
    CScreenCapturer& operator=(const CScreenCapturer&) = delete;

    // Captures into `out` (resized as needed). Returns false, after telling the host, when the
    // chosen monitor has gone away. `grabbed` (may be null) tells whether new pixels were read:
    // when the grab failed the bitmap holds the previous capture as it was, pointer included,
    // and no pointer is drawn over it again.
    bool CaptureScreen(HWND hostWnd, CaptureBitmap* out, bool* grabbed = nullptr);
    // The same, except that a grab landing on the whole bitmap at 1:1 is not copied: `view`
    // then shows the grabber's own image (pointer drawn in, writable, valid until the next
    // capture); otherwise it shows `out`.
    bool CaptureView(HWND hostWnd, CaptureBitmap* out, vistrec::platform::ImageView* view,
                     bool* grabbed);

    // Works out this frame's layout (the follow-target rule included). Returns false, after
    // telling the host, when the chosen monitor has gone away.
    bool Layout(CaptureLayout* out);

    // Reads the screen rectangle (x, y, w, h) through the grabber (reconnecting it when its
    // display connection was lost). The view lasts until the next grab.
    bool GrabScreen(int x, int y, int w, int h, vistrec::platform::ImageView* view) {
        return Grab(nullptr, x, y, w, h, view);
    }

  private:
    // CaptureScreen, with `direct` (may be null) taking a 1:1 grab instead of the bitmap.
    bool Capture(HWND hostWnd, CaptureBitmap* out, vistrec::platform::ImageView* direct,
                 bool* grabbed);

    // Copies a grabbed monitor into the placement rectangle of the bitmap, scaling when the
    // sizes differ.
    void FitInto(const vistrec::platform::ImageView& src, CaptureBitmap* out, int x, int y, int w,
                 int h);

    // Blackens the bitmap outside the placement rectangle.
    static void ClearBands(CaptureBitmap* out, int x, int y, int w, int h);

    // Grabs through m_grabber, replacing it when its display connection was lost.
    bool Grab(HWND hostWnd, int x, int y, int w, int h, vistrec::platform::ImageView* view);

    std::unique_ptr<vistrec::platform::ScreenGrabber> m_grabber;
    CRetryBackoff m_reconnect;  // paces new grabbers while the display server is away
    SwsContextPtr m_fitScaler;  // rebuilt when source or target size changes
    int m_fitKey[4] = {0, 0, 0, 0};
};

// Monitor count seen by the last capture that went ahead (0 before the first).
extern int g_previousMonitorCount;

#endif
