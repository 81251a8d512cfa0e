#include "audiocapture/AudioCapture.h"

#include <algorithm>
#include <mutex>

#include "audiocapture/CaptureStamps.h"
#include "platform/Platform.h"
#include "platform/PlatformAudio.h"
#include "support/Event.h"
#include "support/Log.h"

using vistrec::platform::AudioCaptureStream;
using vistrec::platform::AudioDeviceKind;

namespace {

// Last seen default-device names, one per kind (index 1 microphone, 0 playback), shared by
// every engine of the process. Written on the threads that call Init and on capture threads.
struct RecordedNames {
    std::mutex lock;
    std::string name[2];
};

RecordedNames& Names() {
    static RecordedNames names;
    return names;
}

std::string RecordedName(int kind) {
    std::lock_guard<std::mutex> lock(Names().lock);
    return Names().name[kind];
}

void SetRecordedName(int kind, const std::string& name) {
    std::lock_guard<std::mutex> lock(Names().lock);
    Names().name[kind] = name;
}

// Bytes taken from the stream per read; allocated once per capture thread.
constexpr size_t kReadBufferBytes = 32768;

CaptureFormat ToCaptureFormat(const vistrec::platform::AudioDeviceFormat& device) {
    CaptureFormat f;
    f.wFormatTag = device.isFloat ? kCaptureFormatFloat : kCaptureFormatPcm;
    f.wBitsPerSample = static_cast<uint16_t>(device.bitsPerSample);
    f.nChannels = static_cast<uint16_t>(device.channels);
    f.nSamplesPerSec = static_cast<uint32_t>(device.rate);
    f.nBlockAlign = static_cast<uint16_t>(f.nChannels * f.wBitsPerSample / 8);
    f.nAvgBytesPerSec = f.nBlockAlign * f.nSamplesPerSec;
    return f;
}

// Sound-server error codes are positive; they are logged negated, so that the number stays
// apart from the engine's digit just before it ("Activate failed1-6").
int Logged(int error) {
    return -error;
}

void LogServerError(int error) {
    VLOG_INFO("sound server: " << vistrec::platform::AudioErrorText(error));
}

}  // namespace

// What one capture thread shares with the engine that launched it.
template <bool kMicrophone>
struct CAudioCaptureT<kMicrophone>::Run {
    CEvent started{true, false};  // the device format was read, or the thread ended first
    CEvent stop{true, false};     // ends the capture loop
    std::atomic<bool> formatRead{false};
    std::shared_ptr<ICaptureEvent> sink;  // the thread's reports go here
};

template <bool kMicrophone>
CAudioCaptureT<kMicrophone>::~CAudioCaptureT() {
    Shutdown();
}

template <bool kMicrophone>
bool CAudioCaptureT<kMicrophone>::Init() {
    if (m_initialised)
        return true;
    m_device.clear();
    if (GetDefaultDevice())
        m_device = RecordedName(kMicrophone);
    m_run = std::make_shared<Run>();
    if (m_device.empty()) {
        Close();
        return false;
    }
    m_initialised = true;
    return true;
}

template <bool kMicrophone>
bool CAudioCaptureT<kMicrophone>::Start(std::shared_ptr<ICaptureEvent> sink) {
    if (!m_initialised || !sink)
        return false;
    if (m_thread.joinable())
        return true;
    ReapStopped(false);
    std::shared_ptr<Run> run = m_run;
    run->sink = std::move(sink);
    m_threadRun = run;
    m_finished = std::make_shared<std::atomic<bool>>(false);
    m_thread = std::thread(&CAudioCaptureT::CaptureThreadProc, run, m_finished);
    m_hasThread = true;
    // Every request of the thread's set-up gives up when the server does not answer; the limit
    // here holds whatever the backend does. A thread given up on ends on its own.
    if (!run->started.Wait(kStartWaitMs) || !run->formatRead) {
        Stop();
        return false;
    }
    return true;
}

