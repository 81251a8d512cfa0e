// The damage path of frame composition: only what the display server reports as drawn since
// the last frame is grabbed and converted, into a picture kept from frame to frame. A frame
// in which nothing was drawn and the pointer, its effect and the text stayed as they were costs
// no grab and no conversion: the encoder gets the previous picture again.
//
// Three pictures are kept at the capture bitmap's size: the screen as grabbed ("clean"), the
// same with the pointer, the click effect and the text drawn on ("composed"), and the top-left
// share of the composed one in I420. The overlays are never baked into the clean picture: where
// they were and where they are now is restored from it and drawn again each time either moves,
// changes or has new screen pixels under it.
#ifndef VISTREC_CAPTURE_DAMAGECOMPOSER_H
#define VISTREC_CAPTURE_DAMAGECOMPOSER_H

#include <stdint.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "CaptureScreen.h"
#include "DamageRegion.h"
#include "support/FFmpegPtr.h"

struct OverlayText;
class TextOverlay;

class CDamageComposer {
  public:
    // The whole picture is grabbed again at least this often, which bounds how long a change
    // the display server failed to report can stay in the video.
    static constexpr int64_t kRefreshMs = 3000;
    // Rounds of reads a frame makes while the screen is drawn on under them, before it reads
    // the whole picture at once.
    static constexpr int kGrabRounds = 3;

    enum class Outcome {
        kUnavailable,    // damage cannot serve this frame: compose it from a full grab
        kNewFrame,       // `picture` holds the screen as it is now
        kPreviousFrame,  // nothing changed (or nothing could be read): `picture` is untouched
        kMonitorLost,    // the chosen monitor has gone away (the host has been told)
    };

    // What the path has done so far.
    struct Stats {
        uint64_t frames = 0;       // frames composed on this path
        uint64_t unchanged = 0;    // of them, frames left untouched
        uint64_t rebuilds = 0;     // of them, frames grabbed whole (first, refresh, lost damage)
        uint64_t wholeFrames = 0;  // of them, frames changed all over, converted from the grab
        uint64_t boxes = 0;        // damaged boxes grabbed
        uint64_t grabs = 0;        // read requests for them (close boxes share one)
        uint64_t regrabs = 0;      // frames whose screen was drawn on while it was being read
        uint64_t pixels = 0;       // pixels converted
    };

    CDamageComposer();
    ~CDamageComposer();
    CDamageComposer(const CDamageComposer&) = delete;
    CDamageComposer& operator=(const CDamageComposer&) = delete;

    // Composes one frame into `picture` (AV_PIX_FMT_YUV420P only) from the top-left `scale`
    // share of the capture, as the full path would. `overlay` draws `text` (may be null).
    Outcome Compose(CScreenCapturer* capturer, HWND hostWnd, double scale, AVFrame* picture,
                    const OverlayText* text, TextOverlay* overlay);

    // The kept pictures no longer match the screen (a frame went through the full path): the
    // next frame on this path is grabbed whole.
    void Invalidate() { m_valid = false; }

    const Stats& stats() const { return m_stats; }
    // Replaces kRefreshMs (tests: a slow run must not see refreshes it did not ask for).
    void SetRefreshMs(int64_t ms) { m_refreshMs = ms; }

  private:
    // What decides how the pointer and its effect look in a frame.
    struct PointerState {
        bool drawn = false;
        int px = 0, py = 0, drawW = 0, drawH = 0;
        const void* effect = nullptr;
        int effectDx = 0, effectDy = 0, effectW = 0, effectH = 0;
        int width = 0, height = 0;
        std::vector<uint32_t> argb;
        bool operator==(const PointerState& o) const;
    };
    struct TextState {
        bool on = false;
        std::string font, text;
        int x = 0, y = 0;
        uint8_t red = 0, green = 0, blue = 0;
        bool operator==(const TextState& o) const;
    };

