// Sound capture on a PulseAudio server (or PipeWire's pulse server): a record stream on the
// default source, or on the monitor of the default sink, read without blocking.
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/PlatformAudio.h"
#include "platform/linux/PulseAudioClient.h"

namespace vistrec {
namespace platform {

namespace {

constexpr char kClientName[] = "vistrec";
// Nice value of audio threads (the one PulseAudio gives its own).
constexpr int kAudioThreadNice = -11;

const std::string& DefaultOfKind(const PulseServerDefaults& d, AudioDeviceKind kind) {
    return kind == AudioDeviceKind::kMicrophone ? d.source : d.sink;
}

class PulseCapture final : public AudioCaptureStream {
  public:
    PulseCapture(AudioDeviceKind kind, unsigned fragmentMs)
        : kind_(kind), fragmentUsec_(static_cast<pa_usec_t>(fragmentMs) * PA_USEC_PER_MSEC) {}
    ~PulseCapture() override {
        if (stream_) {
            PulseLock lock(client_.loop());
            stream_.reset();
        }
    }

    int Connect() {
        const int err = client_.Connect(kClientName);
        if (err)
            return err;
        PulseLock lock(client_.loop());
        return client_.SubscribeServerChanges(&changes_);
    }

    int DefaultDeviceName(std::string* name) override {
        PulseLock lock(client_.loop());
        PulseServerDefaults defaults;
        const int err = client_.GetServerDefaults(&defaults);
        if (err)
            return err;
        if (DefaultOfKind(defaults, kind_).empty())
            return PA_ERR_NOENTITY;
        *name = DefaultOfKind(defaults, kind_);
        return 0;
    }

    int ReadDeviceFormat(const std::string& device, AudioDeviceFormat* format) override {
        PulseLock lock(client_.loop());
        PulseDeviceInfo info;
        const int err = Lookup(device, &info);
        if (err)
            return err;
        format->isFloat =
            info.spec.format == PA_SAMPLE_FLOAT32LE || info.spec.format == PA_SAMPLE_FLOAT32BE;
        format->bitsPerSample = static_cast<int>(pa_sample_size(&info.spec) * 8);
        format->channels = info.spec.channels;
        format->rate = static_cast<int>(info.spec.rate);
        return 0;
    }

    int Open(const std::string& device, int rate, int channels) override {
        if (stream_)
            return PA_ERR_EXIST;
        PulseLock lock(client_.loop());
        PulseDeviceInfo info;
        int err = Lookup(device, &info);
        if (err)
            return err;
        pa_sample_spec spec{PA_SAMPLE_S16LE, static_cast<uint32_t>(rate),
                            static_cast<uint8_t>(channels)};
        if (rate <= 0 || channels <= 0 || channels > static_cast<int>(PA_CHANNELS_MAX) ||
            !pa_sample_spec_valid(&spec))
            return PA_ERR_INVALID;
        // The device's own channel order when the counts agree, so nothing is remixed.
        pa_channel_map map = info.map;
        if (map.channels != spec.channels &&
            !pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT))
            return PA_ERR_INVALID;

        const char* streamName =
            kind_ == AudioDeviceKind::kMicrophone ? "vistrec microphone" : "vistrec playback";
        stream_.reset(pa_stream_new(client_.context(), streamName, &spec, &map));
        if (!stream_)
            return client_.LastError();
        pa_stream_set_state_callback(stream_.get(), OnStreamState, client_.loop());

        pa_buffer_attr attr;
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
        attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(fragmentUsec_, &spec));
        // DONT_MOVE: when the device goes, the stream fails instead of following the server to
        // another device, so the capture notices. The loopback stream does not keep an idle
        // sink awake: a suspended sink delivers nothing, as a silent loopback endpoint does.
        int flags = PA_STREAM_START_CORKED | PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY;
        if (kind_ == AudioDeviceKind::kPlaybackLoopback)
            flags |= PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND;
        if (pa_stream_connect_record(stream_.get(), info.sourceName.c_str(), &attr,
                                     static_cast<pa_stream_flags_t>(flags)) < 0) {
            err = client_.LastError();
            stream_.reset();
            return err;
        }
        err = client_.WaitUntil([this] {
            const pa_stream_state_t s = pa_stream_get_state(stream_.get());
            return s != PA_STREAM_UNCONNECTED && s != PA_STREAM_CREATING;
        });
        if (!err && pa_stream_get_state(stream_.get()) != PA_STREAM_READY)
            err = client_.LastError(PA_ERR_BADSTATE);
        if (err) {
            stream_.reset();
            return err;
        }
        frameBytes_ = pa_frame_size(&spec);
        deviceName_ = info.sourceName;
        return 0;
    }

    int Start() override { return Cork(false); }
    int Stop() override { return Cork(true); }

