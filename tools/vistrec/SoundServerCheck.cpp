#include "SoundServerCheck.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/mainloop.h>
#include <pulse/rtclock.h>
#include <pulse/sample.h>
#include <pulse/timeval.h>

#include <memory>

namespace vistrec_cli {
namespace {

struct MainloopDeleter {
    void operator()(pa_mainloop* m) const { pa_mainloop_free(m); }
};
struct ContextDeleter {
    void operator()(pa_context* c) const {
        pa_context_disconnect(c);
        pa_context_unref(c);
    }
};

}  // namespace

std::string CheckSoundServer(int timeout_ms) {
    std::unique_ptr<pa_mainloop, MainloopDeleter> loop(pa_mainloop_new());
    if (!loop) {
        return "cannot create a PulseAudio main loop";
    }
    // Declared after the loop, so released before it.
    std::unique_ptr<pa_context, ContextDeleter> context(
        pa_context_new(pa_mainloop_get_api(loop.get()), "vistrec"));
    if (!context) {
        return "cannot create a PulseAudio context";
    }
    if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return pa_strerror(pa_context_errno(context.get()));
    }
    const pa_usec_t deadline =
        pa_rtclock_now() + static_cast<pa_usec_t>(timeout_ms) * PA_USEC_PER_MSEC;
    while (true) {
        const pa_context_state_t state = pa_context_get_state(context.get());
        if (state == PA_CONTEXT_READY) {
            return "";
        }
        if (!PA_CONTEXT_IS_GOOD(state)) {
            return pa_strerror(pa_context_errno(context.get()));
        }
        const pa_usec_t now = pa_rtclock_now();
        if (now >= deadline) {
            return "no answer within " + std::to_string(timeout_ms) + " ms";
        }
        // One turn of the loop, waiting at most until the deadline for the server.
        if (pa_mainloop_prepare(loop.get(), static_cast<int>(deadline - now)) < 0 ||
            pa_mainloop_poll(loop.get()) < 0 || pa_mainloop_dispatch(loop.get()) < 0) {
            return "the PulseAudio main loop failed";
        }
    }
}

}  // namespace vistrec_cli
