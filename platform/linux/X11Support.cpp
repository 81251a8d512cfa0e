#include "platform/linux/X11Support.h"

#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "platform/Platform.h"

// Last: for LockDisplay. It defines min and max as macros.
#include <X11/Xlibint.h>
#undef min
#undef max

namespace vistrec {
namespace platform {
namespace x11 {

namespace {

// Shortest interval between two attempts to reach an X server that was not there.
constexpr int64_t kReconnectIntervalMs = 1000;

thread_local ErrorTrap* t_innermostTrap = nullptr;

// The handler that was installed before ours; errors outside our traps go there.
std::atomic<XErrorHandler> g_previousHandler{nullptr};
std::mutex g_handlerMutex;

}  // namespace

namespace {

// Connections whose server went away. Only ever grows: a lost Display is never freed, so its
// address cannot be reused by a new connection.
std::mutex g_lostMutex;
std::vector<::Display*> g_lost;

// Called by Xlib, with the connection's lock held, once an I/O error has made the connection
// unusable. Returning (instead of Xlib's default exit) keeps the host process alive.
void OnConnectionLost(::Display* display, void*) {
    {
        std::lock_guard<std::mutex> lock(g_lostMutex);
        g_lost.push_back(display);
    }
    fprintf(stderr, "vistrec: the X server closed the connection\n");
    // Xlib released the connection's lock before calling the handlers, and the request that
    // failed releases it once more on its way out: take it back so that the two releases
    // balance (an unlock of an unlocked mutex otherwise).
    LockDisplay(display);
}

// Connections opened by this backend; the host's own connections are not ours to handle.
std::vector<::Display*> g_ours;
XIOErrorHandler g_previousIoHandler = nullptr;

// Xlib's process-wide I/O error handler: the default one prints and exits. For our connections
// it only returns, so that the per-connection exit handler above decides; the host's
// connections keep whatever handler was there before.
int OnIoError(::Display* display) {
    bool ours = false;
    {
        std::lock_guard<std::mutex> lock(g_lostMutex);
        ours = std::find(g_ours.begin(), g_ours.end(), display) != g_ours.end();
    }
    if (ours)
        return 0;
    if (g_previousIoHandler)
        return g_previousIoHandler(display);
    fprintf(stderr, "X connection to %s broken\n", DisplayString(display));
    exit(1);
}

}  // namespace

::Display* OpenConnection() {
    static std::once_flag threadsInitialised;
    std::call_once(threadsInitialised, [] {
        XInitThreads();
        g_previousIoHandler = XSetIOErrorHandler(&OnIoError);
    });
    ::Display* display = XOpenDisplay(nullptr);
    if (display) {
        {
            std::lock_guard<std::mutex> lock(g_lostMutex);
            g_ours.push_back(display);
        }
        XSetIOErrorExitHandler(display, &OnConnectionLost, nullptr);
    }
    return display;
}

void CloseConnection(::Display* display) {
    if (ConnectionLost(display))
        return;
    {
        std::lock_guard<std::mutex> lock(g_lostMutex);
        g_ours.erase(std::remove(g_ours.begin(), g_ours.end(), display), g_ours.end());
    }
    XCloseDisplay(display);
}

bool ConnectionLost(::Display* display) {
    std::lock_guard<std::mutex> lock(g_lostMutex);
    return std::find(g_lost.begin(), g_lost.end(), display) != g_lost.end();
}

// ---- ErrorTrap ----------------------------------------------------------------------------

ErrorTrap::ErrorTrap(::Display* display) : display_(display), outer_(t_innermostTrap) {
    {
        // Installed on every entry rather than once: a host that sets its own handler later is
        // then chained behind ours instead of silently replacing it.
        std::lock_guard<std::mutex> lock(g_handlerMutex);
        XErrorHandler previous = XSetErrorHandler(&ErrorTrap::Handler);
        if (previous != &ErrorTrap::Handler)
            g_previousHandler.store(previous);
    }
    t_innermostTrap = this;
}

namespace {

// Waits for the replies of all requests sent on `display`, skipping the round trip when the
// server has already answered the last one.
void SyncIfPending(::Display* display) {
    if (display && LastKnownRequestProcessed(display) != NextRequest(display) - 1)
        XSync(display, False);
}

}  // namespace

ErrorTrap::~ErrorTrap() {
    // Errors of requests made in this scope must arrive while it is still the active trap.
    SyncIfPending(display_);
    t_innermostTrap = outer_;
}

int ErrorTrap::Sync() {
    SyncIfPending(display_);
    return error_;
}

int ErrorTrap::Handler(::Display* display, XErrorEvent* event) {
    for (ErrorTrap* trap = t_innermostTrap; trap; trap = trap->outer_) {
        if (trap->display_ == display) {
            if (trap->error_ == 0)
                trap->error_ = event->error_code;
            return 0;
        }
    }
    XErrorHandler previous = g_previousHandler.load();
    return previous ? previous(display, event) : 0;
}

// ---- extensions ---------------------------------------------------------------------------

Extensions QueryExtensions(::Display* display) {
    Extensions result;
    int eventBase = 0, errorBase = 0;
    if (XRRQueryExtension(display, &eventBase, &errorBase)) {
        int major = 0, minor = 0;
        if (XRRQueryVersion(display, &major, &minor))
            result.randrMonitors = major > 1 || (major == 1 && minor >= 5);
    }
    if (XFixesQueryExtension(display, &eventBase, &errorBase)) {
        int major = 0, minor = 0;
        result.xfixes = XFixesQueryVersion(display, &major, &minor) && major >= 1;
    }
    return result;
}

// ---- SharedConnection ---------------------------------------------------------------------

SharedConnection& SharedConnection::Instance() {
    // Never destroyed: threads of the host may still use it while static objects are torn
    // down, and closing a connection to a server that is already gone would make Xlib end the
    // process. The socket closes with the process.
    static SharedConnection* instance = new SharedConnection();
    return *instance;
}

SharedConnection::Lease::Lease(SharedConnection& owner) : lock_(owner.mutex_), owner_(owner) {
    owner_.OpenIfDue();
}

void SharedConnection::OpenIfDue() {
    // A lost connection is dropped (not closed, see ConnectionCloser) and a new one tried.
    if (display_ && ConnectionLost(display_)) {
        display_ = nullptr;
        attempted_ = false;
    }
    if (display_)
        return;
    const int64_t now = GetMsTime();
    if (attempted_ && now - lastAttemptMs_ < kReconnectIntervalMs)
        return;
    attempted_ = true;
    lastAttemptMs_ = now;
    display_ = OpenConnection();
    if (display_)
        extensions_ = QueryExtensions(display_);
}

// ---- window classes -----------------------------------------------------------------------

bool WindowHasClass(::Display* display, Window window, const char* windowClass, bool* hasClass) {
    XClassHint hint{};
    const bool found = XGetClassHint(display, window, &hint) != 0;
    XFreePtr<char> name(hint.res_name);
    XFreePtr<char> klass(hint.res_class);
    if (hasClass)
        *hasClass = found;
    return found && klass && strcmp(klass.get(), windowClass) == 0;
}

namespace {

// Children of `window` from the bottom of the stacking order up; empty on failure.
std::vector<Window> Children(::Display* display, Window window) {
    Window root = None, parent = None;
    Window* children = nullptr;
    unsigned count = 0;
    std::vector<Window> result;
    if (!XQueryTree(display, window, &root, &parent, &children, &count))
        return result;
    XFreePtr<Window> owner(children);
    result.assign(children, children + count);
    return result;
}

}  // namespace

bool HasDescendantOfClass(::Display* display, Window window, const char* windowClass) {
    std::vector<Window> pending = Children(display, window);
    while (!pending.empty()) {
        const Window next = pending.back();
        pending.pop_back();
        if (WindowHasClass(display, next, windowClass))
            return true;
        std::vector<Window> below = Children(display, next);
        pending.insert(pending.end(), below.begin(), below.end());
    }
    return false;
}

Window FindTopLevelWindow(::Display* display, const char* windowClass,
                          bool (*accept)(::Display*, Window)) {
    auto matches = [&](Window w, bool* hasClass) {
        return WindowHasClass(display, w, windowClass, hasClass) && (!accept || accept(display, w));
    };
    for (Window topLevel : Children(display, DefaultRootWindow(display))) {
        bool hasClass = false;
        if (matches(topLevel, &hasClass))
            return topLevel;
        if (hasClass)
            continue;
        // A reparenting window manager puts each client window inside a frame of its own.
        for (Window client : Children(display, topLevel)) {
            if (matches(client, nullptr))
                return client;
        }
    }
    return None;
}

}  // namespace x11
}  // namespace platform
}  // namespace vistrec
