#include "audiocapture/CaptureWatchdog.h"

#include <algorithm>
#include <chrono>

#include "platform/Platform.h"

CCaptureWatchdog::CCaptureWatchdog(CAudioRecordT<true>& microphone, CAudioRecordT<false>& playback,
                                   std::function<unsigned()> wanted)
    : m_microphone(microphone),
      m_playback(playback),
      m_wanted(std::move(wanted)),
      m_thread(&CCaptureWatchdog::Run, this) {}

CCaptureWatchdog::~CCaptureWatchdog() {
    {
        std::lock_guard<std::mutex> lock(m_waitLock);
        m_quit = true;
    }
    m_waitCond.notify_all();
    m_thread.join();
}

uint64_t CCaptureWatchdog::Wake() {
    uint64_t request = 0;
    {
        std::lock_guard<std::mutex> lock(m_waitLock);
        m_woken = true;
        request = ++m_requests;
    }
    m_waitCond.notify_all();
    return request;
}

bool CCaptureWatchdog::WaitServed(uint64_t request, unsigned ms) {
    std::unique_lock<std::mutex> lock(m_waitLock);
    return m_waitCond.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        return m_served >= request || m_quit;
    }) && m_served >= request;
}

bool CCaptureWatchdog::WaitPass(unsigned ms) {
    std::unique_lock<std::mutex> lock(m_waitLock);
    // The pass just ended served the requests made before it began.
    m_served = m_serving;
    m_waitCond.notify_all();
    m_waitCond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_quit || m_woken; });
    m_serving = m_requests;
    if (m_woken) {
        // A new request: whatever is wanted now is tried at once.
        m_woken = false;
        m_micRetry = Retry();
        m_playRetry = Retry();
    }
    return m_quit;
}

template <bool kMicrophone>
void CCaptureWatchdog::ReopenIfDown(CAudioRecordT<kMicrophone>& recorder, Retry* retry) {
    if (recorder.IsRunning()) {
        *retry = Retry();
        return;
    }
    const int64_t now = vistrec::platform::GetMsTime();
    if (now < retry->nextMs)
        return;
    // Sound queued before the capture went down belongs before the gap, not after it.
    recorder.ClearBuffers();
    if (recorder.StartCapture()) {
        *retry = Retry();
        return;
    }
    retry->nextMs = now + retry->delayMs;
    retry->delayMs = std::min(retry->delayMs * 2, kRetryMaxMs);
}

template <bool kMicrophone>
void CCaptureWatchdog::Keep(CAudioRecordT<kMicrophone>& recorder, bool want, bool clearOnRestart,
                            Retry* retry) {
    if (recorder.IsRunning() && (!want || recorder.IsRetired()))
        recorder.StopCapture(true);
    if (!want)
        return;
    recorder.RestartIfFailed(clearOnRestart);
    ReopenIfDown(recorder, retry);
}

void CCaptureWatchdog::Run() {
    while (!WaitPass(kPassMs)) {
        const unsigned wanted = m_wanted ? m_wanted() : 0;
        Keep(m_microphone, (wanted & kWantMicrophone) != 0, true, &m_micRetry);
        Keep(m_playback, (wanted & kWantPlayback) != 0, false, &m_playRetry);
    }
}
