#include "SoundTimeline.h"

#include <algorithm>

namespace {
int64_t Least(int64_t a, int64_t b) {
    if (a == CSoundTimeline::kUnknown)
        return b;
    return b == CSoundTimeline::kUnknown ? a : std::min(a, b);
}
}  // namespace

void CSoundTimeline::NewRun(int queuedBytes) {
    m_pushed = std::max(queuedBytes, 0);
    m_taken = 0;
    m_windowStartMs = m_least = m_leastBefore = kUnknown;
}

void CSoundTimeline::OnPushed(int64_t nowMs, int bytes, int64_t capturedMs) {
    if (bytes <= 0)
        return;
    m_pushed += bytes;
    // The block's end was captured by the time it came, whatever the stamp says.
    const int64_t endMs = capturedMs == kUnknown ? nowMs : std::min(nowMs, capturedMs + Ms(bytes));
    if (m_windowStartMs == kUnknown || nowMs - m_windowStartMs >= kWindowMs) {
        m_leastBefore = m_least;
        m_least = kUnknown;
        m_windowStartMs = nowMs;
    }
    m_least = Least(m_least, endMs - Ms(m_pushed));
}

int64_t CSoundTimeline::HeadMs() const {
    const int64_t start = Least(m_least, m_leastBefore);
    return start == kUnknown ? kUnknown : start + Ms(m_taken);
}
