// A capture stream on WASAPI in shared mode: the default microphone, or what the default
// playback device plays through the loopback flag on the render endpoint. The stream is polled:
// the core's capture thread asks what is ready every few milliseconds and drains it.
#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <mmreg.h>

#include <string.h>

#include <algorithm>
#include <vector>

#include "platform/Platform.h"
#include "platform/PlatformAudio.h"
#include "platform/win32/WasapiDevices.h"

namespace vistrec {
namespace platform {
namespace win32 {

namespace {

constexpr REFERENCE_TIME kHundredNsPerMs = 10000;
// The engine keeps up to this much sound for the stream. The reader drains it every 5 ms, but
// a busy machine can hold the reader up for far longer than one device period; a longer buffer
// costs no latency, since each packet is readable as soon as the engine has it.
constexpr REFERENCE_TIME kMinBufferMs = 1000;

class WasapiCapture final : public EndpointStream {
  public:
    WasapiCapture(AudioDeviceKind kind, unsigned fragmentMs)
        : EndpointStream(kind == AudioDeviceKind::kMicrophone ? eCapture : eRender),
          kind_(kind),
          fragmentMs_(fragmentMs) {}
    ~WasapiCapture() override {
        capture_.Reset();
        if (client_ && started_)
            client_->Stop();
    }

    int ReadDeviceFormat(const std::string& device, AudioDeviceFormat* format) override {
        ComPtr<IAudioClient> client;
        const int err = Activate(device, &client);
        return err ? err : MixFormat(client.get(), format);
    }

    int Open(const std::string& device, int rate, int channels) override {
        if (capture_)
            return kStreamExists;
        if (rate < 1000 || rate > 384000 || channels < 1 || channels > 8)
            return kInvalidFormat;
        int err = Activate(device, &client_);
        if (err)
            return err;
        AudioDeviceFormat mix;
        if ((err = MixFormat(client_.get(), &mix)) != 0)
            return err;

        WAVEFORMATEX format{};
        format.wFormatTag = WAVE_FORMAT_PCM;
        format.nChannels = static_cast<WORD>(channels);
        format.nSamplesPerSec = static_cast<DWORD>(rate);
        format.wBitsPerSample = 16;
        format.nBlockAlign = static_cast<WORD>(channels * 2);
        format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
        DWORD flags =
            kind_ == AudioDeviceKind::kPlaybackLoopback ? AUDCLNT_STREAMFLAGS_LOOPBACK : 0;
        // The shared-mode engine converts the sample type itself; another rate or channel
        // count needs its converter asked for.
        if (mix.rate != rate || mix.channels != channels)
            flags |= AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
        const REFERENCE_TIME bufferMs =
            std::max<REFERENCE_TIME>(kMinBufferMs, 4 * static_cast<REFERENCE_TIME>(fragmentMs_));
        HRESULT hr = client_->Initialize(AUDCLNT_SHAREMODE_SHARED, flags,
                                         bufferMs * kHundredNsPerMs, 0, &format, nullptr);
        // An engine that takes no other sample type than its own gets the converter asked for,
        // on a fresh client (a client whose Initialize failed is not initialised again).
        constexpr DWORD kConvert =
            AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
        if (hr == AUDCLNT_E_UNSUPPORTED_FORMAT && !(flags & kConvert)) {
            if ((err = Activate(device, &client_)) != 0)
                return err;
            hr = client_->Initialize(AUDCLNT_SHAREMODE_SHARED, flags | kConvert,
                                     bufferMs * kHundredNsPerMs, 0, &format, nullptr);
        }
        if (SUCCEEDED(hr))
            hr = client_->GetService(__uuidof(IAudioCaptureClient), capture_.ReceiveVoid());
        if (SUCCEEDED(hr) && !capture_)
            hr = E_NOINTERFACE;
        if (FAILED(hr)) {
            capture_.Reset();
            client_.Reset();
            return HresultError(hr);
        }
        blockAlign_ = format.nBlockAlign;
        rate_ = rate;
        openedName_ = device;
        return 0;
    }

    int Start() override {
        if (!capture_)
            return kStreamNotOpen;
        const HRESULT hr = client_->Start();
        started_ = SUCCEEDED(hr) || started_;
        return HresultError(hr);
    }

    int Stop() override {
        if (!capture_)
            return kStreamNotOpen;
        started_ = false;
        return HresultError(client_->Stop());
    }

    int Readable(size_t* bytes) override {
        *bytes = carry_.size() - carryAt_;
        if (!capture_)
            return kStreamNotOpen;
        UINT32 frames = 0;
        const HRESULT hr = capture_->GetNextPacketSize(&frames);
        if (FAILED(hr))
            return HresultError(hr);
        *bytes += static_cast<size_t>(frames) * blockAlign_;
        return 0;
    }

