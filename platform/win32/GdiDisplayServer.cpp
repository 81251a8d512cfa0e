// The display server on Windows: monitors and display devices, the target window, the pointer,
// GDI copies of the screen into a DIB section, and what changed from desktop duplication.
#include <windows.h>

#include <string.h>

#include <atomic>

#include "platform/Platform.h"
#include "platform/win32/DxgiDamage.h"
#include "platform/win32/Win32Support.h"

namespace vistrec {
namespace platform {

namespace {

// The target window: a top-level "screenClass" window holding a "MsoCommandBarDock" window.
constexpr wchar_t kTargetWindowClass[] = L"screenClass";
constexpr wchar_t kTargetMarkerClass[] = L"MsoCommandBarDock";

// The current mode of a display device as a rectangle in physical pixels.
bool ModeRect(const wchar_t* device, RECT* out) {
    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    if (!EnumDisplaySettingsW(device, ENUM_CURRENT_SETTINGS, &mode))
        return false;
    out->left = mode.dmPosition.x;
    out->top = mode.dmPosition.y;
    out->right = mode.dmPosition.x + static_cast<LONG>(mode.dmPelsWidth);
    out->bottom = mode.dmPosition.y + static_cast<LONG>(mode.dmPelsHeight);
    return true;
}

BOOL CALLBACK CollectMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM data) {
    auto* list = reinterpret_cast<std::vector<RECT>*>(data);
    MONITORINFOEXW info{};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoW(monitor, &info))
        return TRUE;
    RECT rect = info.rcMonitor;
    // The mode's size is in physical pixels whatever the process's DPI awareness.
    ModeRect(info.szDevice, &rect);
    list->push_back(rect);
    return TRUE;
}

BOOL CALLBACK FindMarker(HWND window, LPARAM data) {
    wchar_t name[64];
    if (GetClassNameW(window, name, 64) > 0 && wcscmp(name, kTargetMarkerClass) == 0) {
        *reinterpret_cast<bool*>(data) = true;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindTarget(HWND window, LPARAM data) {
    wchar_t name[64];
    if (GetClassNameW(window, name, 64) <= 0 || wcscmp(name, kTargetWindowClass) != 0)
        return TRUE;
    bool marked = false;
    // EnumChildWindows visits every descendant, not only the direct children.
    EnumChildWindows(window, &FindMarker, reinterpret_cast<LPARAM>(&marked));
    if (!marked)
        return TRUE;
    *reinterpret_cast<HWND*>(data) = window;
    return FALSE;
}

// Copies screen rectangles with BitBlt into a DIB section kept between calls.
class GdiScreenGrabber final : public ScreenGrabber {
  public:
    bool Grab(HWND hostWnd, int x, int y, int w, int h, ImageView* out) override {
        if (!out || w <= 0 || h <= 0 || !canvas_.Resize(w, h))
            return false;
        // With a host window its own device context is read, in the same coordinates.
        HDC source = hostWnd ? GetWindowDC(hostWnd) : GetDC(nullptr);
        if (!source)
            return false;
        // Parts outside the screen read as black: only the part on the virtual screen is
        // copied (Wine copies nothing at all of a rectangle that reaches past the screen).
        RECT wanted = {x, y, x + w, y + h};
        RECT part = wanted;
        if (!hostWnd) {
            const int vx = GetSystemMetrics(SM_XVIRTUALSCREEN);
            const int vy = GetSystemMetrics(SM_YVIRTUALSCREEN);
            const RECT desktop = {vx, vy, vx + GetSystemMetrics(SM_CXVIRTUALSCREEN),
                                  vy + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
            if (!IntersectRect(&part, &wanted, &desktop))
                SetRectEmpty(&part);
        }
        if (!EqualRect(&part, &wanted))
            memset(canvas_.bits(), 0, static_cast<size_t>(canvas_.stride()) * h);
        const BOOL copied =
            IsRectEmpty(&part) ||
            BitBlt(canvas_.dc(), part.left - x, part.top - y, part.right - part.left,
                   part.bottom - part.top, source, part.left, part.top, SRCCOPY | CAPTUREBLT);
        ReleaseDC(hostWnd, source);
        if (!copied)
            return false;
        GdiFlush();
        out->data = canvas_.bits();
        out->width = w;
        out->height = h;
        out->stride = canvas_.stride();
        return true;
    }

    // GDI has no connection to lose; a copy that fails (say on the secure desktop) fails alone.
    bool ConnectionLost() const override { return false; }

  private:
    win32::DibCanvas canvas_;
};

class GdiDisplayServer final : public DisplayServer {
  public:
    int MonitorCount() override { return GetSystemMetrics(SM_CMONITORS); }

    std::vector<RECT> Monitors() override {
        std::vector<RECT> list;
        EnumDisplayMonitors(nullptr, nullptr, &CollectMonitor, reinterpret_cast<LPARAM>(&list));
        return list;
    }

    bool DisplayDeviceRect(int index, RECT* out) override {
        if (index < 0 || !out)
            return false;
        DISPLAY_DEVICEW device{};
        device.cb = sizeof device;
        if (!EnumDisplayDevicesW(nullptr, static_cast<DWORD>(index), &device, 0))
            return false;
        // A device without a current mode (not attached to the desktop) has an empty rectangle.
        *out = RECT{0, 0, 0, 0};
        ModeRect(device.DeviceName, out);
        return true;
    }

    bool FindTargetWindowRect(RECT* out) override {
        if (!out)
            return false;
        HWND target = nullptr;
        EnumWindows(&FindTarget, reinterpret_cast<LPARAM>(&target));
        return target && GetWindowRect(target, out);
    }

    void PointerNominalSize(const PointerImage&, int* cx, int* cy) override {
        if (cx)
            *cx = GetSystemMetrics(SM_CXCURSOR);
        if (cy)
            *cy = GetSystemMetrics(SM_CYCURSOR);
    }

    bool GetPointer(PointerImage* out) override {
        if (!out)
            return false;
        *out = PointerImage();
        CURSORINFO info{};
        info.cbSize = sizeof info;
        if (!GetCursorInfo(&info))
            return false;
        out->x = info.ptScreenPos.x;
        out->y = info.ptScreenPos.y;
        if (!(info.flags & CURSOR_SHOWING) || !info.hCursor)
            return true;  // hidden: nothing to draw
        if (!win32::IconGeometry(info.hCursor, &out->width, &out->height, &out->xHotspot,
                                 &out->yHotspot) ||
            !win32::RenderIcon(info.hCursor, out->width, out->height, &out->argb))
            return false;
        out->visible = true;
        return true;
    }

    std::unique_ptr<ScreenGrabber> CreateGrabber() override {
        return std::make_unique<GdiScreenGrabber>();
    }

    std::unique_ptr<DamageTracker> CreateDamageTracker() override {
        return win32::OpenDxgiDamageTracker();
    }
};

std::atomic<DisplayServer*> g_testDisplay{nullptr};

}  // namespace

DisplayServer& Display() {
    if (DisplayServer* fake = g_testDisplay.load())
        return *fake;
    static GdiDisplayServer backend;
    return backend;
}

void SetDisplayForTesting(DisplayServer* fake) {
    g_testDisplay.store(fake);
}

}  // namespace platform
}  // namespace vistrec
