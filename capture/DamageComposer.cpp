#include "DamageComposer.h"

#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>
#include <string.h>

#include <algorithm>

#include "FrameComposer.h"
#include "MouseEffects.h"
#include "PixelConvert.h"
#include "SizeRules.h"
#include "support/Log.h"

using damage::Box;
using vistrec::platform::DamageTracker;
using vistrec::platform::ImageView;

namespace {

// The rows a line of overlay text may touch: its glyphs stand on row y and are 20 pixels high;
// the band leaves room for tall glyphs and anything below the line.
constexpr int kTextAbove = 64, kTextBelow = 16;

template <typename Bitmap>
void CopyRect(const Bitmap& from, Bitmap* to, const Box& b) {
    for (int row = b.y; row < b.y + b.h; ++row)
        memcpy(to->Row(row) + static_cast<size_t>(b.x) * 4,
               from.Row(row) + static_cast<size_t>(b.x) * 4, static_cast<size_t>(b.w) * 4);
}

bool IntersectsAny(const Box& b, const std::vector<Box>& boxes) {
    for (const Box& o : boxes)
        if (damage::Intersects(b, o))
            return true;
    return false;
}

}  // namespace

bool CDamageComposer::PointerState::operator==(const PointerState& o) const {
    return drawn == o.drawn && px == o.px && py == o.py && drawW == o.drawW && drawH == o.drawH &&
           effect == o.effect && effectDx == o.effectDx && effectDy == o.effectDy &&
           effectW == o.effectW && effectH == o.effectH && width == o.width && height == o.height &&
           argb == o.argb;
}

bool CDamageComposer::TextState::operator==(const TextState& o) const {
    return on == o.on && font == o.font && text == o.text && x == o.x && y == o.y && red == o.red &&
           green == o.green && blue == o.blue;
}

CDamageComposer::CDamageComposer() = default;
CDamageComposer::~CDamageComposer() = default;

CDamageComposer::Outcome CDamageComposer::Unavailable(const char* reason) {
    m_valid = false;
    if (m_reason != reason) {
        m_reason = reason;
        VLOG_INFO("capture: full grabs (" << reason << ")");
    }
    return Outcome::kUnavailable;
}

bool CDamageComposer::EnsureTracker() {
    const int64_t now = vistrec::platform::GetMsTime();
    if (!m_tracker && m_trackerRetry.Due(now)) {
        m_tracker = vistrec::platform::Display().CreateDamageTracker();
        if (m_tracker)
            m_trackerRetry.Succeeded();
        else
            m_trackerRetry.Failed(now);
        m_overflows = 0;
    }
    return m_tracker != nullptr;
}

bool CDamageComposer::EnsurePictures(int width, int height, int shareW, int shareH) {
    if (m_clean.width != width || m_clean.height != height) {
        for (KeptBitmap* b : {&m_clean, &m_composed}) {
            b->width = width;
            b->height = height;
            b->pixels.reset(static_cast<uint8_t*>(calloc(static_cast<size_t>(width) * height, 4)));
            if (!b->pixels) {
                b->width = b->height = 0;
                return false;
            }
        }
    }
    if (!m_yuv || m_yuv->width != shareW || m_yuv->height != shareH) {
        AVFramePtr yuv(av_frame_alloc());
        if (!yuv)
            return false;
        yuv->format = AV_PIX_FMT_YUV420P;
        yuv->width = shareW;
        yuv->height = shareH;
        if (av_frame_get_buffer(yuv.get(), 0) < 0)
            return false;
        m_yuv = std::move(yuv);
    }
    return true;
}

CDamageComposer::Handed& CDamageComposer::HandedFor(const AVFrame& picture) {
    for (Handed& h : m_handed)
        if (h.data == picture.data[0] && h.width == picture.width && h.height == picture.height) {
            h.lastUse = ++m_handedUses;
            return h;
        }
    // A picture not seen before takes the place of the one seen longest ago.
    Handed& h =
        *std::min_element(m_handed, m_handed + kHanded,
                          [](const Handed& a, const Handed& b) { return a.lastUse < b.lastUse; });
    h = Handed{picture.data[0], picture.width, picture.height, 0, 0};
    h.lastUse = ++m_handedUses;
    return h;
}

