// The recording loop's low-volume warning: every 2 s the latest microphone level is sampled;
// after 30 samples (about a minute) the host is warned when none reached the threshold. After
// a warning period the next one starts 10 minutes later, paused time not counted.
#ifndef VISTREC_SRC_LOWVOLUMECHECK_H
#define VISTREC_SRC_LOWVOLUMECHECK_H

#include <stdint.h>

class CLowVolumeCheck {
  public:
    static constexpr uint32_t kWindowMs = 2000;  // one level sample per window
    static constexpr int kWindowsPerCheck = 30;  // a check spans about a minute
    static constexpr uint32_t kRestMs = 600000;  // 10 minutes between checks
    static constexpr int kNoAudioCode = -101;    // warning when no audio was ever delivered
    static constexpr int kLowAudioCode = -102;   // warning with audio delivered

    // Start of a recording at tick `now`.
    void Start(uint32_t now);
    // First paused pass / first pass after a pause / the pass that resumes recording.
    void OnPauseBegin(uint32_t now) { m_pauseStart = now; }
    void OnPauseEnd(uint32_t now);
    void OnResumed(uint32_t now) { m_lastWindowTick = now; }
    // One unpaused pass at tick `now` (32-bit wrap-around arithmetic). Samples *lastLevel when
    // a window is over and resets it to 0; returns the notification code to post, or 0.
    int Check(uint32_t now, int* lastLevel, int minVolume, bool audioDelivered);

    uint32_t WindowStart() const { return m_windowStart; }

  private:
    uint32_t m_windowStart = 0;
    uint32_t m_lastWindowTick = 0;
    uint32_t m_pausedTicks = 0;
    uint32_t m_pauseStart = 0;
    bool m_firstCheck = true;
    int m_windowCount = 0;
    int m_windowMax = 0;  // not reset between checks: one loud window silences the warning
};

#endif
