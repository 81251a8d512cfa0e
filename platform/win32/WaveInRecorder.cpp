// The single-microphone recorder's stream on winmm's waveIn: the wave mapper records the default
// microphone in the format asked for (it converts whatever the device holds) into four buffers of
// 100 ms that circulate between the driver and a message thread of the stream's own. The thread
// copies each filled buffer into a ring of two seconds and hands the buffer back to the driver;
// the reader takes the sound from the ring without blocking.
#include <windows.h>

#include <mmsystem.h>

#include <string.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/Platform.h"
#include "platform/PlatformAudio.h"
#include "platform/win32/WasapiDevices.h"
#include "platform/win32/Win32Support.h"

namespace vistrec {
namespace platform {
namespace win32 {

namespace {

constexpr int kBuffers = 4;
constexpr int kBufferMs = 100;
constexpr int kRingMs = 2000;
// How long closing waits for the driver to hand back its buffers.
constexpr DWORD kDoneWaitMs = 3000;

int WaveError(MMRESULT result) {
    return result == MMSYSERR_NOERROR ? 0 : kWaveInErrorBase + static_cast<int>(result);
}

class WaveInRecorder final : public EndpointStream {
  public:
    WaveInRecorder() : EndpointStream(eCapture) {}
    ~WaveInRecorder() override { Close(); }

    // The endpoint's own format; the wave mapper converts it into the one Open asks for.
    int ReadDeviceFormat(const std::string& device, AudioDeviceFormat* format) override {
        ComPtr<IMMDevice> endpoint;
        int err = watcher_.FindEndpoint(device, &endpoint);
        if (err)
            return err;
        ComPtr<IAudioClient> client;
        const HRESULT hr =
            endpoint->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.ReceiveVoid());
        if (FAILED(hr))
            return HresultError(hr);
        return client ? MixFormat(client.get(), format) : kNoComObject;
    }

    // The wave mapper always records from the current default microphone; `device` (its name,
    // from DefaultDeviceName) only names the stream.
    int Open(const std::string& device, int rate, int channels) override {
        if (wave_)
            return kStreamExists;
        if (rate < 1000 || rate > 192000 || channels < 1 || channels > 2)
            return kInvalidFormat;
        WAVEFORMATEX format{};
        format.wFormatTag = WAVE_FORMAT_PCM;
        format.nChannels = static_cast<WORD>(channels);
        format.nSamplesPerSec = static_cast<DWORD>(rate);
        format.wBitsPerSample = 16;
        format.nBlockAlign = static_cast<WORD>(channels * 2);
        format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
        blockAlign_ = format.nBlockAlign;
        bufferBytes_ = format.nAvgBytesPerSec * kBufferMs / 1000 / blockAlign_ * blockAlign_;
        samples_.assign(static_cast<size_t>(bufferBytes_) * kBuffers, 0);
        ring_.assign(static_cast<size_t>(format.nAvgBytesPerSec) * kRingMs / 1000, 0);
        ringStart_ = ringSize_ = 0;
        failure_ = 0;

        stop_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        done_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!stop_.valid() || !done_.valid())
            return kWaveInErrorBase + MMSYSERR_NOMEM;
        int err = StartThread();
        if (err)
            return err;
        HWAVEIN wave = nullptr;
        err = WaveError(waveInOpen(&wave, WAVE_MAPPER, &format, threadId_, 0, CALLBACK_THREAD));
        if (err) {
            EndThread();
            return err;
        }
        wave_ = wave;
        for (int i = 0; i < kBuffers && !err; ++i) {
            WAVEHDR& header = headers_[i];
            header = WAVEHDR{};
            header.lpData = reinterpret_cast<LPSTR>(samples_.data() + bufferBytes_ * i);
            header.dwBufferLength = static_cast<DWORD>(bufferBytes_);
            header.dwUser = static_cast<DWORD_PTR>(i);
            err = WaveError(waveInPrepareHeader(wave_, &header, sizeof header));
            if (err)
                break;
            err = WaveError(waveInAddBuffer(wave_, &header, sizeof header));
            if (err)
                waveInUnprepareHeader(wave_, &header, sizeof header);
            else
                ++outstanding_;
        }
        if (err) {
            Close();
            return err;
        }
        name_ = device;
        return 0;
    }

    int Start() override { return wave_ ? WaveError(waveInStart(wave_)) : kStreamNotOpen; }
    int Stop() override { return wave_ ? WaveError(waveInStop(wave_)) : kStreamNotOpen; }

    int Readable(size_t* bytes) override {
        std::lock_guard<std::mutex> lock(ringLock_);
        *bytes = ringSize_;
        return wave_ ? failure_ : kStreamNotOpen;
    }

    int Read(void* dst, size_t capacity, size_t* got) override {
        *got = 0;
        std::lock_guard<std::mutex> lock(ringLock_);
        if (!wave_)
            return kStreamNotOpen;
        if (failure_)
            return failure_;
        size_t n = std::min(capacity, ringSize_);
        n -= n % blockAlign_;
        auto* out = static_cast<uint8_t*>(dst);
        const size_t first = std::min(n, ring_.size() - ringStart_);
        memcpy(out, ring_.data() + ringStart_, first);
        memcpy(out + first, ring_.data(), n - first);
        ringStart_ = (ringStart_ + n) % ring_.size();
        ringSize_ -= n;
        *got = n;
        return 0;
    }

    std::string DeviceName() const override { return name_; }