void CDamageComposer::Deliver(AVFrame* picture) {
    const AVFrame* src = m_yuv.get();
    Handed& handed = HandedFor(*picture);
    const uint64_t held = handed.generation;
    handed.generation = m_generation;
    if (held == m_generation)
        return;  // it holds this picture already
    if (picture->width != src->width || picture->height != src->height) {
        // The video is scaled (a share below 1, or the size rules shrink the picture): the kept
        // picture stays at capture size and the whole of it is scaled for every frame that
        // changed. Scaling only the changed boxes would need their filter margins worked out
        // and would still touch most rows; the I420 scale is cheap next to the encoder, and a
        // frame without change still costs nothing.
        libyuv::I420Scale(src->data[0], src->linesize[0], src->data[1], src->linesize[1],
                          src->data[2], src->linesize[2], src->width, src->height, picture->data[0],
                          picture->linesize[0], picture->data[1], picture->linesize[1],
                          picture->data[2], picture->linesize[2], picture->width, picture->height,
                          libyuv::kFilterBox);
        return;
    }
    if (held + 1 != m_generation) {
        av_frame_copy(picture, src);
        return;
    }
    // It holds the picture before the last change: the boxes of that change bring it up to date.
    for (const Box& b : m_lastChange) {
        libyuv::CopyPlane(src->data[0] + static_cast<size_t>(b.y) * src->linesize[0] + b.x,
                          src->linesize[0],
                          picture->data[0] + static_cast<size_t>(b.y) * picture->linesize[0] + b.x,
                          picture->linesize[0], b.w, b.h);
        for (int p = 1; p <= 2; ++p) {
            const size_t s = static_cast<size_t>(b.y / 2) * src->linesize[p] + b.x / 2;
            const size_t d = static_cast<size_t>(b.y / 2) * picture->linesize[p] + b.x / 2;
            libyuv::CopyPlane(src->data[p] + s, src->linesize[p], picture->data[p] + d,
                              picture->linesize[p], (b.w + 1) / 2, (b.h + 1) / 2);
        }
    }
}

Box CDamageComposer::MeasureText(const OverlayText* text, bool on, int width,
                                 TextOverlay* overlay) {
    m_textMeasuredWidth = width;
    if (!on || !overlay || width <= 0)
        return Box{};
    // The text is drawn into a band of the bitmap's width filled black, then white: a pixel it
    // touches differs from the fill in at least one of the two. Done when the text changes.
    const int y = static_cast<int>(text->y);
    const int bandH = kTextAbove + kTextBelow;
    std::vector<uint8_t> band[2];
    for (int fill = 0; fill < 2; ++fill) {
        band[fill].assign(static_cast<size_t>(width) * bandH * 4, fill ? 255 : 0);
        overlay->Draw(text->font, text->text, text->x,
                      static_cast<float>(kTextAbove) + (text->y - static_cast<float>(y)), text->red,
                      text->green, text->blue, band[fill].data(), width, bandH, width * 4);
    }
    int x0 = width, y0 = bandH, x1 = -1, y1 = -1;
    for (int row = 0; row < bandH; ++row)
        for (int col = 0; col < width; ++col) {
            const size_t i = (static_cast<size_t>(row) * width + col) * 4;
            if ((band[0][i] | band[0][i + 1] | band[0][i + 2]) == 0 &&
                (band[1][i] & band[1][i + 1] & band[1][i + 2]) == 255)
                continue;
            x0 = std::min(x0, col), x1 = std::max(x1, col);
            y0 = std::min(y0, row), y1 = std::max(y1, row);
        }
    if (x1 < 0)
        return Box{};
    return Box{x0, y - kTextAbove + y0, x1 - x0 + 1, y1 - y0 + 1};
}

