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
    const int srcX = RoundDown4(mon.left), srcY = RoundDown4(mon.top);
    const int srcW = RoundDown4(mon.right - mon.left), srcH = RoundDown4(mon.bottom - mon.top);
    const RECT capture = cs.captureRect;
    const int dstW = std::max(0, RoundDown4(capture.right - capture.left));
    const int dstH = std::max(0, RoundDown4(capture.bottom - capture.top));

    PointerPlacement place;
    PreparePointerEffects(&place);

    if (out->width != dstW || out->height != dstH) {
        out->width = dstW;
        out->height = dstH;
        out->pixels.assign(static_cast<size_t>(dstW) * dstH * 4, 0);
    }
    if (dstW == 0 || dstH == 0)
        return true;

    ImageView view;
    bool ok = false;
    if (cs.regionFlag) {
        // The rectangle itself, 1:1, from its own (unrounded) corner.
        ok = Grab(hostWnd, capture.left, capture.top, dstW, dstH, &view);
        if (ok && !(direct && view.width == dstW && view.height == dstH))
            FitInto(view, out, 0, 0, dstW, dstH);
        else if (ok)
            *direct = view;  // the grab itself, 1:1: no copy
        place.px -= capture.left;
        place.py -= capture.top;
    } else {
        const sizerules::Placement fit = sizerules::FitMonitor(srcW, srcH, dstW, dstH);
        ok = fit.width > 0 && fit.height > 0 && Grab(hostWnd, srcX, srcY, srcW, srcH, &view);
        if (ok && direct && fit.width == dstW && fit.height == dstH && view.width == dstW &&
            view.height == dstH) {
            *direct = view;  // the whole monitor, 1:1: no copy
        } else if (ok) {
            ClearBands(out, fit.x, fit.y, fit.width, fit.height);
            FitInto(view, out, fit.x, fit.y, fit.width, fit.height);
        }
        // The pointer is placed relative to the monitor, neither scaled nor shifted by a band.
        place.px -= srcX;
        place.py -= srcY;
    }
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
