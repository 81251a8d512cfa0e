// Process-wide capture settings and the display lookups built on the platform's monitor list.
#ifndef VISTREC_CAPTURE_CAPTURESETTINGS_H
#define VISTREC_CAPTURE_CAPTURESETTINGS_H

#include <vector>

#include "vistrec/IRecordMp4.h"

// Shared by every recorder in the process. Plain fields by design: the host's thread writes
// them through the setters and the record threads read them on every frame, unlocked.
struct CaptureSettings {
    RECT captureRect = {0, 0, 0, 0};  // area copied in region mode; size of every capture bitmap
    bool regionFlag = false;          // true: captureRect itself, 1:1; false: a whole monitor
    int displayNumber = 0;            // 1-based monitor; 0 or out of range: the first one
    bool followTarget = false;        // capture the monitor that holds the target window
};
extern CaptureSettings g_captureSettings;

// Rectangle of display device `index` (0-based); an empty rectangle when there is none.
RECT GetDisplayRect(int index);

// The monitors in the platform's order.
std::vector<RECT> BuildMonitorList();

// Index of the monitor to capture: `start` unless the follow-target flag is set and the target
// window's centre lies in a monitor at or after `start` (0 when it lies in none of them).
int FindTargetMonitor(const std::vector<RECT>& list, int start);

// 0-based monitor index chosen by a 1-based display number: number - 1 when it is in
// 1..count, else 0.
int StartMonitorFor(int displayNumber, int count);

#endif
