#include "CaptureScreen.h"

#include <string.h>

#include <algorithm>

extern "C" {
#include <libswscale/swscale.h>
}

#include "CaptureSettings.h"
#include "MouseEffects.h"
#include "SizeRules.h"
#include "support/Log.h"

using vistrec::platform::ImageView;

void CRetryBackoff::Failed(int64_t nowMs) {
    m_delayMs = m_delayMs == 0 ? kFirstMs : std::min(m_delayMs * 2, kMaxMs);
    m_nextMs = nowMs + m_delayMs;
}

int g_previousMonitorCount = 0;

CScreenCapturer::CScreenCapturer() = default;

CScreenCapturer::~CScreenCapturer() = default;

void CScreenCapturer::FitInto(const ImageView& src, CaptureBitmap* out, int x, int y, int w,
                              int h) {
    if (w <= 0 || h <= 0)
        return;
    uint8_t* dst =
        out->pixels.data() + static_cast<size_t>(y) * out->Stride() + static_cast<size_t>(x) * 4;
    if (src.width == w && src.height == h) {
        for (int row = 0; row < h; ++row)
            memcpy(dst + static_cast<size_t>(row) * out->Stride(),
                   src.data + static_cast<size_t>(row) * src.stride, static_cast<size_t>(w) * 4);
        return;
    }
    const int key[4] = {src.width, src.height, w, h};
    if (!m_fitScaler || !std::equal(key, key + 4, m_fitKey)) {
        // Area averaging keeps text legible when a large monitor shrinks into the bitmap.
        m_fitScaler.reset(sws_getContext(src.width, src.height, AV_PIX_FMT_BGRA, w, h,
                                         AV_PIX_FMT_BGRA, SWS_AREA, nullptr, nullptr, nullptr));
        std::copy(key, key + 4, m_fitKey);
        if (!m_fitScaler)
            return;
    }
    const uint8_t* srcPlanes[1] = {src.data};
    const int srcStrides[1] = {src.stride};
    uint8_t* dstPlanes[1] = {dst};
    const int dstStrides[1] = {out->Stride()};
    sws_scale(m_fitScaler.get(), srcPlanes, srcStrides, 0, src.height, dstPlanes, dstStrides);
}

void CScreenCapturer::ClearBands(CaptureBitmap* out, int x, int y, int w, int h) {
    // Bands beside a letterboxed picture are black; they are cleared on every frame because
    // the pointer may have been drawn into them.
    uint8_t* base = out->pixels.data();
    const size_t stride = static_cast<size_t>(out->Stride());
    for (int row = 0; row < out->height; ++row) {
        uint8_t* line = base + row * stride;
        if (row < y || row >= y + h) {
            memset(line, 0, stride);
            continue;
        }
        memset(line, 0, static_cast<size_t>(x) * 4);
        memset(line + static_cast<size_t>(x + w) * 4, 0,
               static_cast<size_t>(out->width - x - w) * 4);
    }
}

bool CScreenCapturer::Grab(HWND hostWnd, int x, int y, int w, int h, ImageView* view) {
    const int64_t now = vistrec::platform::GetMsTime();
    if (!m_grabber && m_reconnect.Due(now)) {
        m_grabber = vistrec::platform::Display().CreateGrabber();
        if (m_grabber)
            m_reconnect.Succeeded();
        else
            m_reconnect.Failed(now);
    }
    if (!m_grabber)
        return false;
    if (m_grabber->Grab(hostWnd, x, y, w, h, view))
        return true;
    if (m_grabber->ConnectionLost()) {
        // The display server went away (or was restarted): this grabber can never read again.
        // A new one is opened at once and then at a slowing pace until the server is back.
        VLOG_WARN("screen grabber lost its display connection, reconnecting");
        m_grabber.reset();
    }
    return false;
}

