// Where the sound waiting in the recorder's queue belongs on the recording's clock.
//
// The pump hands sound over in blocks, often late (a busy machine delays it) but never before it
// was captured: a run of sound that began at S and of which P bytes had been captured by time t
// satisfies S <= t - P / rate. So the start of a run is the least (t - duration pushed so far)
// over its pushes, and the head of the queue is that start plus what was taken since. t is when
// the block's last byte was captured where the capture says so (the capture thread stamps what
// it reads, so the pump's lateness does not count), else the push time: on a machine that stays
// busy every push is late, and a least over push times alone drifts later with the load.
// The least is taken over the last one to two minutes only, so that a sound card whose clock
// runs a little slow against the system's (fewer samples than seconds) is followed too.
// The record loop compares the head with the audio track's end: sound that lies later is
// preceded by silence, sound that lies earlier (it came after silence had already stood in for
// it) is dropped, so the track stays on the picture's clock however late the sound comes.
//
// A run starts with the recording, at a resume, and when sound returns to an empty queue after
// the track ran out of it (a lost device, a restarted server: no sound exists for the gap).
// Only live sound is placed here. A sound file's sound is never pushed: it has no capture time,
// only an order, and the track takes it as it comes (the head stays unknown).
#ifndef VISTREC_SRC_SOUNDTIMELINE_H
#define VISTREC_SRC_SOUNDTIMELINE_H

#include <stdint.h>

class CSoundTimeline {
  public:
    static constexpr int64_t kUnknown = INT64_MIN;

    explicit CSoundTimeline(int bytesPerSecond) : m_bytesPerSecond(bytesPerSecond) {}

    // A new run; `queuedBytes` already waiting are its first bytes.
    void NewRun(int queuedBytes);
    // `bytes` of sound joined the queue at `nowMs` (the recording's clock), the first of them
    // captured at `capturedMs` (kUnknown: not known).
    void OnPushed(int64_t nowMs, int bytes, int64_t capturedMs = kUnknown);
    // `bytes` left the front of the queue (written or dropped).
    void OnTaken(int bytes) { m_taken += bytes; }
    // The recording time of the sound at the front of the queue; kUnknown until the run's first
    // push.
    int64_t HeadMs() const;

  private:
    int64_t Ms(int64_t bytes) const { return bytes * 1000 / m_bytesPerSecond; }

    static constexpr int64_t kWindowMs = 60000;

    int m_bytesPerSecond;
    int64_t m_pushed = 0;  // bytes of this run pushed (those queued at its start included)
    int64_t m_taken = 0;   // bytes of this run taken from the front
    // The least start seen in the present window and in the one before it.
    int64_t m_windowStartMs = kUnknown;
    int64_t m_least = kUnknown;
    int64_t m_leastBefore = kUnknown;
};

#endif
