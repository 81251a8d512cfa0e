// Private helpers of the X11 backend: connections, error trapping, owners of Xlib resources and
// the window-class lookups shared by the display server and the host notification.
#ifndef VISTREC_PLATFORM_LINUX_X11SUPPORT_H
#define VISTREC_PLATFORM_LINUX_X11SUPPORT_H

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <stdint.h>

#include <memory>
#include <mutex>

namespace vistrec {
namespace platform {
namespace x11 {

// Opens a connection to $DISPLAY. Makes Xlib thread-safe first (once per process), so every
// connection of the backend may be used from any thread under its owner's lock. A connection
// whose server goes away does not end the process (Xlib's default): it is marked lost, every
// later request on it fails, and its owner opens a new one.
::Display* OpenConnection();

// True once the server of `display` has gone away (an I/O error on the connection).
bool ConnectionLost(::Display* display);

// Closes a connection of OpenConnection's. A lost one is left as it is: closing it would only
// raise the I/O error again.
void CloseConnection(::Display* display);

struct ConnectionCloser {
    void operator()(::Display* d) const { CloseConnection(d); }
};
using ConnectionPtr = std::unique_ptr<::Display, ConnectionCloser>;

// Frees memory Xlib handed out (XQueryTree children, property data, class hints' strings).
struct XFreeDeleter {
    void operator()(void* p) const {
        if (p)
            XFree(p);
    }
};
template <typename T>
using XFreePtr = std::unique_ptr<T, XFreeDeleter>;

struct ImageDestroyer {
    void operator()(XImage* image) const { XDestroyImage(image); }
};
using ImagePtr = std::unique_ptr<XImage, ImageDestroyer>;

// Collects the X errors that requests on one connection cause while it is alive, instead of
// letting Xlib's default handler end the process. Errors of other connections, or outside any
// trap, go to the handler that was installed before. Scopes nest; the innermost trap of the
// calling thread for that connection gets the error. The trap must live on the thread that
// issues the requests, and the connection must not be used by another thread meanwhile.
class ErrorTrap {
  public:
    explicit ErrorTrap(::Display* display);
    ~ErrorTrap();
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;

    // Waits until the server has handled every request sent so far; returns the first error
    // code seen in this scope (0: none).
    int Sync();
    // First error code collected so far, without a round trip.
    int error() const { return error_; }

  private:
    static int Handler(::Display* display, XErrorEvent* event);

    ::Display* display_;
    int error_ = 0;
    ErrorTrap* outer_;
};

// Which optional extensions a connection offers.
struct Extensions {
    bool randrMonitors = false;  // RandR 1.5 or later (XRRGetMonitors)
    bool xfixes = false;         // cursor images
};
Extensions QueryExtensions(::Display* display);

// The process-wide connection used for monitors, windows, the pointer and host notifications.
// Opened on first use; while no server can be reached, opening is retried at most once a
// second. It lives until the process ends.
class SharedConnection {
  public:
    static SharedConnection& Instance();

    // Holds the connection's lock for its lifetime; every Xlib call on display() must happen
    // under a Lease.
    class Lease {
      public:
        explicit Lease(SharedConnection& owner);
        ::Display* display() const { return owner_.display_; }  // null: no server reachable
        const Extensions& extensions() const { return owner_.extensions_; }

      private:
        std::lock_guard<std::mutex> lock_;
        SharedConnection& owner_;
    };

  private:
    SharedConnection() = default;
    void OpenIfDue();

    std::mutex mutex_;
    ::Display* display_ = nullptr;  // owned; deliberately never closed (see Instance)
    Extensions extensions_;
    bool attempted_ = false;
    int64_t lastAttemptMs_ = 0;
};

// True when `window` has WM_CLASS whose class (second string) equals `windowClass`. Sets
// *hasClass (when given) to whether the window has a WM_CLASS at all.
bool WindowHasClass(::Display* display, Window window, const char* windowClass,
                    bool* hasClass = nullptr);

// Whether any window below `window`, at any depth, has the class `windowClass`.
bool HasDescendantOfClass(::Display* display, Window window, const char* windowClass);

// The first top-level window of class `windowClass` for which `accept` (may be null) says yes,
// in stacking order from the bottom. Top-level windows are the root's children; a root child
// without WM_CLASS is taken for a window manager's frame and its children are examined instead.
// Returns None when there is none. Call inside an ErrorTrap: windows may vanish meanwhile.
Window FindTopLevelWindow(::Display* display, const char* windowClass,
                          bool (*accept)(::Display*, Window) = nullptr);

}  // namespace x11
}  // namespace platform
}  // namespace vistrec

#endif  // VISTREC_PLATFORM_LINUX_X11SUPPORT_H
