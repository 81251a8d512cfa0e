#include "RecordClock.h"

void CRecordClock::Begin(uint32_t tickNow) {
    m_stop = false;
    m_pause = false;
    m_pauseStart = 0;
    m_pauseTotal = 0;
    m_startTime = tickNow;
}

void CRecordClock::Pause(int64_t nowMs) {
    if (m_pause)
        return;
    m_pause = true;
    m_pauseStart = nowMs;
}

int CRecordClock::Resume(int64_t nowMs, std::atomic<int>* published) {
    if (!m_pause || m_pauseStart == 0)
        return 0;
    const int32_t d =
        static_cast<int32_t>(static_cast<uint32_t>(nowMs) - static_cast<uint32_t>(m_pauseStart));
    m_pauseTotal += d;
    // The paused total first: a loop pass that sees the flag clear must not compute its elapsed
    // time with the pause still in it.
    if (published)
        published->store(PausedMs(), std::memory_order_release);
    m_pause.store(false, std::memory_order_release);
    m_pauseStart = 0;
    return d;
}

void CRecordClock::CountOpenPause(int64_t nowMs) {
    if (!m_pause)
        return;
    m_pauseTotal += static_cast<uint32_t>(nowMs) - static_cast<uint32_t>(m_pauseStart);
}

unsigned CRecordClock::Duration(uint32_t tickNow) const {
    return tickNow - static_cast<uint32_t>(m_pauseTotal) - static_cast<uint32_t>(m_startTime);
}