template <bool kMicrophone>
void CAudioCaptureT<kMicrophone>::Stop() {
    if (!m_initialised || !m_run || !m_thread.joinable())
        return;
    m_threadRun->stop.Set();
    m_threadRun.reset();
    ReapStopped(false);
    m_stopped.emplace_back(std::move(m_thread), std::move(m_finished));
    m_hasThread = false;
}

template <bool kMicrophone>
void CAudioCaptureT<kMicrophone>::Close() {
    m_device.clear();
    m_run.reset();
    m_initialised = false;
}

template <bool kMicrophone>
void CAudioCaptureT<kMicrophone>::Shutdown() {
    if (m_thread.joinable()) {
        m_threadRun->stop.Set();
        m_thread.join();
        m_threadRun.reset();
        m_hasThread = false;
    }
    ReapStopped(true);
}

template <bool kMicrophone>
void CAudioCaptureT<kMicrophone>::ReapStopped(bool all) {
    for (auto it = m_stopped.begin(); it != m_stopped.end();) {
        if (all || it->second->load()) {
            it->first.join();
            it = m_stopped.erase(it);
        } else {
            ++it;
        }
    }
}

template <bool kMicrophone>
std::string CAudioCaptureT<kMicrophone>::RecordedDeviceName() {
    return RecordedName(kMicrophone);
}

template <bool kMicrophone>
void CAudioCaptureT<kMicrophone>::CaptureThreadProc(std::shared_ptr<Run> run,
                                                    std::shared_ptr<std::atomic<bool>> finished) {
    VLOG_INFO("start capturing");
    CaptureAudio(*run);
    VLOG_INFO("end capturing");
    run->started.Set();  // releases Start when the thread ended before reading the format
    *finished = true;
}

template <bool kMicrophone>
bool CAudioCaptureT<kMicrophone>::GetDefaultDevice() {
    const AudioDeviceKind kind =
        kMicrophone ? AudioDeviceKind::kMicrophone : AudioDeviceKind::kPlaybackLoopback;
    std::string name;
    const int err = vistrec::platform::DefaultAudioDeviceName(kind, &name);
    if (err) {
        VLOG_INFO("no default sound device " << kMicrophone << ": "
                                             << vistrec::platform::AudioErrorText(err));
        return false;
    }
    SetRecordedName(kMicrophone, name);
    return true;
}

template <bool kMicrophone>
bool CAudioCaptureT<kMicrophone>::IsDefaultDeviceChanged(AudioCaptureStream& stream) {
    std::string name;
    if (stream.DefaultDeviceName(&name) != 0)
        return false;
    if (name == RecordedName(kMicrophone))
        return false;
    SetRecordedName(kMicrophone, name);
    return true;
}

// Set-up, in the order of the failure messages: connect to the server, find the default
// device, read its format, let the sink adjust it, open the record stream, raise the thread's
// priority, start the stream. Then the capture loop until stop, failure or a new default.
template <bool kMicrophone>
unsigned CAudioCaptureT<kMicrophone>::CaptureAudio(Run& run) {
    const int digit = kMicrophone ? 1 : 0;
    const AudioDeviceKind kind =
        kMicrophone ? AudioDeviceKind::kMicrophone : AudioDeviceKind::kPlaybackLoopback;
    ICaptureEvent* sink = run.sink.get();

    std::unique_ptr<AudioCaptureStream> stream;
    int err = vistrec::platform::ConnectAudioCapture(kind, &stream);
    if (err) {
        VLOG_ERROR("Activate failed" << digit << Logged(err));
        LogServerError(err);
        return 0;
    }
    std::string device;
    err = stream->DefaultDeviceName(&device);
    if (err) {
        VLOG_ERROR("GetDevicePeriod failed" << digit << Logged(err));
        LogServerError(err);
        return 0;
    }
    vistrec::platform::AudioDeviceFormat deviceFormat;
    err = stream->ReadDeviceFormat(device, &deviceFormat);
    if (err) {
        VLOG_ERROR("GetMixFormat failed" << digit << Logged(err));
        LogServerError(err);
        return 0;
    }
    run.formatRead = true;
    run.started.Set();  // from here on Start reports success

    CaptureFormat format = ToCaptureFormat(deviceFormat);
    sink->OnAdjustCaptureFormat(&format);
    err = stream->Open(device, static_cast<int>(format.nSamplesPerSec), format.nChannels);
    if (err) {
        sink->OnCaptureError(true);
        VLOG_ERROR("AUDCLNT_SHAREMODE_SHARED failed" << digit << Logged(err));
        LogServerError(err);
        return 0;
    }
    VLOG_INFO("capture device " << digit << ": " << stream->DeviceName() << " "
                                << format.nSamplesPerSec << " Hz " << format.nChannels << " ch");
    // Raising the priority needs a privilege the process may lack; capture runs on anyway.
    if (vistrec::platform::RaiseAudioThreadPriority() != 0)
        VLOG_ERROR("AvSetMmThreadCharacteristics failed" << digit);
    err = stream->Start();
    if (err) {
        VLOG_ERROR("Start failed" << digit << Logged(err));
        LogServerError(err);
        return 0;
    }
    sink->OnCaptureStart(kTickMs);
    sink->OnCaptureError(false);
    sink->OnDeviceName(RecordedName(kMicrophone));

    CaptureLoop(*stream, run, static_cast<int>(format.nAvgBytesPerSec));

    stream->Stop();
    return 0;
}

