// A PulseAudio client connection on a threaded main loop, with owning handles and waits that
// give up when the server stops answering. Shared by the PulseAudio parts of the backend.
#ifndef VISTREC_PLATFORM_LINUX_PULSEAUDIOCLIENT_H
#define VISTREC_PLATFORM_LINUX_PULSEAUDIOCLIENT_H

#include <pulse/pulseaudio.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace vistrec {
namespace platform {

// How long one request to the server may take before it counts as failed (PA_ERR_TIMEOUT).
constexpr int kPulseTimeoutMs = 3000;

struct PulseMainloopDeleter {
    void operator()(pa_threaded_mainloop* m) const { pa_threaded_mainloop_free(m); }
};
// Detaches the callbacks first: the main loop is already stopped when this runs.
struct PulseContextDeleter {
    void operator()(pa_context* c) const {
        pa_context_set_state_callback(c, nullptr, nullptr);
        pa_context_set_subscribe_callback(c, nullptr, nullptr);
        pa_context_disconnect(c);
        pa_context_unref(c);
    }
};
struct PulseStreamDeleter {
    void operator()(pa_stream* s) const {
        pa_stream_set_state_callback(s, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(s)))
            pa_stream_disconnect(s);
        pa_stream_unref(s);
    }
};
struct PulseOperationDeleter {
    void operator()(pa_operation* o) const { pa_operation_unref(o); }
};

using PulseMainloopPtr = std::unique_ptr<pa_threaded_mainloop, PulseMainloopDeleter>;
using PulseContextPtr = std::unique_ptr<pa_context, PulseContextDeleter>;
using PulseStreamPtr = std::unique_ptr<pa_stream, PulseStreamDeleter>;
using PulseOperationPtr = std::unique_ptr<pa_operation, PulseOperationDeleter>;

// Holds the main-loop lock for a scope (never on the main-loop thread itself).
class PulseLock {
  public:
    explicit PulseLock(pa_threaded_mainloop* m) : m_(m) { pa_threaded_mainloop_lock(m_); }
    ~PulseLock() { pa_threaded_mainloop_unlock(m_); }
    PulseLock(const PulseLock&) = delete;
    PulseLock& operator=(const PulseLock&) = delete;

  private:
    pa_threaded_mainloop* m_;
};

// The server's current defaults and a device's sample layout.
struct PulseServerDefaults {
    std::string sink;    // empty when the server has none
    std::string source;  // empty when the server has none
};
struct PulseDeviceInfo {
    pa_sample_spec spec{};
    pa_channel_map map{};
    std::string sourceName;  // the source to record from (a sink's monitor for a sink)
};

// One connection. Its own main-loop thread runs the callbacks; every other use happens under
// the main-loop lock. Streams of the connection are released (under the lock) before it. The
// destructor stops the loop before the context goes, so no callback runs during the release.
class PulseClient {
  public:
    PulseClient() = default;
    ~PulseClient();
    PulseClient(const PulseClient&) = delete;
    PulseClient& operator=(const PulseClient&) = delete;

    // Connects to the server named by the environment, never starting one. 0 or error code.
    int Connect(const char* clientName);
    // Counts the server's change notices from now on. Caller holds the lock.
    int SubscribeServerChanges(std::atomic<uint32_t>* counter);

    // Requests; the caller holds the lock. 0 or error code.
    int GetServerDefaults(PulseServerDefaults* out);
    int GetSourceInfo(const std::string& name, PulseDeviceInfo* out);
    int GetSinkInfo(const std::string& name, PulseDeviceInfo* out);
    // Waits for an operation to finish. 0 or error code.
    int WaitOperation(pa_operation* op);
    // Waits (lock held) until done() holds, the connection fails or kPulseTimeoutMs pass.
    // Returns 0 when done() became true, else an error code.
    int WaitUntil(const std::function<bool()>& done);

    // The context's last error, or fallback when it has none.
    int LastError(int fallback = PA_ERR_UNKNOWN) const;
    bool ContextGood() const;

    pa_threaded_mainloop* loop() const { return loop_.get(); }
    pa_context* context() const { return context_.get(); }

  private:
    static void OnContextState(pa_context* c, void* self);
    static void OnSubscribe(pa_context* c, pa_subscription_event_type_t t, uint32_t index,
                            void* counter);
    static void OnTimeout(pa_mainloop_api* api, pa_time_event* e, const struct timeval* tv,
                          void* flag);

    PulseMainloopPtr loop_;
    PulseContextPtr context_;
    bool started_ = false;
};

}  // namespace platform
}  // namespace vistrec

#endif  // VISTREC_PLATFORM_LINUX_PULSEAUDIOCLIENT_H
