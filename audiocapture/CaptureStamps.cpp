#include "audiocapture/CaptureStamps.h"

#include <algorithm>

#include "platform/Platform.h"
#include "platform/PlatformAudio.h"

int64_t CaptureTimeOfRead(const vistrec::platform::AudioCaptureStream& stream, size_t got,
                          size_t ready, int bytesPerSecond) {
    const int64_t capturedMs = stream.LastReadCaptureTime();
    if (capturedMs != vistrec::platform::AudioCaptureStream::kUnknownCaptureTime)
        return capturedMs;
    return vistrec::platform::GetMsTime() -
           static_cast<int64_t>(got + ready) * 1000 / std::max(bytesPerSecond, 1);
}

void CCaptureStamps::Append(int bytes, int64_t capturedMs) {
    if (bytes <= 0)
        return;
    if (m_pieces.size() >= kMaxPieces)
        m_pieces.back().bytes += bytes;
    else
        m_pieces.push_back({capturedMs, bytes});
}

int64_t CCaptureStamps::Front(int bytesPerSecond) const {
    if (m_pieces.empty() || m_pieces.front().capturedMs == kUnknownCaptureMs || bytesPerSecond <= 0)
        return kUnknownCaptureMs;
    return m_pieces.front().capturedMs + static_cast<int64_t>(m_frontTaken) * 1000 / bytesPerSecond;
}

int64_t CCaptureStamps::Take(int bytes, int bytesPerSecond) {
    const int64_t first = Front(bytesPerSecond);
    while (bytes > 0 && !m_pieces.empty()) {
        const int n = std::min(bytes, m_pieces.front().bytes - m_frontTaken);
        bytes -= n;
        m_frontTaken += n;
        if (m_frontTaken == m_pieces.front().bytes) {
            m_pieces.pop_front();
            m_frontTaken = 0;
        }
    }
    return first;
}

void CCaptureStamps::Clear() {
    m_pieces.clear();
    m_frontTaken = 0;
}
