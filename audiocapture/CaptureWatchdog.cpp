#include "audiocapture/CaptureWatchdog.h"

#include <algorithm>

#include "platform/Platform.h"

CCaptureWatchdog::CCaptureWatchdog(CAudioRecordT<true>& microphone, CAudioRecordT<false>& playback,
                                   std::function<int()> audioMode, std::function<bool()> paused,
                                   std::function<unsigned()> wanted)
    : m_microphone(microphone),
      m_playback(playback),
      m_audioMode(std::move(audioMode)),
      m_paused(std::move(paused)),
      m_wanted(std::move(wanted)),
      m_thread(&CCaptureWatchdog::Run, this) {}

CCaptureWatchdog::~CCaptureWatchdog() {
    m_quit.Set();
    m_thread.join();
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

void CCaptureWatchdog::Run() {
    for (;;) {
        const int mode = m_audioMode();
        if (mode != 1 && mode != 2) {
            if (m_quit.Wait(kPassMs))
                return;
            continue;
        }
        if (m_paused()) {
            if (m_quit.Wait(kPausedMs))
                return;
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(m_control);
            m_microphone.RestartIfFailed(true);
            m_playback.RestartIfFailed(false);
            const unsigned wanted = m_wanted ? m_wanted() : 0;
            if (wanted & kWantMicrophone)
                ReopenIfDown(m_microphone, &m_micRetry);
            if (wanted & kWantPlayback)
                ReopenIfDown(m_playback, &m_playRetry);
        }
        if (m_quit.Wait(kPassMs))
            return;
    }
}