  private:
    int StartThread() {
        Handle ready(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!ready.valid())
            return kWaveInThreadFailed;
        ready_ = ready.get();
        thread_.Reset(CreateThread(nullptr, 0, &WaveInRecorder::ThreadProc, this, 0, &threadId_));
        if (!thread_.valid())
            return kWaveInThreadFailed;
        // The thread has its message queue once it signals; waveInOpen posts to that queue.
        HANDLE both[2] = {ready.get(), thread_.get()};
        if (WaitForMultipleObjects(2, both, FALSE, INFINITE) != WAIT_OBJECT_0) {
            EndThread();
            return kWaveInThreadFailed;
        }
        DebugOutput("audio thread call back create sucess---------");
        return 0;
    }

    void EndThread() {
        if (!thread_.valid())
            return;
        DebugOutput("close msgqueue_ready_evt start---------");
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        WaitForSingleObject(thread_.get(), INFINITE);
        DebugOutput("close msgqueue_ready_evt end---------");
        thread_.Reset();
        threadId_ = 0;
    }

    // Stops requeueing, has the driver hand every buffer back, closes the device and ends the
    // message thread.
    void Close() {
        if (wave_) {
            {
                std::lock_guard<std::mutex> lock(requeueLock_);
                SetEvent(stop_.get());
            }
            waveInReset(wave_);  // returns the queued buffers marked done
            if (outstanding_.load() > 0)
                WaitForSingleObject(done_.get(), kDoneWaitMs);
            for (WAVEHDR& header : headers_)
                if (header.dwFlags & WHDR_PREPARED)
                    waveInUnprepareHeader(wave_, &header, sizeof header);
            waveInClose(wave_);
            std::lock_guard<std::mutex> lock(ringLock_);
            wave_ = nullptr;
        }
        EndThread();
        outstanding_ = 0;
    }

    static DWORD WINAPI ThreadProc(void* self) {
        static_cast<WaveInRecorder*>(self)->MessageLoop();
        return 0;
    }

    void MessageLoop() {
        MSG msg;
        PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        SetEvent(ready_);
        BOOL got;
        while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
            if (got == -1)
                continue;
            if (msg.message == MM_WIM_DATA)
                OnBuffer(reinterpret_cast<WAVEHDR*>(msg.lParam));
            else if (msg.message == MM_WIM_CLOSE)
                OnDeviceClosed();
        }
    }

    void OnBuffer(WAVEHDR* header) {
        Append(reinterpret_cast<const uint8_t*>(header->lpData), header->dwBytesRecorded);
        std::lock_guard<std::mutex> lock(requeueLock_);
        if (WaitForSingleObject(stop_.get(), 0) != WAIT_OBJECT_0) {
            header->dwBytesRecorded = 0;
            header->dwFlags = WHDR_PREPARED;
            const int err = WaveError(waveInAddBuffer(wave_, header, sizeof *header));
            if (!err)
                return;
            Fail(err);
        }
        if (--outstanding_ < 1)
            SetEvent(done_.get());
    }

    void OnDeviceClosed() {
        // Closed by Close (the stop event is set): the thread ends. Closed under the stream (the
        // device went away): the reader hears of it; the thread ends when the stream closes.
        if (WaitForSingleObject(stop_.get(), 0) == WAIT_OBJECT_0)
            PostQuitMessage(0);
        else
            Fail(kWaveInDeviceClosed);
    }

    void Append(const uint8_t* data, size_t bytes) {
        std::lock_guard<std::mutex> lock(ringLock_);
        if (bytes == 0 || ring_.empty())
            return;
        // The ring holds two seconds; a reader that far behind has lost sound, and says so.
        if (ringSize_ + bytes > ring_.size()) {
            failure_ = kWaveInOverrun;
            return;
        }
        size_t end = (ringStart_ + ringSize_) % ring_.size();
        const size_t first = std::min(bytes, ring_.size() - end);
        memcpy(ring_.data() + end, data, first);
        memcpy(ring_.data(), data + first, bytes - first);
        ringSize_ += bytes;
    }

    void Fail(int error) {
        std::lock_guard<std::mutex> lock(ringLock_);
        if (!failure_)
            failure_ = error;
    }

    std::string name_;
    HWAVEIN wave_ = nullptr;
    Handle stop_;  // manual-reset: returned buffers are no longer requeued
    Handle done_;  // auto-reset: the last outstanding buffer came back after the stop
    Handle thread_;
    DWORD threadId_ = 0;
    HANDLE ready_ = nullptr;           // the thread's queue exists; valid during StartThread only
    std::mutex requeueLock_;           // the stop decision and a requeue happen one at a time
    std::atomic<int> outstanding_{0};  // buffers the driver holds
    WAVEHDR headers_[kBuffers] = {};
    std::vector<uint8_t> samples_;
    int bufferBytes_ = 0;
    size_t blockAlign_ = 2;

    std::mutex ringLock_;  // guards the ring and failure_
    std::vector<uint8_t> ring_;
    size_t ringStart_ = 0, ringSize_ = 0;
    int failure_ = 0;  // the first failure after Open; Readable and Read report it
};

}  // namespace

int ConnectWaveInRecorder(std::unique_ptr<AudioCaptureStream>* out) {
    auto recorder = std::make_unique<WaveInRecorder>();
    const int err = recorder->Connect();
    if (err)
        return err;
    *out = std::move(recorder);
    return 0;
}

}  // namespace win32
}  // namespace platform
}  // namespace vistrec
