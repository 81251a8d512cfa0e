#include "DisplayCheck.h"

#include <cstdlib>
#include <memory>
#include <sstream>

#include <X11/Xlib.h>

namespace vistrec_cli {
namespace {

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// Set by the error handler while a window is looked up; this check runs before any other thread
// of the program talks to the X server.
bool g_xErrorSeen = false;

int RecordXError(Display*, XErrorEvent*) {
    g_xErrorSeen = true;
    return 0;
}

}  // namespace

DisplayCheckResult CheckDisplay(const CliOptions& options) {
    DisplayCheckResult result;
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') {
        result.exitCode = 1;
        result.error = "no X display: DISPLAY is not set";
        return result;
    }
    DisplayPtr display(XOpenDisplay(nullptr));
    if (!display) {
        result.exitCode = 1;
        result.error = std::string("cannot open X display '") + name + "'";
        return result;
    }

    int width = DisplayWidth(display.get(), DefaultScreen(display.get()));
    int height = DisplayHeight(display.get(), DefaultScreen(display.get()));
    std::string area = "the " + std::to_string(width) + "x" + std::to_string(height) + " screen";
    if (options.window != 0) {
        XWindowAttributes attributes;
        g_xErrorSeen = false;
        XErrorHandler previous = XSetErrorHandler(RecordXError);
        Status ok = XGetWindowAttributes(display.get(), options.window, &attributes);
        XSync(display.get(), False);
        XSetErrorHandler(previous);
        if (!ok || g_xErrorSeen) {
            std::ostringstream out;
            out << "--window 0x" << std::hex << options.window << ": no such window on display '"
                << name << "'";
            result.exitCode = 2;
            result.error = out.str();
            return result;
        }
        width = attributes.width;
        height = attributes.height;
        area = "the " + std::to_string(width) + "x" + std::to_string(height) + " window";
    }

    result.width = width;
    result.height = height;
    if (options.region) {
        const Region& r = *options.region;
        if (static_cast<long>(r.x) + r.width > width ||
            static_cast<long>(r.y) + r.height > height) {
            std::ostringstream out;
            out << "--region " << r.x << "," << r.y << "," << r.width << "," << r.height
                << " does not fit in " << area;
            result.exitCode = 2;
            result.error = out.str();
            return result;
        }
    }
    return result;
}

}  // namespace vistrec_cli
