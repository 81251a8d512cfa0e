#include "CaptureSettings.h"

#include "platform/Platform.h"

CaptureSettings g_captureSettings;

RECT GetDisplayRect(int index) {
    RECT r = {0, 0, 0, 0};
    if (!vistrec::platform::Display().DisplayDeviceRect(index, &r))
        return RECT{0, 0, 0, 0};
    return r;
}

std::vector<RECT> BuildMonitorList() {
    return vistrec::platform::Display().Monitors();
}

int StartMonitorFor(int displayNumber, int count) {
    return (displayNumber >= 1 && displayNumber <= count) ? displayNumber - 1 : 0;
}

int FindTargetMonitor(const std::vector<RECT>& list, int start) {
    if (!g_captureSettings.followTarget)
        return start;
    RECT w;
    if (!vistrec::platform::Display().FindTargetWindowRect(&w))
        return start;
    const int cx = (w.left + w.right) / 2;
    const int cy = (w.top + w.bottom) / 2;
    const int count = static_cast<int>(list.size());
    if (start >= count)
        return 0;
    // The scan starts at the chosen monitor and never looks before it.
    for (int i = start; i < count; ++i) {
        const RECT& m = list[i];
        if (m.left <= cx && cx < m.right && m.top <= cy && cy < m.bottom)
            return i;
    }
    return 0;
}
