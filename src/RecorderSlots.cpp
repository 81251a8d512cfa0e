#include "RecorderSlots.h"

#include "platform/Platform.h"

void CRecorderSlots::pauseRecord() {
    m_clock.Pause(vistrec::platform::GetMsTime());
}

int CRecorderSlots::resumeRecord() {
    return m_clock.Resume(vistrec::platform::GetMsTime(), &Encoder().m_pausedMs);
}

void CRecorderSlots::BeginRecording() {
    // Pauses of an earlier recording of this object do not count.
    m_clock.Begin(vistrec::platform::TickCount32());
    Encoder().m_pausedMs = 0;
}
