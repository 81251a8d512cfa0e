#include "LowVolumeCheck.h"

#include <algorithm>

void CLowVolumeCheck::Start(uint32_t now) {
    m_windowStart = now;
    m_lastWindowTick = now;
    m_firstCheck = true;
    m_windowCount = 0;
    m_windowMax = 0;
    m_pausedTicks = 0;
    m_pauseStart = 0;
}

void CLowVolumeCheck::OnPauseEnd(uint32_t now) {
    if (m_pauseStart == 0)
        return;
    m_pausedTicks = now - m_pauseStart;
    m_pauseStart = 0;
}

int CLowVolumeCheck::Check(uint32_t now, int* lastLevel, int minVolume, bool audioDelivered) {
    if (!m_firstCheck && !(now - m_windowStart - m_pausedTicks > kRestMs))
        return 0;
    if (!(now - m_lastWindowTick > kWindowMs))
        return 0;
    m_windowMax = std::max(m_windowMax, *lastLevel);
    int code = 0;
    if (++m_windowCount > kWindowsPerCheck - 1) {
        if (m_windowMax < minVolume)
            code = audioDelivered ? kLowAudioCode : kNoAudioCode;
        m_windowStart = now;
        m_pausedTicks = 0;
        m_pauseStart = 0;
        m_windowCount = 0;
        m_firstCheck = false;
    }
    m_lastWindowTick = now;
    *lastLevel = 0;
    return code;
}
