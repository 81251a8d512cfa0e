// Frame composition: once per video frame the screen is captured into a bitmap (pointer drawn
// in) and converted into the encoder's picture, in the encoder's pixel format and size.
#ifndef VISTREC_CAPTURE_FRAMECOMPOSER_H
#define VISTREC_CAPTURE_FRAMECOMPOSER_H

#include "CaptureScreen.h"
#include "CvxText.h"
#include "DamageComposer.h"
#include "support/FFmpegPtr.h"

// The line of text drawn into every frame, as the host set it (strings not owned).
struct OverlayText {
    const char* font = nullptr;
    const char* text = nullptr;  // null or empty: no text
    float x = 0, y = 0;
    uint8_t red = 0, green = 0, blue = 0;
};

class CFrameComposer {
  public:
    enum class Result {
        kNewFrame,       // the picture holds the screen as captured now
        kPreviousFrame,  // nothing could be read: the picture keeps the last frame, untouched
        kMonitorLost,    // the chosen monitor has gone away (the host has been told)
        kFailed,         // nothing to convert (an empty capture rectangle) or no scaler
    };

    CFrameComposer() = default;
    CFrameComposer(const CFrameComposer&) = delete;
    CFrameComposer& operator=(const CFrameComposer&) = delete;

    // Captures the screen, draws `text` (when given) into the captured picture and converts
    // the top-left `scale` share of it into `picture` (its own format and size). `scale` lies
    // in (0, 1]. Frames take the damage path (only what was drawn is grabbed and converted)
    // whenever it can serve them, else a full grab.
    Result Compose(HWND hostWnd, double scale, AVFrame* picture, const OverlayText* text = nullptr);

    // Converts the top-left `scale` share of `image` (BGRA) into `picture`. The share is
    // measured on the image itself, so that no row or column outside it is ever read. I420
    // pictures go through libyuv (a straight conversion at 1:1); other formats through a
    // generic scaler, rebuilt whenever the share or the picture changes size. False when there
    // is nothing to convert.
    bool Convert(const vistrec::platform::ImageView& image, double scale, AVFrame* picture);

    const CaptureBitmap& Bitmap() const { return m_bitmap; }
    CDamageComposer& Damage() { return m_damage; }

  private:
    CScreenCapturer m_capturer;
    CaptureBitmap m_bitmap;  // reused from frame to frame
    SwsContextPtr m_scaler;
    int m_scalerKey[5] = {0, 0, 0, 0, -1};  // source w, h; picture w, h, format
    AVFramePtr m_srcFrame;                  // wraps the source pixels
    std::vector<uint8_t> m_scratch;         // between scaling and conversion (I420 pictures)
    TextOverlay m_text;                     // font and glyphs kept from frame to frame
    CDamageComposer m_damage;               // the damage path and its kept pictures
};

#endif
