// When the bytes of a sound FIFO were captured: each piece appended keeps the capture time of
// its first byte, and a byte further in is that time plus its offset at the FIFO's byte rate.
// Bounded: past kMaxPieces pieces a new piece joins the last one (its own time is lost, the
// bytes are not). Not locked: the owner guards it with its FIFO's lock.
#ifndef VISTREC_AUDIOCAPTURE_CAPTURESTAMPS_H
#define VISTREC_AUDIOCAPTURE_CAPTURESTAMPS_H

#include <stdint.h>

#include <stddef.h>

#include <deque>

#include "audiocapture/ICaptureEvent.h"

namespace vistrec::platform {
class AudioCaptureStream;
}

// When the first byte of a read of `got` bytes from `stream` was captured, on the platform's
// millisecond clock: as the server accounts for it, or else now less what the stream holds up
// to the read's end (`ready` bytes more), so that sound keeps its time however late a pump takes
// it. A thread held up between the read and the clock makes it a little late, never early.
int64_t CaptureTimeOfRead(const vistrec::platform::AudioCaptureStream& stream, size_t got,
                          size_t ready, int bytesPerSecond);

class CCaptureStamps {
  public:
    // A second of 10 ms packets and more; a FIFO read on time holds a few.
    static constexpr size_t kMaxPieces = 256;

    // `bytes` joined the back of the FIFO, the first captured at `capturedMs` (may be
    // kUnknownCaptureMs).
    void Append(int bytes, int64_t capturedMs);
    // `bytes` left the front of the FIFO; returns when the first of them was captured, at
    // `bytesPerSecond` (kUnknownCaptureMs when not known).
    int64_t Take(int bytes, int bytesPerSecond);
    // When the front byte was captured (kUnknownCaptureMs when not known or empty).
    int64_t Front(int bytesPerSecond) const;
    void Clear();

  private:
    struct Piece {
        int64_t capturedMs;
        int bytes;
    };
    std::deque<Piece> m_pieces;
    int m_frontTaken = 0;  // bytes of the front piece already taken
};

#endif
