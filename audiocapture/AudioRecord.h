// The audio recorder between a capture engine and the audio pump: the engine's packets go raw
// into one FIFO; each pump tick resamples one 50 ms chunk of it to 16-bit mono 16 kHz into a
// second FIFO, from which the pump fetches 3200-byte (100 ms) blocks. Each FIFO keeps when its
// sound was captured, so a fetched block carries the capture time of its first sample however
// late the pump takes it (the resampler's delay counted). CAudioRecordT<1> holds
// the microphone engine, CAudioRecordT<0> the playback-loopback engine.
//
// Threads: the capture threads report through a sink of their own capture cycle; AudioResampling,
// isCanFetch, FetchData and the IPumpSource queries run on the pump (record) thread;
// StartCapture, StopCapture and RestartIfFailed on the capture watchdog (they may wait on the
// sound server); ClearBuffers and ClearCaptured on any thread (they never do).
//
// Capture cycles: every start of the engine is a new cycle with a number of its own. Each
// report of a capture thread carries its cycle's number and is dropped unless that cycle is the
// current one, so a thread still finishing after a stop or a restart (a stopped thread is never
// waited for) can no longer append sound, replace the kept format or touch the flags. Stopping
// the engine and ClearBuffers end the current cycle. The reports made through this object's own
// ICaptureEvent slots count as the current cycle's.
//
// Each FIFO has its own lock, held for one FIFO operation; only the end of a cycle takes the
// state lock and both FIFO locks together (in that order), so that no report is half checked.
#ifndef VISTREC_AUDIOCAPTURE_AUDIORECORD_H
#define VISTREC_AUDIOCAPTURE_AUDIORECORD_H

#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "audiocapture/AudioCapture.h"
#include "audiocapture/CaptureStamps.h"
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

    // ICaptureEvent, as reports of the current cycle.
    void OnCaptureStart(uint32_t) override { CaptureStarted(kCurrentCycle); }
    void OnCaptureStop() override {}
    // Turns a float format into 16-bit integer PCM of the same rate and channel count and
    // keeps a copy of the result.
    void OnAdjustCaptureFormat(CaptureFormat* format) override {
        AdjustFormat(kCurrentCycle, format);
    }
    void OnCaptureData(const uint8_t* data, uint32_t bytes, int64_t capturedMs) override {
        CaptureData(kCurrentCycle, data, bytes, capturedMs);
    }
    void OnDataState(bool flowing) override { DataState(kCurrentCycle, flowing); }
    void OnCaptureError(bool failed) override { CaptureError(kCurrentCycle, failed); }
    void OnDeviceName(std::string name) override { DeviceNameIs(kCurrentCycle, std::move(name)); }

    // Pump thread. Takes exactly `bytes` bytes of resampled sound when that many are queued
    // (*got = bytes, returns what is left), else nothing (*got = 0, returns the queued count);
    // -1 on a short read.
    int FetchData(uint8_t* out, int bytes, int* got) override;
    int64_t FetchedCaptureMs() const override { return m_fetchedMs; }
    int64_t QueuedCaptureMs() const override;

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

    // Empties the raw FIFO (the current cycle goes on).
    void ClearCaptured();
    // Ends the current capture cycle's delivery and empties both FIFOs: nothing captured so far
    // reaches the pump. A running capture goes on sending into nothing until the watchdog stops
    // it (IsRetired). Never waits on the sound server.
    void ClearBuffers();
    // A capture thread runs for a cycle that has ended (ClearBuffers): it must be restarted.
    bool IsRetired() const;
    // Waits up to kIdleWaitMs for the idle event; unless a capture thread exists, opens the
    // engine with this recorder as the sink, clears the error flag and starts it. Returns
    // whether a capture thread exists afterwards.
    bool StartCapture();
    // With a capture thread: stops and closes the engine (without waiting for the thread), ends
    // the cycle and, when clearBuffers, empties both FIFOs. Always resets the started event and
    // sets the idle event.
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
    // Reports of the engine's own thread calls; kCurrentCycle stands for the current cycle.
    static constexpr uint32_t kCurrentCycle = 0;
    class CycleSink;
    void CaptureStarted(uint32_t cycle);
    void AdjustFormat(uint32_t cycle, CaptureFormat* format);
    void CaptureData(uint32_t cycle, const uint8_t* data, uint32_t bytes, int64_t capturedMs);
    void DataState(uint32_t cycle, bool flowing);
    void CaptureError(uint32_t cycle, bool failed);
    void DeviceNameIs(uint32_t cycle, std::string name);
    // Whether a report of `cycle` counts; m_generation read, so any lock that guards its
    // writes (m_stateLock or a FIFO lock) must be held.
    bool IsCurrent(uint32_t cycle) const {
        return cycle == kCurrentCycle || cycle == m_generation.load();
    }
    // Ends the current cycle (and, with clear, empties both FIFOs); returns the new number.
    uint32_t EndCycle(bool clear);

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

    // The state the capture threads report (format, flags, device name) and the cycle numbers.
    // The kept format is written by the capture thread (OnAdjustCaptureFormat) and read by the
    // pump thread (GetCaptureFormat). A copy taken under this small lock is all a reader ever
    // sees, so it can neither read a half-written format nor one that is being released;
    // before the first OnAdjustCaptureFormat there is none and the pump skips the recorder.
    mutable std::mutex m_stateLock;
    bool m_hasFormat = false;
    CaptureFormat m_format;
    // The current cycle; written with m_stateLock, m_rawLock and m_resampledLock held.
    std::atomic<uint32_t> m_generation{1};
    uint32_t m_engineCycle = 0;  // the cycle the engine's thread reports for; m_stateLock

    mutable std::mutex m_rawLock;  // guards m_raw
    CMemoryBuffer m_raw;           // 16-bit PCM as captured, interleaved, device rate
    CCaptureStamps m_rawStamps;    // when m_raw's bytes were captured; m_rawLock
    // m_raw holds at most this much; a pump that stopped taking sound costs the oldest sound
    // (at least 10 s at 48 kHz in 8 channels), counted in m_rawDropped under m_rawLock.
    static constexpr int kMostRawBytes = 8 * 1024 * 1024;
    int64_t m_rawDropped = 0;
    bool m_rawDropping = false;               // in a stretch of drops (logged once at its start)
    mutable std::mutex m_resampledLock;       // guards m_resampled
    CMemoryBuffer m_resampled;                // 16-bit mono 16 kHz
    CCaptureStamps m_resampledStamps;         // m_resampledLock
    int64_t m_fetchedMs = kUnknownCaptureMs;  // capture time of the last block fetched; pump

    std::atomic<bool> m_dataFlowing{false};
    std::atomic<bool> m_error{false};
    std::atomic<uint32_t> m_stateTick{0};
    std::string m_deviceName;  // m_stateLock

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
    int m_resampledByteRate = 0;  // of the resampled FIFO's sound
    // The input the resampler was built for; all 0 at first.
    int m_lastFormat = 0;
    int m_lastRate = 0;
    int m_lastChannels = 0;
};

#endif  // VISTREC_AUDIOCAPTURE_AUDIORECORD_H