template <bool kMicrophone>
void CAudioCaptureT<kMicrophone>::CaptureLoop(AudioCaptureStream& stream, Run& run,
                                              int bytesPerSecond) {
    const int digit = kMicrophone ? 1 : 0;
    ICaptureEvent* sink = run.sink.get();
    std::vector<uint8_t> buffer(kReadBufferBytes);
    int emptyTicks = 0;
    bool dataSeen = false;  // data arrived since the last default-device check
    uint32_t changes = stream.ServerChangeCount();

    // The stop event's timed wait is the tick: it returns true only when stop is set.
    while (!run.stop.Wait(kTickMs)) {
        size_t ready = 0;
        int err = stream.Readable(&ready);
        if (err) {
            VLOG_ERROR("Device pluged, changed, invalid" << digit);
            LogServerError(err);
            sink->OnDataState(false);
            sink->OnCaptureError(true);
            return;
        }
        // A device that never falls silent never reaches the empty-tick check below, so the
        // server's change notices trigger the default-device comparison as well.
        const uint32_t nowChanges = stream.ServerChangeCount();
        if (nowChanges != changes) {
            changes = nowChanges;
            if (IsDefaultDeviceChanged(stream)) {
                sink->OnDataState(false);
                sink->OnCaptureError(true);
                VLOG_ERROR("device channged " << digit);
                return;
            }
        }
        if (ready == 0) {
            if (++emptyTicks > kMaxEmptyTicks) {
                if (dataSeen) {
                    if (IsDefaultDeviceChanged(stream)) {
                        sink->OnDataState(false);
                        sink->OnCaptureError(true);
                        VLOG_ERROR("device channged " << digit);
                        return;
                    }
                    dataSeen = false;
                }
                sink->OnDataState(false);
                emptyTicks = 0;
            }
            continue;
        }
        // Drain everything that is ready.
        do {
            size_t got = 0;
            if (stream.Read(buffer.data(), buffer.size(), &got) != 0) {
                VLOG_ERROR("设备初始化成功，开始获取数据" << digit << "获取数据失败");
                break;
            }
            if (got == 0)
                break;
            emptyTicks = 0;
            dataSeen = true;
            const bool readable = stream.Readable(&ready) == 0;
            const int64_t capturedMs =
                CaptureTimeOfRead(stream, got, readable ? ready : 0, bytesPerSecond);
            sink->OnDataState(true);
            sink->OnCaptureData(buffer.data(), static_cast<uint32_t>(got), capturedMs);
            if (!readable) {
                VLOG_ERROR("设备插拔、更改、无效" << digit);
                sink->OnCaptureError(true);
                break;
            }
        } while (ready != 0);
    }
}

template class CAudioCaptureT<true>;
template class CAudioCaptureT<false>;
