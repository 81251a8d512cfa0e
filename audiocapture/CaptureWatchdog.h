// The capture watchdog: the one thread that opens, stops and restarts the captures of a
// recorder, so that no other thread ever waits on the sound server. The record thread only
// says which captures it wants; a capture whose recorder reported an error (a failed device, a
// vanished sound server, a new default device) is restarted.
#ifndef VISTREC_AUDIOCAPTURE_CAPTUREWATCHDOG_H
#define VISTREC_AUDIOCAPTURE_CAPTUREWATCHDOG_H

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "audiocapture/AudioRecord.h"

class CCaptureWatchdog {
  public:
    // Pause between passes.
    static constexpr unsigned kPassMs = 15;

    static constexpr unsigned kWantMicrophone = 1;
    static constexpr unsigned kWantPlayback = 2;
    // Back-off between attempts to reopen a capture that could not be opened.
    static constexpr int64_t kRetryMinMs = 250;
    static constexpr int64_t kRetryMaxMs = 2000;

    // Starts the thread at once. `wanted` tells which captures are wanted now (kWant* bits; 0
    // while paused or not recording); it is called on the watchdog thread. Each pass, for each
    // recorder: a running capture that is not wanted, or whose cycle its recorder retired
    // (ClearBuffers), is stopped; a wanted one that failed is restarted (the microphone's
    // buffers cleared, the playback's kept); a wanted one that has no thread, because it was
    // never opened or the server or the device was gone when it was last opened, is opened
    // with back-off until it comes up, so sound returns once the server is back. A pass may
    // wait on the sound server; nothing else does. The recorders must outlive this object.
    CCaptureWatchdog(CAudioRecordT<true>& microphone, CAudioRecordT<false>& playback,
                     std::function<unsigned()> wanted);
    // Tells the thread to end and waits for it (at most the time-outs of one pass's requests).
    ~CCaptureWatchdog();
    CCaptureWatchdog(const CCaptureWatchdog&) = delete;
    CCaptureWatchdog& operator=(const CCaptureWatchdog&) = delete;

    // Runs a pass at once, its reopening without back-off: what is wanted has changed. Never
    // blocks on a pass in progress. Returns the request's number for WaitServed.
    uint64_t Wake();
    // Waits up to ms for a pass that began after request `request` to end; true when one did.
    bool WaitServed(uint64_t request, unsigned ms);

  private:
    // Reopening of a wanted capture that has no thread, with its back-off state.
    struct Retry {
        int64_t nextMs = 0;
        int64_t delayMs = kRetryMinMs;
    };
    template <bool kMicrophone>
    void Keep(CAudioRecordT<kMicrophone>& recorder, bool want, bool clearOnRestart, Retry* retry);
    template <bool kMicrophone>
    void ReopenIfDown(CAudioRecordT<kMicrophone>& recorder, Retry* retry);
    // Waits up to ms for a wake-up; true when the thread is to end.
    bool WaitPass(unsigned ms);
    void Run();

    CAudioRecordT<true>& m_microphone;
    CAudioRecordT<false>& m_playback;
    std::function<unsigned()> m_wanted;
    Retry m_micRetry, m_playRetry;  // watchdog thread only
    std::mutex m_waitLock;          // guards the flags and counters below
    std::condition_variable m_waitCond;
    bool m_quit = false;
    bool m_woken = false;
    uint64_t m_requests = 0;  // Wake calls so far
    uint64_t m_serving = 0;   // the requests the pass under way serves
    uint64_t m_served = 0;    // the requests served by finished passes
    std::thread m_thread;     // last member: starts once the others exist
};

#endif  // VISTREC_AUDIOCAPTURE_CAPTUREWATCHDOG_H