std::vector<Box> CDamageComposer::ReportedBoxes(const CaptureLayout& layout, int shareW,
                                                int shareH) const {
    std::vector<Box> reported;
    reported.reserve(m_rects.size());
    for (const RECT& r : m_rects)
        reported.push_back(
            Box{static_cast<int>(r.left) - layout.srcX, static_cast<int>(r.top) - layout.srcY,
                static_cast<int>(r.right - r.left), static_cast<int>(r.bottom - r.top)});
    return damage::Merge(reported, shareW, shareH);
}

bool CDamageComposer::GrabBoxes(CScreenCapturer* capturer, const CaptureLayout& layout,
                                const std::vector<Box>& boxes) {
    // Boxes that lie close together are read in one request (the server draws nothing in the
    // middle of one), boxes far apart one by one rather than all the screen between them.
    Box bound;
    int64_t area = 0;
    for (const Box& b : boxes)
        bound = damage::BoundingBox(bound, b), area += b.Area();
    const bool together = bound.Area() <= 2 * area + damage::kMergeSlack;
    const std::vector<Box> reads = together ? std::vector<Box>{bound} : boxes;
    for (const Box& r : reads) {
        ImageView view;
        if (!capturer->GrabScreen(layout.srcX + r.x, layout.srcY + r.y, r.w, r.h, &view) ||
            view.width < r.w || view.height < r.h)
            return false;
        for (const Box& b : boxes) {
            const Box part = damage::Intersection(b, r);
            for (int row = part.y; row < part.y + part.h; ++row) {
                uint8_t* to = m_clean.Row(row) + static_cast<size_t>(part.x) * 4;
                const uint8_t* from = view.data + static_cast<size_t>(row - r.y) * view.stride +
                                      static_cast<size_t>(part.x - r.x) * 4;
                const size_t bytes = static_cast<size_t>(part.w) * 4;
                // Rows are compared until the first that differs: a refresh that finds the
                // picture as it was kept needs nothing converted or encoded.
                if (!m_grabChanged && memcmp(to, from, bytes) == 0)
                    continue;
                m_grabChanged = true;
                memcpy(to, from, bytes);
            }
        }
        ++m_stats.grabs;
    }
    return true;
}

CDamageComposer::Outcome CDamageComposer::GrabSettled(CScreenCapturer* capturer,
                                                      const CaptureLayout& layout, const Box& share,
                                                      int64_t now, std::vector<Box>* grabs) {
    // The damage was collected before the grabs, so whatever is drawn from then on is reported
    // again at the next frame. But a drawing that lands between the collection and the grabs
    // (or between two grabs) would leave this frame mixing two moments of the screen: the new
    // pixels inside the boxes read, the old ones around them (a moved shape half erased and not
    // yet drawn at its new place). So the damage is collected once more after the grabs: when
    // nothing was drawn meanwhile, every box read shows the screen as it was at the collection;
    // else what was drawn is read too and checked the same way. A screen that keeps changing
    // under the reads is read whole, in one request.
    std::vector<Box> round = *grabs;
    for (int rounds = 1;; ++rounds) {
        const bool whole = round.size() == 1 && round[0] == share;
        if (!GrabBoxes(capturer, layout, round)) {
            // Nothing could be read (the display server is away): the picture keeps the last
            // frame, and the next one that can be read is grabbed whole.
            m_valid = false;
            return Outcome::kPreviousFrame;
        }
        m_stats.boxes += round.size();
        if (whole) {
            *grabs = round;
            return Outcome::kNewFrame;  // one request: the screen at one moment
        }
        // Whatever the tracker cannot tell now, this frame is finished from one whole read
        // (the pointer's effect has moved on a step for it already: no second try on the full
        // path), and the next frame takes it up from the start.
        switch (m_tracker->Take(&m_rects)) {
            case DamageTracker::Result::kLost:
                m_tracker.reset();
                round.clear();
                break;
            case DamageTracker::Result::kUntrusted:
            case DamageTracker::Result::kUnknown:
                round.clear();
                break;
            case DamageTracker::Result::kChanges:
                round = ReportedBoxes(layout, share.w, share.h);
                if (round.empty())
                    return Outcome::kNewFrame;
                break;
        }
        ++m_stats.regrabs;
        if (round.empty() || rounds >= kGrabRounds) {
            round = {share};
            m_lastFullMs = now;
            ++m_stats.rebuilds;
        }
        grabs->insert(grabs->end(), round.begin(), round.end());
        *grabs = damage::Merge(*grabs, share.w, share.h);
    }
}

