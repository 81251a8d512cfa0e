#include "ButtonWatcher.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace vistrec_cli {
namespace {

constexpr int kLeftButtonDown = 0x201;
constexpr int kRightButtonDown = 0x204;

Display* Dpy(void* d) {
    return static_cast<Display*>(d);
}

}  // namespace

std::string ButtonWatcher::Start(OnPress onPress) {
    Stop();
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        return "cannot open the X display";
    }
    display_ = d;
    int event = 0, error = 0, major = 2, minor = 0;
    if (!XQueryExtension(d, "XInputExtension", &xiOpcode_, &event, &error) ||
        XIQueryVersion(d, &major, &minor) != Success) {
        Stop();
        return "the X server has no XInput 2";
    }
    // Raw events carry the physical button; the pointer mapping (a left-handed set-up swaps 1
    // and 3) says which logical button it is.
    for (int i = 0; i < 256; ++i) {
        buttonMap_[i] = static_cast<unsigned char>(i);
    }
    XGetPointerMapping(d, buttonMap_ + 1, 255);
    // Only presses: the recorder keeps the last message it was given, so reporting a left
    // release would end the left ring after a frame or two, and a right release would start
    // the right ring again.
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawButtonPress);
    XIEventMask mask{XIAllMasterDevices, sizeof(bits), bits};
    if (XISelectEvents(d, DefaultRootWindow(d), &mask, 1) != Success || pipe(stopPipe_) != 0) {
        Stop();
        return "cannot ask the X server for button events";
    }
    XSync(d, False);
    onPress_ = std::move(onPress);
    thread_ = std::thread(&ButtonWatcher::Run, this);
    return "";
}

void ButtonWatcher::Stop() {
    if (thread_.joinable()) {
        const char wake = 1;
        while (write(stopPipe_[1], &wake, 1) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    for (int& fd : stopPipe_) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
    if (display_) {
        XCloseDisplay(Dpy(display_));
        display_ = nullptr;
    }
}

void ButtonWatcher::Run() {
    Display* d = Dpy(display_);
    while (true) {
        while (XPending(d) > 0) {
            XEvent e;
            XNextEvent(d, &e);
            XGenericEventCookie* cookie = &e.xcookie;
            if (cookie->type != GenericEvent || cookie->extension != xiOpcode_ ||
                !XGetEventData(d, cookie)) {
                continue;
            }
            if (cookie->evtype == XI_RawButtonPress) {
                const int physical = static_cast<XIRawEvent*>(cookie->data)->detail;
                const int button = physical > 0 && physical < 256 ? buttonMap_[physical] : 0;
                if (button == 1) {
                    onPress_(kLeftButtonDown);
                } else if (button == 3) {
                    onPress_(kRightButtonDown);
                }
            }
            XFreeEventData(d, cookie);
        }
        pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        // A lost connection: nothing more will come.
        if ((fds[0].revents & (POLLERR | POLLHUP)) != 0) {
            return;
        }
    }
}

}  // namespace vistrec_cli
