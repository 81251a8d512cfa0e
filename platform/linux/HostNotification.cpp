// WM_RECORDER_NOTIFY to the host window, as an X11 ClientMessage.
#include "platform/Platform.h"
#include "platform/linux/X11Support.h"

namespace vistrec {
namespace platform {

namespace {

// WM_CLASS class of the host's top-level window.
constexpr char kHostWindowClass[] = "Vistrel";
// Type of the message; data.l carries {message number, wParam, lParam}.
constexpr char kNotifyAtomName[] = "WM_RECORDER_NOTIFY";

}  // namespace

void PostHostNotification(int32_t lParam) {
    x11::SharedConnection::Lease lease(x11::SharedConnection::Instance());
    ::Display* display = lease.display();
    if (!display)
        return;
    x11::ErrorTrap trap(display);
    // Looked up on every post: the host may have closed or recreated its window meanwhile.
    const Window host = x11::FindTopLevelWindow(display, kHostWindowClass);
    if (host == None)
        return;

    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.display = display;
    event.xclient.window = host;
    event.xclient.message_type = XInternAtom(display, kNotifyAtomName, False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = WM_RECORDER_NOTIFY;
    event.xclient.data.l[1] = 0;
    event.xclient.data.l[2] = lParam;
    // An empty event mask delivers the message to the client that created the window.
    XSendEvent(display, host, False, NoEventMask, &event);
    XFlush(display);
}

}  // namespace platform
}  // namespace vistrec