CDamageComposer::Outcome CDamageComposer::ComposeWhole(CScreenCapturer* capturer,
                                                       const CaptureLayout& layout,
                                                       const Box& share, int64_t now,
                                                       AVFrame* picture, const OverlayText* text,
                                                       TextOverlay* overlay) {
    // Copying the share into the kept pictures, converting it there and copying the result out
    // again only pays when the next frame changes little; in full motion it tripled the memory
    // traffic of a frame. The kept pictures now miss this frame: the next one that changes only
    // a part of the screen starts from a whole grab.
    m_valid = false;
    m_lastFullMs = now;
    PointerPlacement place;
    PreparePointerEffects(&place);
    place.px -= layout.srcX;
    place.py -= layout.srcY;
    ImageView view;
    // One request: the screen at one moment, no settling needed.
    if (!capturer->GrabScreen(layout.srcX, layout.srcY, share.w, share.h, &view) ||
        view.width < share.w || view.height < share.h)
        return Outcome::kPreviousFrame;
    // The grab is read again for the next frame: the overlays are drawn straight onto it.
    uint8_t* pixels = const_cast<uint8_t*>(view.data);
    DrawPointerEffects(place, pixels, view.width, view.height, view.stride);
    if (text && text->text && text->text[0] && overlay)
        overlay->Draw(text->font, text->text, text->x, text->y, text->red, text->green, text->blue,
                      pixels, view.width, view.height, view.stride);
    HandedFor(*picture).generation = 0;  // holds none of the kept pictures now
    ++m_stats.frames;
    ++m_stats.wholeFrames;
    m_stats.pixels += static_cast<uint64_t>(share.Area());
    return pixelconvert::BgraToI420(view, share.w, share.h, picture, &m_scratch)
               ? Outcome::kNewFrame
               : Outcome::kPreviousFrame;
}

