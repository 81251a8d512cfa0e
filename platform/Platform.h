// The platform seam: every operating-system service the core uses, as a few narrow interfaces.
// The core includes only this header; a backend folder (platform/linux today) implements it.
// No OS header may appear here.
#ifndef VISTREC_PLATFORM_PLATFORM_H
#define VISTREC_PLATFORM_PLATFORM_H

#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "vistrec/IRecordMp4.h"

namespace vistrec {
namespace platform {

// ---- clocks and process -------------------------------------------------------------------

// System tick counter in milliseconds, wrapping at 32 bits (monotonic).
uint32_t TickCount32();
// Millisecond clock for pause accounting and frame timing (monotonic, 64-bit). The recording
// loop only subtracts its readings, so any fixed origin serves.
int64_t GetMsTime();
// Sleeps the calling thread for about ms milliseconds.
void SleepMs(unsigned ms);
// Directory of the host executable, with a trailing separator ('/'; on Windows '\\'); empty
// when it cannot be read.
std::string ExecutableDir();
// fopen of a path in UTF-8, the encoding of every narrow string of the library (Windows opens
// such paths only through its wide-character calls). Null on failure, with errno set.
FILE* OpenFile(const std::string& path, const char* mode);
// Writes a lifecycle marker (no line end added) to the debug channel: standard error, only when
// VISTREC_DEBUG_OUTPUT is set in the environment.
void DebugOutput(const char* marker);
// Asks the system to put the data written to the file at `path` (by any handle) on the disk,
// waiting until it is there. Returns 0, or the system's error code.
int SyncFileToDisk(const std::string& path);
// Ends the process at once with `status`, running no static destructors or exit handlers
// while the host's other threads still run (on Linux, handlers registered with at_quick_exit
// run). Flush what must reach a file before calling it.
[[noreturn]] void ExitProcessNow(int status);

// ---- shared libraries loaded at run time --------------------------------------------------

// Directory, with a trailing separator, of the binary that holds the library's own code (the shared
// library when vistrec is loaded as one, else the executable); empty when it cannot be told.
std::string LibraryDir();
// The system's file name for a shared library of base name `base` ("nuvra" -> "libnuvra.so").
std::string SharedLibraryFileName(const std::string& base);

// A loaded shared library, unloaded when the object is destroyed. Any thread.
class SharedLibrary {
  public:
    virtual ~SharedLibrary() = default;
    // Loads `name`: a path, or a bare file name looked up on the system's search path. Null
    // when it cannot be loaded.
    static std::unique_ptr<SharedLibrary> Open(const std::string& name);
    // Address of the exported symbol `name`; null when there is none.
    virtual void* Symbol(const char* name) const = 0;
};

// ---- host-facing services -----------------------------------------------------------------

// Posts WM_RECORDER_NOTIFY (wParam 0, lParam) to the host window of class "Vistrel", looked up
// afresh on every call; without such a window nothing is sent. Any thread.
void PostHostNotification(int32_t lParam);

// The host-created level block "voluMem": opened, never created, by the library. Owns its
// handle; closing is idempotent.
class SharedLevelBlock {
  public:
    virtual ~SharedLevelBlock() = default;
    // Writes text (with its terminating zero) at offset 0 of the block, mapping the block for
    // the duration of the call. Returns false when the block cannot be mapped.
    virtual bool WriteText(const char* text) = 0;
};
// Opens the host's "voluMem" block; null when the host has not created it.
std::unique_ptr<SharedLevelBlock> OpenSharedLevelBlock();

// ---- displays, windows, pointer, screen pixels --------------------------------------------

// A view of captured pixels: 4 bytes per pixel in blue, green, red, fourth-byte order, rows top
// first. Valid until the next call on the grabber that produced it.
struct ImageView {
    const uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;  // bytes per row
};

// The pointer as the display server shows it now.
struct PointerImage {
    bool visible = false;  // false: no pointer to draw (hidden or unreadable)
    int x = 0, y = 0;      // position of the hotspot in screen coordinates
    int xHotspot = 0, yHotspot = 0;
    int width = 0, height = 0;
    std::vector<uint32_t> argb;  // width x height premultiplied ARGB pixels, rows top first
};

// Reads whole-screen pixels. Keeps its transfer buffers between calls, so one grabber serves
// one capturing thread; create one per recording.
class ScreenGrabber {
  public:
    virtual ~ScreenGrabber() = default;
    // Copies the screen rectangle (x, y, w, h) from the host window's drawable (hostWnd not
    // null) or the whole screen (null). Parts outside the drawable read as black. Returns false
    // when nothing could be read.
    virtual bool Grab(HWND hostWnd, int x, int y, int w, int h, ImageView* out) = 0;
    // True once the grabber's connection to the display server is gone for good (the server
    // went away): every later Grab fails, and only a new grabber can read the screen again.
    virtual bool ConnectionLost() const = 0;
};

// Which parts of the screen changed, as the display server accounts for its own drawing (X11:
// the DAMAGE extension on the root window; a Windows backend would give the dirty and move
// rectangles of desktop duplication). One tracker serves one capturing thread.
class DamageTracker {
  public:
    enum class Result {
        kChanges,    // `rects` holds every change since the previous call (perhaps none)
        kUnknown,    // the changes are not known (first call, too many to hold, the monitor
                     // layout changed): take the whole screen as changed
        kUntrusted,  // damage cannot be trusted now (a compositing manager runs): grab whole
                     // frames until it can be again (the next trusted call answers kUnknown)
        kLost,       // the connection to the display server is gone for good: make a new one
    };
    virtual ~DamageTracker() = default;
    // Replaces `rects` with the screen rectangles drawn since the previous call; they may
    // overlap. The list is bounded: past a limit the rectangles are dropped, the call answers
    // kUnknown and Overflows() goes up.
    virtual Result Take(std::vector<RECT>* rects) = 0;
    // Calls so far that dropped their rectangles for being too many.
    virtual uint64_t Overflows() const = 0;
};

// The display server: monitors, the target window, the pointer. Thread-safe.
class DisplayServer {
  public:
    virtual ~DisplayServer() = default;
    // Number of active monitors (at least 1 while a display is reachable, 0 without one).
    virtual int MonitorCount() = 0;
    // Rectangles of the active monitors, in the server's order, in physical pixels.
    virtual std::vector<RECT> Monitors() = 0;
    // Rectangle of display device `index` (0-based); false when there is no such device.
    virtual bool DisplayDeviceRect(int index, RECT* out) = 0;
    // Rectangle in screen coordinates of the first top-level window of class "screenClass"
    // that has a descendant of class "MsoCommandBarDock"; false when there is none.
    virtual bool FindTargetWindowRect(RECT* out) = 0;
    // Size of the pointer as the system draws it at 100 %, for the pointer-size setting.
    virtual void PointerNominalSize(const PointerImage& pointer, int* cx, int* cy) = 0;
    // Current pointer image and position.
    virtual bool GetPointer(PointerImage* out) = 0;
    // A new grabber for one capturing thread; null when the display cannot be reached.
    virtual std::unique_ptr<ScreenGrabber> CreateGrabber() = 0;
    // A new damage tracker for one capturing thread; null when the display cannot be reached
    // or cannot report damage (then every frame is grabbed whole).
    virtual std::unique_ptr<DamageTracker> CreateDamageTracker() { return nullptr; }
};

// The process-wide display server of the backend (connected on first use).
DisplayServer& Display();
// Replaces the display server for unit tests of core rules (null restores the backend's).
void SetDisplayForTesting(DisplayServer* fake);

// ---- icon files ---------------------------------------------------------------------------

// An icon decoded from a file: width x height premultiplied ARGB pixels, rows top first. The
// hotspot of an icon is its centre.
struct IconImage {
    int width = 0, height = 0;
    int xHotspot = 0, yHotspot = 0;
    std::vector<uint32_t> argb;
};
// Reads an ".ico" file at the size stored in it (the first entry's size, deepest colour among
// the entries of that size). Null, with the reason in `error` when given, for a missing,
// truncated, oversized or malformed file. Any thread.
std::unique_ptr<IconImage> LoadIconFile(const std::string& path, std::string* error = nullptr);

}  // namespace platform
}  // namespace vistrec

#endif  // VISTREC_PLATFORM_PLATFORM_H
