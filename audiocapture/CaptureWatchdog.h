// The capture watchdog: a thread that restarts a capture whose recorder reported an error (a
// failed device, a vanished sound server, a new default device).
#ifndef VISTREC_AUDIOCAPTURE_CAPTUREWATCHDOG_H
#define VISTREC_AUDIOCAPTURE_CAPTUREWATCHDOG_H

#include <stdint.h>

#include <functional>
#include <mutex>
#include <thread>

#include "audiocapture/AudioRecord.h"
#include "support/Event.h"

class CCaptureWatchdog {
  public:
    // Pause between passes, and while the recording is paused.
    static constexpr unsigned kPassMs = 15;
    static constexpr unsigned kPausedMs = 5;

    // Starts the thread at once. Each pass: unless audioMode() is 1 (microphone and playback)
    // or 2 (playback only) nothing happens; while paused() nothing happens; else the
    // microphone recorder is restarted if it failed (clearing its buffers), then the playback
    // recorder (keeping them). The callbacks run on the watchdog thread; the recorders and the
    // callbacks' targets must outlive this object.
    //
    // `wanted`, when given, tells which captures a running recording needs now (bit 0 the
    // microphone, bit 1 the playback; 0 while paused or not recording). A wanted capture that
    // has no thread at all, because the sound server or the device was gone when it was last
    // opened, is then opened again with back-off until it comes up, so sound returns once the
    // server is back. Every pass runs under ControlLock(): the record thread holds it while it
    // changes what it wants and stops its captures, so no capture is restarted behind it.
    CCaptureWatchdog(CAudioRecordT<true>& microphone, CAudioRecordT<false>& playback,
                     std::function<int()> audioMode, std::function<bool()> paused,
                     std::function<unsigned()> wanted = nullptr);
    std::mutex& ControlLock() { return m_control; }

    static constexpr unsigned kWantMicrophone = 1;
    static constexpr unsigned kWantPlayback = 2;
    // Back-off between attempts to reopen a capture that could not be opened.
    static constexpr int64_t kRetryMinMs = 250;
    static constexpr int64_t kRetryMaxMs = 2000;
    // Tells the thread to end and waits for it.
    ~CCaptureWatchdog();
    CCaptureWatchdog(const CCaptureWatchdog&) = delete;
    CCaptureWatchdog& operator=(const CCaptureWatchdog&) = delete;

  private:
    // Reopening of a wanted capture that has no thread, with its back-off state.
    struct Retry {
        int64_t nextMs = 0;
        int64_t delayMs = kRetryMinMs;
    };
    template <bool kMicrophone>
    void ReopenIfDown(CAudioRecordT<kMicrophone>& recorder, Retry* retry);
    void Run();

    CAudioRecordT<true>& m_microphone;
    CAudioRecordT<false>& m_playback;
    std::function<int()> m_audioMode;
    std::function<bool()> m_paused;
    std::function<unsigned()> m_wanted;
    std::mutex m_control;
    Retry m_micRetry, m_playRetry;
    CEvent m_quit{true, false};  // its timed waits are the pauses between passes
    std::thread m_thread;        // last member: starts once the others exist
};

#endif  // VISTREC_AUDIOCAPTURE_CAPTUREWATCHDOG_H