CDamageComposer::Outcome CDamageComposer::Compose(CScreenCapturer* capturer, HWND hostWnd,
                                                  double scale, AVFrame* picture,
                                                  const OverlayText* text, TextOverlay* overlay) {
    const bool afterWhole = m_lastWhole;
    m_lastWhole = false;
    // Damage is tracked on the whole screen; a host window's own drawable goes the full way.
    if (hostWnd)
        return Unavailable("host window");
    if (!picture || picture->format != AV_PIX_FMT_YUV420P)
        return Unavailable("encoder picture not I420");
    if (!EnsureTracker())
        return Unavailable("no damage tracking on this display");
    // Read every frame, also while the full path is taken, so that no event piles up.
    const DamageTracker::Result result = m_tracker->Take(&m_rects);
    if (m_tracker->Overflows() != m_overflows) {
        m_overflows = m_tracker->Overflows();
        VLOG_WARN("damage: too many rectangles in one frame, whole frame grabbed (" << m_overflows
                                                                                    << " so far)");
    }
    switch (result) {
        case DamageTracker::Result::kLost:
            // The display server went away or was reset: a new tracker once it is back.
            m_tracker.reset();
            return Unavailable("damage tracking lost its display connection");
        case DamageTracker::Result::kUntrusted:
            return Unavailable("compositing manager");
        case DamageTracker::Result::kUnknown:
            m_valid = false;
            break;
        case DamageTracker::Result::kChanges:
            break;
    }

    CaptureLayout layout;
    if (!capturer->Layout(&layout)) {
        m_valid = false;
        return Outcome::kMonitorLost;
    }
    if (layout.width <= 0 || layout.height <= 0)
        return Unavailable("empty capture rectangle");
    if (!layout.OneToOne())
        return Unavailable("monitor fitted into a capture rectangle of another size");
    // The share of the bitmap that reaches the video, as the full path's conversion reads it.
    scale = std::min(scale, 1.0);
    const int shareW = std::min(layout.width, sizerules::ScaledRecordSide(layout.width, scale));
    const int shareH = std::min(layout.height, sizerules::ScaledRecordSide(layout.height, scale));
    if (shareW <= 0 || shareH <= 0)
        return Unavailable("empty share");
    // A new place or size (another monitor for the follow-target rule, a new rectangle or
    // share) starts from a whole grab.
    const int key[6] = {layout.srcX, layout.srcY, layout.width, layout.height, shareW, shareH};
    if (!std::equal(key, key + 6, m_key)) {
        std::copy(key, key + 6, m_key);
        m_valid = false;
    }
    const int64_t now = vistrec::platform::GetMsTime();
    // Only the time since the last whole grab asks for this one.
    const bool refresh = m_valid && now - m_lastFullMs >= m_refreshMs;
    if (refresh)
        m_valid = false;
    if (!EnsurePictures(layout.width, layout.height, shareW, shareH))
        return Unavailable("out of memory");
    if (!m_reason.empty()) {
        VLOG_INFO("capture: damage path");
        m_reason.clear();
    }

    const Box share{0, 0, shareW, shareH};
    if (result == DamageTracker::Result::kChanges) {
        const std::vector<Box> reported = ReportedBoxes(layout, shareW, shareH);
        // Everything changed; or nothing did, right after a frame in which everything changed
        // (a scene drawn at the frame rate misses a frame now and then): read whole again. A
        // second frame without change in a row means the screen settled, and the kept pictures
        // are rebuilt.
        const bool all = reported.size() == 1 && reported[0] == share;
        if (all || (reported.empty() && afterWhole)) {
            m_lastWhole = all;
            return ComposeWhole(capturer, layout, share, now, picture, text, overlay);
        }
    }

    PointerPlacement place;
    PreparePointerEffects(&place);
    place.px -= layout.srcX;
    place.py -= layout.srcY;

    // The overlays of this frame and the boxes they cover.
    PointerState pointer;
    const vistrec::platform::PointerImage& p = place.pointer;
    pointer.drawn = g_mouse.m_mouseShow != 0 && p.visible && p.width > 0 && p.height > 0 &&
                    p.argb.size() >= static_cast<size_t>(p.width) * p.height;
    pointer.px = place.px, pointer.py = place.py;
    pointer.drawW = place.drawW > 0 ? place.drawW : p.width;
    pointer.drawH = place.drawH > 0 ? place.drawH : p.height;
    pointer.effect = place.effect.get();
    if (place.effect) {
        pointer.effectDx = place.effectDx, pointer.effectDy = place.effectDy;
        pointer.effectW = place.effectW > 0 ? place.effectW : place.effect->width;
        pointer.effectH = place.effectH > 0 ? place.effectH : place.effect->height;
    }
    if (pointer.drawn) {
        pointer.width = p.width, pointer.height = p.height;
        pointer.argb = p.argb;
    }
    Box pointerBox;
    if (pointer.drawn)
        pointerBox = Box{pointer.px, pointer.py, pointer.drawW, pointer.drawH};
    if (pointer.effect)
        pointerBox = damage::BoundingBox(
            pointerBox, Box{pointer.px + pointer.effectDx, pointer.py + pointer.effectDy,
                            pointer.effectW, pointer.effectH});
    pointerBox = damage::AlignToChroma(pointerBox, shareW, shareH);

    TextState textState;
    if (text && text->text && text->text[0]) {
        textState.on = true;
        textState.font = text->font ? text->font : "";
        textState.text = text->text;
        textState.x = static_cast<int>(text->x), textState.y = static_cast<int>(text->y);
        textState.red = text->red, textState.green = text->green, textState.blue = text->blue;
    }
    if (!(textState == m_text) || layout.width != m_textMeasuredWidth)
        m_textExtent = MeasureText(text, textState.on, layout.width, overlay);
    const Box textBox = damage::AlignToChroma(m_textExtent, shareW, shareH);

    // What was drawn on the screen, grabbed into the clean picture.
    std::vector<Box> grabs;
    if (!m_valid) {
        grabs.push_back(share);
        m_lastFullMs = now;
        ++m_stats.rebuilds;
    } else {
        grabs = ReportedBoxes(layout, shareW, shareH);
    }
    m_grabChanged = false;
    if (!grabs.empty()) {
        const Outcome grabbed = GrabSettled(capturer, layout, share, now, &grabs);
        if (grabbed != Outcome::kNewFrame)
            return grabbed;
    }
    if (refresh && !m_grabChanged) {
        // The screen read whole is the kept picture: nothing was missed, nothing changes.
        grabs.clear();
        m_valid = true;
    }

    // What must be restored from the clean picture and converted again: the grabs, each
    // overlay that moved or changed (where it was and where it is), and each overlay that has
    // restored pixels under it, which is then drawn again whole.
    std::vector<Box> dirty = grabs;
    bool drawPointer = !m_valid || !(pointer == m_pointer);
    bool drawText = !m_valid || !(textState == m_text);
    if (drawPointer)
        dirty.insert(dirty.end(), {m_pointerBox, pointerBox});
    if (drawText)
        dirty.insert(dirty.end(), {m_textBox, textBox});
    for (;;) {
        dirty = damage::Merge(dirty, shareW, shareH);
        bool grew = false;
        if (!drawPointer && IntersectsAny(pointerBox, dirty)) {
            drawPointer = grew = true;
            dirty.push_back(pointerBox);
        }
        if (!drawText && IntersectsAny(textBox, dirty)) {
            drawText = grew = true;
            dirty.push_back(textBox);
        }
        if (!grew)
            break;
    }
    ++m_stats.frames;
    if (dirty.empty()) {
        if (HandedFor(*picture).generation == m_generation) {
            ++m_stats.unchanged;
            return Outcome::kPreviousFrame;
        }
        Deliver(picture);
        return Outcome::kNewFrame;
    }

    // Boxes with an overlay drawn in them are converted from the composed picture (restored
    // from the clean one first), the others straight from the clean one.
    std::vector<bool> overlaid(dirty.size(), false);
    for (size_t i = 0; i < dirty.size(); ++i) {
        overlaid[i] = (drawPointer && damage::Intersects(dirty[i], pointerBox)) ||
                      (drawText && textState.on && damage::Intersects(dirty[i], textBox));
        if (overlaid[i])
            CopyRect(m_clean, &m_composed, dirty[i]);
    }
    // The same order as the full path: pointer and effect, then the text over them.
    if (drawPointer)
        DrawPointerEffects(place, m_composed.pixels.get(), m_composed.width, m_composed.height,
                           m_composed.Stride());
    if (drawText && textState.on && overlay)
        overlay->Draw(text->font, text->text, text->x, text->y, text->red, text->green, text->blue,
                      m_composed.pixels.get(), m_composed.width, m_composed.height,
                      m_composed.Stride());
    const ImageView clean{m_clean.pixels.get(), m_clean.width, m_clean.height, m_clean.Stride()};
    const ImageView composed{m_composed.pixels.get(), m_composed.width, m_composed.height,
                             m_composed.Stride()};
    for (size_t i = 0; i < dirty.size(); ++i) {
        const Box& b = dirty[i];
        pixelconvert::BgraRectToI420(overlaid[i] ? composed : clean, b.x, b.y, b.w, b.h,
                                     m_yuv.get());
        m_stats.pixels += static_cast<uint64_t>(b.Area());
    }
    ++m_generation;
    m_lastChange = dirty;
    Deliver(picture);
    m_valid = true;
    m_pointer = std::move(pointer);
    m_pointerBox = pointerBox;
    m_text = std::move(textState);
    m_textBox = textBox;
    return Outcome::kNewFrame;
}