bool CScreenCapturer::Layout(CaptureLayout* out) {
    const std::vector<RECT> monitors = BuildMonitorList();
    const int count = static_cast<int>(monitors.size());
    const CaptureSettings& cs = g_captureSettings;

    // The chosen monitor vanished: tell the host on every capture until the number is changed
    // or the monitor is back. No monitor at all means the display server cannot be reached (it
    // went away or is restarting), not that a monitor was unplugged: captures go on reading
    // nothing until it is back, and the count from before it went away is kept.
    if (count > 0 && g_previousMonitorCount != 0 && count < g_previousMonitorCount &&
        cs.displayNumber > count) {
        vistrec::platform::PostHostNotification(0);
        return false;
    }
    if (count > 0)
        g_previousMonitorCount = count;

    RECT mon = {0, 0, 0, 0};
    if (count > 0) {
        const int m = FindTargetMonitor(monitors, StartMonitorFor(cs.displayNumber, count));
        mon = monitors[m];
    }
    using sizerules::RoundDown4;
    const RECT capture = cs.captureRect;
    CaptureLayout l;
    l.width = std::max(0, RoundDown4(capture.right - capture.left));
    l.height = std::max(0, RoundDown4(capture.bottom - capture.top));
    l.region = cs.regionFlag;
    if (l.region) {
        // The rectangle itself, 1:1, from its own (unrounded) corner.
        l.srcX = capture.left, l.srcY = capture.top, l.srcW = l.width, l.srcH = l.height;
        l.fitW = l.width, l.fitH = l.height;
    } else {
        l.srcX = RoundDown4(mon.left), l.srcY = RoundDown4(mon.top);
        l.srcW = RoundDown4(mon.right - mon.left), l.srcH = RoundDown4(mon.bottom - mon.top);
        const sizerules::Placement fit = sizerules::FitMonitor(l.srcW, l.srcH, l.width, l.height);
        l.fitX = fit.x, l.fitY = fit.y, l.fitW = fit.width, l.fitH = fit.height;
    }
    *out = l;
    return true;
}

bool CScreenCapturer::CaptureScreen(HWND hostWnd, CaptureBitmap* out, bool* grabbed) {
    return Capture(hostWnd, out, nullptr, grabbed);
}

bool CScreenCapturer::CaptureView(HWND hostWnd, CaptureBitmap* out, ImageView* view,
                                  bool* grabbed) {
    *view = ImageView{};
    if (!Capture(hostWnd, out, view, grabbed))
        return false;
    if (!view->data)
        *view = ImageView{out->pixels.data(), out->width, out->height, out->Stride()};
    return true;
}

bool CScreenCapturer::Capture(HWND hostWnd, CaptureBitmap* out, ImageView* direct, bool* grabbed) {
    if (grabbed)
        *grabbed = false;
    CaptureLayout l;
    if (!Layout(&l))
        return false;

    PointerPlacement place;
    PreparePointerEffects(&place);

    if (out->width != l.width || out->height != l.height) {
        out->width = l.width;
        out->height = l.height;
        out->pixels.assign(static_cast<size_t>(l.width) * l.height * 4, 0);
    }
    if (l.width == 0 || l.height == 0)
        return true;

    ImageView view;
    bool ok = false;
    if (l.region) {
        ok = Grab(hostWnd, l.srcX, l.srcY, l.width, l.height, &view);
        if (ok && direct && view.width == l.width && view.height == l.height)
            *direct = view;  // the grab itself, 1:1: no copy
        else if (ok)
            FitInto(view, out, 0, 0, l.width, l.height);
    } else {
        ok = l.fitW > 0 && l.fitH > 0 && Grab(hostWnd, l.srcX, l.srcY, l.srcW, l.srcH, &view);
        if (ok && direct && l.OneToOne() && view.width == l.width && view.height == l.height) {
            *direct = view;  // the whole monitor, 1:1: no copy
        } else if (ok) {
            ClearBands(out, l.fitX, l.fitY, l.fitW, l.fitH);
            FitInto(view, out, l.fitX, l.fitY, l.fitW, l.fitH);
        }
    }
    // The pointer is placed relative to the grabbed corner (a monitor's: neither scaled nor
    // shifted by a band).
    place.px -= l.srcX;
    place.py -= l.srcY;
    // Without new pixels the bitmap still holds the last capture with its pointer: drawing the
    // pointer again would leave a second one on it.
    // A grab handed out directly is read again from the screen for the next frame, so the
    // pointer drawn into it is never carried over.
    if (ok && direct && direct->data)
        DrawPointerEffects(place, const_cast<uint8_t*>(direct->data), direct->width, direct->height,
                           direct->stride);
    else if (ok)
        DrawPointerEffects(place, out->pixels.data(), out->width, out->height, out->Stride());
    if (grabbed)
        *grabbed = ok;
    return true;
}
