#include "platform/linux/PulseAudioClient.h"

namespace vistrec {
namespace platform {

namespace {

// What a timed wait needs in its time-out callback.
struct TimeoutFlag {
    pa_threaded_mainloop* loop;
    bool fired;
};

void SignalLoop(pa_threaded_mainloop* loop) {
    pa_threaded_mainloop_signal(loop, 0);
}

void OnOperationState(pa_operation*, void* loop) {
    SignalLoop(static_cast<pa_threaded_mainloop*>(loop));
}

// Result slot of an info request, filled on the main-loop thread.
struct DeviceQuery {
    PulseDeviceInfo* out;
    bool found;
};

void CopyDevice(DeviceQuery* q, const pa_sample_spec& spec, const pa_channel_map& map,
                const char* sourceName) {
    q->out->spec = spec;
    q->out->map = map;
    q->out->sourceName = sourceName ? sourceName : "";
    q->found = true;
}

void OnSourceInfo(pa_context*, const pa_source_info* info, int eol, void* query) {
    if (eol == 0 && info)
        CopyDevice(static_cast<DeviceQuery*>(query), info->sample_spec, info->channel_map,
                   info->name);
}

void OnSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* query) {
    if (eol == 0 && info)
        CopyDevice(static_cast<DeviceQuery*>(query), info->sample_spec, info->channel_map,
                   info->monitor_source_name);
}

void OnServerInfo(pa_context*, const pa_server_info* info, void* out) {
    auto* defaults = static_cast<PulseServerDefaults*>(out);
    if (!info)
        return;
    defaults->sink = info->default_sink_name ? info->default_sink_name : "";
    defaults->source = info->default_source_name ? info->default_source_name : "";
}

}  // namespace

PulseClient::~PulseClient() {
    // Stopped first, so that no callback runs while the context goes.
    if (started_)
        pa_threaded_mainloop_stop(loop_.get());
    context_.reset();
    loop_.reset();
}

int PulseClient::Connect(const char* clientName) {
    loop_.reset(pa_threaded_mainloop_new());
    if (!loop_)
        return PA_ERR_INTERNAL;
    context_.reset(pa_context_new(pa_threaded_mainloop_get_api(loop_.get()), clientName));
    if (!context_)
        return PA_ERR_INTERNAL;
    pa_context_set_state_callback(context_.get(), OnContextState, loop_.get());
    // No autospawn: a missing server is an error the caller handles, not a reason to start one.
    if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return LastError();
    if (pa_threaded_mainloop_start(loop_.get()) < 0)
        return PA_ERR_INTERNAL;
    started_ = true;
    PulseLock lock(loop_.get());
    return WaitUntil([this] { return pa_context_get_state(context_.get()) == PA_CONTEXT_READY; });
}

int PulseClient::SubscribeServerChanges(std::atomic<uint32_t>* counter) {
    pa_context_set_subscribe_callback(context_.get(), OnSubscribe, counter);
    return WaitOperation(
        pa_context_subscribe(context_.get(), PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr));
}

int PulseClient::GetServerDefaults(PulseServerDefaults* out) {
    *out = PulseServerDefaults();
    return WaitOperation(pa_context_get_server_info(context_.get(), OnServerInfo, out));
}

int PulseClient::GetSourceInfo(const std::string& name, PulseDeviceInfo* out) {
    DeviceQuery query{out, false};
    const int err = WaitOperation(
        pa_context_get_source_info_by_name(context_.get(), name.c_str(), OnSourceInfo, &query));
    if (err)
        return err;
    return query.found ? 0 : LastError(PA_ERR_NOENTITY);
}

int PulseClient::GetSinkInfo(const std::string& name, PulseDeviceInfo* out) {
    DeviceQuery query{out, false};
    const int err = WaitOperation(
        pa_context_get_sink_info_by_name(context_.get(), name.c_str(), OnSinkInfo, &query));
    if (err)
        return err;
    return query.found ? 0 : LastError(PA_ERR_NOENTITY);
}

int PulseClient::WaitOperation(pa_operation* raw) {
    if (!raw)
        return LastError();
    PulseOperationPtr op(raw);
    pa_operation_set_state_callback(op.get(), OnOperationState, loop_.get());
    const int err =
        WaitUntil([&op] { return pa_operation_get_state(op.get()) != PA_OPERATION_RUNNING; });
    if (err) {
        // Cancelled, so that a late answer cannot write into the caller's result any more.
        pa_operation_cancel(op.get());
        return err;
    }
    if (pa_operation_get_state(op.get()) != PA_OPERATION_DONE)
        return LastError(PA_ERR_CONNECTIONTERMINATED);
    return 0;
}

int PulseClient::WaitUntil(const std::function<bool()>& done) {
    if (done())
        return 0;
    TimeoutFlag flag{loop_.get(), false};
    pa_time_event* timer = pa_context_rttime_new(
        context_.get(),
        pa_rtclock_now() + static_cast<pa_usec_t>(kPulseTimeoutMs) * PA_USEC_PER_MSEC, OnTimeout,
        &flag);
    if (!timer)
        return PA_ERR_INTERNAL;
    int err = 0;
    while (!done()) {
        if (!ContextGood()) {
            err = LastError(PA_ERR_CONNECTIONTERMINATED);
            break;
        }
        if (flag.fired) {
            err = PA_ERR_TIMEOUT;
            break;
        }
        pa_threaded_mainloop_wait(loop_.get());
    }
    pa_threaded_mainloop_get_api(loop_.get())->time_free(timer);
    return err;
}

int PulseClient::LastError(int fallback) const {
    const int err = context_ ? pa_context_errno(context_.get()) : 0;
    return err ? err : fallback;
}

bool PulseClient::ContextGood() const {
    return context_ && PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get()));
}

void PulseClient::OnContextState(pa_context*, void* loop) {
    SignalLoop(static_cast<pa_threaded_mainloop*>(loop));
}

void PulseClient::OnSubscribe(pa_context*, pa_subscription_event_type_t t, uint32_t,
                              void* counter) {
    if ((t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER)
        static_cast<std::atomic<uint32_t>*>(counter)->fetch_add(1);
}

void PulseClient::OnTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* flag) {
    auto* f = static_cast<TimeoutFlag*>(flag);
    f->fired = true;
    SignalLoop(f->loop);
}

}  // namespace platform
}  // namespace vistrec
