// When the bytes of a sound FIFO were captured: each piece appended keeps the capture time of
// its first byte, and a byte further in is that time plus its offset at the FIFO's byte rate.
// Bounded: past kMaxPieces pieces a new piece joins the last one (its own time is lost, the
// bytes are not). Not locked: the owner guards it with its FIFO's lock.
#ifndef VISTREC_AUDIOCAPTURE_CAPTURESTAMPS_H
#define VISTREC_AUDIOCAPTURE_CAPTURESTAMPS_H

#include <stdint.h>

#include <deque>

#include "audiocapture/ICaptureEvent.h"

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