    // Says why frames go through the full path, once per change of reason.
    Outcome Unavailable(const char* reason);
    bool EnsureTracker();
    // The box the text covers on a bitmap `width` pixels wide (drawn on a scratch band).
    damage::Box MeasureText(const OverlayText* text, bool on, int width, TextOverlay* overlay);
    bool EnsurePictures(int width, int height, int shareW, int shareH);
    // The boxes of the rectangles last taken from the tracker, on the share.
    std::vector<damage::Box> ReportedBoxes(const CaptureLayout& layout, int shareW,
                                           int shareH) const;
    // Reads `boxes` of the screen into the clean picture. False when nothing could be read.
    bool GrabBoxes(CScreenCapturer* capturer, const CaptureLayout& layout,
                   const std::vector<damage::Box>& boxes);
    // Reads `grabs` so that the clean picture shows the screen at one moment, adding to `grabs`
    // what was drawn while they were read. kNewFrame when it does.
    Outcome GrabSettled(CScreenCapturer* capturer, const CaptureLayout& layout,
                        const damage::Box& share, int64_t now, std::vector<damage::Box>* grabs);
    // A frame whose damage covers the whole share: read in one request, the overlays drawn on
    // the grab and converted straight into `picture`, past the kept pictures.
    Outcome ComposeWhole(CScreenCapturer* capturer, const CaptureLayout& layout,
                         const damage::Box& share, int64_t now, AVFrame* picture,
                         const OverlayText* text, TextOverlay* overlay);
    // Brings `picture` up to the kept I420 picture: nothing when it holds it already, the boxes
    // of the last change when it holds the one before, else all of it (scaled when the sizes
    // differ).
    void Deliver(AVFrame* picture);

    std::unique_ptr<vistrec::platform::DamageTracker> m_tracker;
    CRetryBackoff m_trackerRetry;
    uint64_t m_overflows = 0;
    std::vector<RECT> m_rects;
    // Why the last frame went the full way; empty while on this path (logged at each change).
    std::string m_reason = "not started";

    bool m_valid = false;        // the kept pictures hold the screen as of the last frame
    bool m_lastWhole = false;    // the last frame changed all over (ComposeWhole)
    bool m_grabChanged = false;  // a read of this frame found pixels unlike the kept ones
    int64_t m_lastFullMs = 0;
    int64_t m_refreshMs = kRefreshMs;
    int m_key[6] = {0, 0, 0, 0, 0, 0};  // grabbed corner, bitmap size, share size
    // BGRA pictures from calloc: large blocks come as fresh zeroed pages that are only touched
    // once a frame writes into them, which keeps the first frame quick and the composed
    // picture, written in small boxes, mostly untouched.
    struct FreeDeleter {
        void operator()(uint8_t* p) const { free(p); }
    };
    struct KeptBitmap {
        int width = 0, height = 0;
        std::unique_ptr<uint8_t[], FreeDeleter> pixels;
        int Stride() const { return width * 4; }
        uint8_t* Row(int y) const { return pixels.get() + static_cast<size_t>(y) * Stride(); }
    };
    KeptBitmap m_clean, m_composed;
    AVFramePtr m_yuv;                // the share of m_composed, I420
    std::vector<uint8_t> m_scratch;  // between scaling and conversion of a whole frame
    // The encoder's pictures this path has filled, and which generation of the kept picture each
    // holds, so that a pipeline that hands out a few pictures in turn gets only what is missing.
    // A picture's buffer is taken to keep what was written into it until it comes back here
    // (encoders only read their input; the pictures live as long as the recording).
    struct Handed {
        const uint8_t* data = nullptr;
        int width = 0, height = 0;
        uint64_t generation = 0;  // 0: none
        uint64_t lastUse = 0;
    };
    static constexpr int kHanded = 4;
    Handed& HandedFor(const AVFrame& picture);
    Handed m_handed[kHanded];
    uint64_t m_handedUses = 0;
    uint64_t m_generation = 0;              // goes up with every change of m_yuv
    std::vector<damage::Box> m_lastChange;  // the boxes of the last change

    PointerState m_pointer;
    damage::Box m_pointerBox;
    TextState m_text;
    damage::Box m_textBox;
    damage::Box m_textExtent;  // of m_text, measured when it changed
    int m_textMeasuredWidth = -1;
    Stats m_stats;
};

#endif  // VISTREC_CAPTURE_DAMAGECOMPOSER_H