    int Read(void* dst, size_t capacity, size_t* got) override {
        *got = 0;
        if (!capture_)
            return kStreamNotOpen;
        auto* out = static_cast<uint8_t*>(dst);
        size_t room = capacity - capacity % blockAlign_;
        lastCapture_ = kUnknownCaptureTime;
        // A packet that did not fit last time comes first.
        const size_t carried = std::min(room, carry_.size() - carryAt_);
        if (carried > 0 && carryCapture_ != kUnknownCaptureTime)
            lastCapture_ =
                carryCapture_ + static_cast<int64_t>(carryAt_ / blockAlign_) * 1000 / rate_;
        memcpy(out, carry_.data() + carryAt_, carried);
        carryAt_ += carried;
        *got += carried;
        room -= carried;
        if (carryAt_ < carry_.size())
            return 0;
        carry_.clear();
        carryAt_ = 0;
        while (room > 0) {
            UINT32 frames = 0;
            HRESULT hr = capture_->GetNextPacketSize(&frames);
            if (FAILED(hr))
                return HresultError(hr);
            if (frames == 0)
                break;
            BYTE* data = nullptr;
            DWORD flags = 0;
            UINT64 qpcPosition = 0;  // when the packet's first frame was captured, 100 ns
            hr = capture_->GetBuffer(&data, &frames, &flags, nullptr, &qpcPosition);
            if (FAILED(hr))
                return HresultError(hr);
            if (hr == AUDCLNT_S_BUFFER_EMPTY || frames == 0)
                break;
            const int64_t packetCapture = CaptureTime(flags, qpcPosition);
            if (*got == 0)
                lastCapture_ = packetCapture;
            const size_t bytes = static_cast<size_t>(frames) * blockAlign_;
            const bool silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
            const size_t now = std::min(bytes, room);
            silent ? memset(out + *got, 0, now) : memcpy(out + *got, data, now);
            if (now < bytes) {
                carryCapture_ =
                    packetCapture == kUnknownCaptureTime
                        ? kUnknownCaptureTime
                        : packetCapture + static_cast<int64_t>(now / blockAlign_) * 1000 / rate_;
                carry_.resize(bytes - now);
                silent ? memset(carry_.data(), 0, carry_.size())
                       : memcpy(carry_.data(), data + now, carry_.size());
            }
            *got += now;
            room -= now;
            hr = capture_->ReleaseBuffer(frames);
            if (FAILED(hr))
                return HresultError(hr);
        }
        return 0;
    }

    int64_t LastReadCaptureTime() const override { return lastCapture_; }

    std::string DeviceName() const override {
        return kind_ == AudioDeviceKind::kPlaybackLoopback ? openedName_ + " (loopback)"
                                                           : openedName_;
    }

  private:
    // A packet's capture time on GetMsTime's clock: the engine stamps it on the performance
    // counter, in 100 ns units; unknown when the engine marks the stamp as wrong.
    static int64_t CaptureTime(DWORD flags, UINT64 qpcPosition) {
        LARGE_INTEGER frequency{}, counter{};
        if ((flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) || qpcPosition == 0 ||
            !QueryPerformanceFrequency(&frequency) || !QueryPerformanceCounter(&counter) ||
            frequency.QuadPart <= 0)
            return kUnknownCaptureTime;
        const int64_t nowHundredNs = static_cast<int64_t>(
            counter.QuadPart / frequency.QuadPart * 10000000 +
            counter.QuadPart % frequency.QuadPart * 10000000 / frequency.QuadPart);
        return GetMsTime() - (nowHundredNs - static_cast<int64_t>(qpcPosition)) / 10000;
    }

    // A fresh client on the endpoint called `device`.
    int Activate(const std::string& device, ComPtr<IAudioClient>* client) {
        ComPtr<IMMDevice> endpoint;
        const int err = watcher_.FindEndpoint(device, &endpoint);
        if (err)
            return err;
        const HRESULT hr =
            endpoint->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client->ReceiveVoid());
        if (SUCCEEDED(hr) && !*client)
            return kNoComObject;
        return HresultError(hr);
    }

    const AudioDeviceKind kind_;
    const unsigned fragmentMs_;
    ComPtr<IAudioClient> client_;
    ComPtr<IAudioCaptureClient> capture_;
    bool started_ = false;
    UINT32 blockAlign_ = 0;
    int rate_ = 1;
    int64_t lastCapture_ = kUnknownCaptureTime;  // of the last Read's first frame
    std::string openedName_;
    // The part of a packet that did not fit into the last read; empty in the usual case.
    std::vector<uint8_t> carry_;
    size_t carryAt_ = 0;
    int64_t carryCapture_ = kUnknownCaptureTime;  // of carry_'s first frame
};

}  // namespace

int ConnectWasapiCapture(AudioDeviceKind kind, std::unique_ptr<AudioCaptureStream>* out,
                         unsigned fragmentMs) {
    auto capture = std::make_unique<WasapiCapture>(kind, fragmentMs);
    const int err = capture->Connect();
    if (err)
        return err;
    *out = std::move(capture);
    return 0;
}

}  // namespace win32
}  // namespace platform
}  // namespace vistrec