    int Readable(size_t* bytes) override {
        *bytes = 0;
        PulseLock lock(client_.loop());
        const int err = StreamError();
        if (err)
            return err;
        const size_t queued = pa_stream_readable_size(stream_.get());
        if (queued == static_cast<size_t>(-1))
            return client_.LastError(PA_ERR_BADSTATE);
        // The piece being read still counts as queued until it is dropped.
        *bytes = queued > peekOffset_ ? queued - peekOffset_ : 0;
        return 0;
    }

    int Read(void* dst, size_t capacity, size_t* got) override {
        *got = 0;
        PulseLock lock(client_.loop());
        const int err = StreamError();
        if (err)
            return err;
        capacity -= capacity % frameBytes_;
        auto* out = static_cast<uint8_t*>(dst);
        while (*got < capacity) {
            if (!peekData_) {
                const void* data = nullptr;
                size_t length = 0;
                if (pa_stream_peek(stream_.get(), &data, &length) < 0)
                    return client_.LastError();
                if (length == 0)
                    break;  // nothing queued
                if (!data) {
                    pa_stream_drop(stream_.get());  // a gap in the stream: nothing to copy
                    continue;
                }
                peekData_ = static_cast<const uint8_t*>(data);
                peekLength_ = length;
                peekOffset_ = 0;
            }
            const size_t n = std::min(peekLength_ - peekOffset_, capacity - *got);
            memcpy(out + *got, peekData_ + peekOffset_, n);
            *got += n;
            peekOffset_ += n;
            if (peekOffset_ == peekLength_) {
                pa_stream_drop(stream_.get());
                peekData_ = nullptr;
                peekLength_ = peekOffset_ = 0;
            }
        }
        return 0;
    }

    uint32_t ServerChangeCount() const override { return changes_.load(); }
    std::string DeviceName() const override { return deviceName_; }

  private:
    // A source by name, or a sink by name with its monitor as the source. Lock held.
    int Lookup(const std::string& device, PulseDeviceInfo* info) {
        return kind_ == AudioDeviceKind::kMicrophone ? client_.GetSourceInfo(device, info)
                                                     : client_.GetSinkInfo(device, info);
    }

    // Why the stream cannot be read: server gone, stream killed (device removed). Lock held.
    int StreamError() const {
        if (!stream_)
            return PA_ERR_BADSTATE;
        if (!client_.ContextGood())
            return client_.LastError(PA_ERR_CONNECTIONTERMINATED);
        if (pa_stream_get_state(stream_.get()) != PA_STREAM_READY)
            return client_.LastError(PA_ERR_KILLED);
        return 0;
    }

    int Cork(bool pause) {
        PulseLock lock(client_.loop());
        const int err = StreamError();
        if (err)
            return err;
        return client_.WaitOperation(
            pa_stream_cork(stream_.get(), pause ? 1 : 0, nullptr, nullptr));
    }

    static void OnStreamState(pa_stream*, void* loop) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
    }

    const AudioDeviceKind kind_;
    const pa_usec_t fragmentUsec_;      // size of the pieces the server sends
    std::atomic<uint32_t> changes_{0};  // outlives client_, whose loop bumps it
    PulseClient client_;
    PulseStreamPtr stream_;  // released under the loop lock, before client_
    size_t frameBytes_ = 2;
    std::string deviceName_;
    // The piece of the stream being read: valid until dropped, only touched under the lock.
    const uint8_t* peekData_ = nullptr;
    size_t peekLength_ = 0;
    size_t peekOffset_ = 0;
};

}  // namespace

int DefaultAudioDeviceName(AudioDeviceKind kind, std::string* name) {
    PulseClient client;
    int err = client.Connect(kClientName);
    if (err)
        return err;
    PulseLock lock(client.loop());
    PulseServerDefaults defaults;
    err = client.GetServerDefaults(&defaults);
    if (err)
        return err;
    if (DefaultOfKind(defaults, kind).empty())
        return PA_ERR_NOENTITY;
    *name = DefaultOfKind(defaults, kind);
    return 0;
}

std::string AudioErrorText(int error) {
    const char* text = pa_strerror(error);
    return text ? text : "unknown error " + std::to_string(error);
}

int RaiseAudioThreadPriority() {
    // On Linux a nice value set for a thread id applies to that thread alone.
    const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kAudioThreadNice) != 0)
        return errno;
    return 0;
}

int ConnectAudioCapture(AudioDeviceKind kind, std::unique_ptr<AudioCaptureStream>* out,
                        unsigned fragmentMs) {
    auto capture = std::make_unique<PulseCapture>(kind, fragmentMs == 0 ? 10 : fragmentMs);
    const int err = capture->Connect();
    if (err)
        return err;
    *out = std::move(capture);
    return 0;
}

int ConnectMicrophoneRecorder(std::unique_ptr<AudioCaptureStream>* out) {
    return ConnectAudioCapture(AudioDeviceKind::kMicrophone, out, 100);
}

}  // namespace platform
}  // namespace vistrec
