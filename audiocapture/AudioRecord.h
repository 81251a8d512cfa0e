// The audio recorder between a capture engine and the audio pump: the engine's packets go raw
// into one FIFO; each pump tick resamples one 50 ms chunk of it to 16-bit mono 16 kHz into a
// second FIFO, from which the pump fetches 3200-byte (100 ms) blocks. CAudioRecordT<1> holds
// the microphone engine, CAudioRecordT<0> the playback-loopback engine.
//
// Threads: the ICaptureEvent slots run on the capture thread; AudioResampling, isCanFetch,
// FetchData and the IPumpSource queries on the pump (record) thread; StartCapture,
// StopCapture, RestartIfFailed and ClearCaptured on the record thread or the capture watchdog.
// Each FIFO has its own lock, held for one FIFO operation and never together with the other.
#ifndef VISTREC_AUDIOCAPTURE_AUDIORECORD_H
#define VISTREC_AUDIOCAPTURE_AUDIORECORD_H

#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "audiocapture/AudioCapture.h"
#include "audiocapture/ICaptureEvent.h"
#include "audiocapture/IPumpSource.h"
#include "support/Event.h"
#include "support/MemoryBuffer.h"

struct SwrContext;

template <bool kMicrophone>
class CAudioRecordT final : public ICaptureEvent, public IPumpSource {
  public:
    // The pump's block: 100 ms of 16-bit mono at 16 kHz.
    static constexpr int kFetchBlockBytes = 3200;
    // How long StartCapture waits for a previous capture to wind down.
    static constexpr unsigned kIdleWaitMs = 2000;

    CAudioRecordT();
    // Stops a capture still running and waits for the engine's threads.
    ~CAudioRecordT() override;
    CAudioRecordT(const CAudioRecordT&) = delete;
    CAudioRecordT& operator=(const CAudioRecordT&) = delete;

    // ICaptureEvent, capture thread.
    void OnCaptureStart(uint32_t periodMs) override;
    void OnCaptureStop() override;
    // Turns a float format into 16-bit integer PCM of the same rate and channel count and
    // keeps a copy of the result.
    void OnAdjustCaptureFormat(CaptureFormat* format) override;
    void OnCaptureData(const uint8_t* data, uint32_t bytes) override;
    void OnDataState(bool flowing) override;
    void OnCaptureError(bool failed) override;
    void OnDeviceName(std::string name) override;

    // Pump thread. Takes exactly `bytes` bytes of resampled sound when that many are queued
    // (*got = bytes, returns what is left), else nothing (*got = 0, returns the queued count);
    // -1 on a short read.
    int FetchData(uint8_t* out, int bytes, int* got) override;

    // IPumpSource, pump thread.
    bool IsRunning() const override { return m_engine.HasThread(); }
    bool IsDataFlowing() const override { return m_dataFlowing.load(); }
    bool GetCaptureFormat(int* rate, int* channels) const override;
    // Converts one chunk of srcSamples frames from the raw FIFO (which must hold strictly more
    // than one chunk) and appends the result to the resampled FIFO. srcData and dstData are
    // unused. Returns -1 on failure, the input chunk's byte count on a call that (re)built
    // the resampler, else 0.
    int AudioResampling(int srcFormat, int srcChannels, int srcRate, unsigned char* srcData,
                        int srcSamples, int dstFormat, int dstChannels, int dstRate,
                        unsigned char* dstData) override;
    // True when a whole block is queued.
    bool isCanFetch() override;

    // Record thread: empties the raw FIFO.
    void ClearCaptured();
    // Empties the raw FIFO and then the resampled FIFO (each under its own lock).
    void ClearBuffers();
    // Waits up to kIdleWaitMs for the idle event; unless a capture thread exists, opens the
    // engine with this recorder as the sink, clears the error flag and starts it. Returns
    // whether a capture thread exists afterwards.
    bool StartCapture();
    // With a capture thread: stops and closes the engine and, when clearBuffers, empties the
    // raw FIFO and then the resampled FIFO. Always resets the started event and sets the idle
    // event.
    void StopCapture(bool clearBuffers);
    // One watchdog step for this recorder: when the engine has a thread and the error flag is
    // set, StopCapture(clearBuffers), wait up to kIdleWaitMs for the idle event and, if no
    // thread exists and the engine opens, clear the error flag and start it. Returns whether
    // a restarted capture thread came up.
    bool RestartIfFailed(bool clearBuffers);

    // Observers, any thread.
    bool HasError() const { return m_error.load(); }
    // Tick count (ms) of the last OnDataState.
    uint32_t StateTick() const { return m_stateTick.load(); }
    std::string DeviceName() const;
    // Waits up to timeoutMs for OnCaptureStart of the current capture.
    bool WaitCaptureStarted(unsigned timeoutMs) { return m_started.Wait(timeoutMs); }
    int RawBytes() const;
    int ResampledBytes() const;

  private:
    struct SwrDeleter {
        void operator()(SwrContext* s) const;
    };
    struct AvFreeDeleter {
        void operator()(uint8_t* p) const;
    };
    // Output planes of av_samples_alloc_array_and_samples; frees them on destruction.
    struct SamplePlanes {
        uint8_t** planes = nullptr;
        SamplePlanes() = default;
        ~SamplePlanes() { Free(); }
        SamplePlanes(const SamplePlanes&) = delete;
        SamplePlanes& operator=(const SamplePlanes&) = delete;
        void Free();
    };

    // Unlocked halves of the control operations; m_controlLock held.
    bool StartEngineLocked();
    void StopCaptureLocked(bool clearBuffers);

    CEvent m_started{true, false};  // set by OnCaptureStart, reset by StopCapture
    CEvent m_idle{true, true};      // set by every StopCapture
    // Serialises the engine's control operations between the record thread and the watchdog.
    std::mutex m_controlLock;
    CAudioCaptureT<kMicrophone> m_engine;

    // The kept format is written by the capture thread (OnAdjustCaptureFormat) and read by the
    // pump thread (GetCaptureFormat). A copy taken under this small lock is all a reader ever
    // sees, so it can neither read a half-written format nor one that is being released;
    // before the first OnAdjustCaptureFormat there is none and the pump skips the recorder.
    mutable std::mutex m_formatLock;
    bool m_hasFormat = false;
    CaptureFormat m_format;

    mutable std::mutex m_rawLock;        // guards m_raw
    CMemoryBuffer m_raw;                 // 16-bit PCM as captured, interleaved, device rate
    mutable std::mutex m_resampledLock;  // guards m_resampled
    CMemoryBuffer m_resampled;           // 16-bit mono 16 kHz

    std::atomic<bool> m_dataFlowing{false};
    std::atomic<bool> m_error{false};
    std::atomic<uint32_t> m_stateTick{0};
    mutable std::mutex m_nameLock;  // guards m_deviceName
    std::string m_deviceName;

    // Resampler state, pump thread only. Sizes are fixed when the resampler is (re)built so
    // that a tick allocates nothing.
    std::unique_ptr<SwrContext, SwrDeleter> m_swr;
    SamplePlanes m_out;
    std::unique_ptr<uint8_t, AvFreeDeleter> m_inputChunk;
    int m_inputChunkBytes = 0;
    int m_allocatedOutSamples = 0;
    int m_outChannels = 0;
    int m_outLineSize = 0;
    int m_outSamplesPerChunk = 0;
    // The input the resampler was built for; all 0 at first.
    int m_lastFormat = 0;
    int m_lastRate = 0;
    int m_lastChannels = 0;
};

#endif  // VISTREC_AUDIOCAPTURE_AUDIORECORD_H
