// Start, pause and stop bookkeeping shared by both recorder objects. The flags are polled by
// the record thread; the times are kept on the host's thread only.
#ifndef VISTREC_SRC_RECORDCLOCK_H
#define VISTREC_SRC_RECORDCLOCK_H

#include <stdint.h>

#include <atomic>

class CRecordClock {
  public:
    // startRecord: clears both flags and, so that one object can record several times, the
    // pause total; `tickNow` is the 32-bit tick counter.
    void Begin(uint32_t tickNow);
    // pauseRecord at clock time nowMs: a second pause keeps the first pause start.
    void Pause(int64_t nowMs);
    // resumeRecord: length of the pause just ended (0 without one); the pause total grows.
    // `published`, when given, receives the new PausedMs() before the pause flag clears, so
    // that a reader that sees the flag clear (acquire) also sees the whole pause counted.
    int Resume(int64_t nowMs, std::atomic<int>* published = nullptr);
    // The H.264 recorder's stop while paused: counts the open pause, leaves the pause open.
    void CountOpenPause(int64_t nowMs);
    // Recorded ms without pauses at tick `tickNow` (32-bit wrap-around arithmetic).
    unsigned Duration(uint32_t tickNow) const;

    // Low 32 bits of the pause total, for the encoder's frame clock.
    int PausedMs() const { return static_cast<int>(static_cast<uint32_t>(m_pauseTotal)); }
    int64_t PauseTotal() const { return m_pauseTotal; }

    std::atomic<bool> m_stop{false};
    // Cleared with release order by Resume; the record thread reads it with acquire order.
    std::atomic<bool> m_pause{false};

  private:
    uint64_t m_startTime = 0;  // tick counter at startRecord, high half always 0
    int64_t m_pauseStart = 0;  // clock ms when the current pause began, 0 when none
    int64_t m_pauseTotal = 0;  // ms spent paused
};

#endif
