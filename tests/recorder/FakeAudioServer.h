// A scripted stand-in for the sound server behind platform/PlatformAudio.h, linked into a test
// program in place of the real backend: one default device of each kind (48000 Hz stereo,
// 16-bit), streams that deliver one 20 ms packet per pass, and calls that can be held until
// the test lets them go, so that a capture thread can be caught inside a server call.
#ifndef VISTREC_TESTS_RECORDER_FAKEAUDIOSERVER_H
#define VISTREC_TESTS_RECORDER_FAKEAUDIOSERVER_H

#include <condition_variable>
#include <mutex>

namespace vistrec {
namespace test {

class FakeAudioServer {
  public:
    enum class HoldAt { kNone, kStart, kRead };

    static FakeAudioServer& Get();

    // Forgets holds and failures (streams still alive keep counting).
    void Reset();
    // The next stream that reaches `at` waits there until Release.
    void Hold(HoldAt at);
    // True once a stream waits at the hold point (within timeoutMs).
    bool WaitHeld(int timeoutMs);
    void Release();
    // The next stream's Open fails.
    void FailNextOpen();
    // True once exactly `count` streams exist (within timeoutMs).
    bool WaitStreamsAlive(int count, int timeoutMs);

    // Called by the streams.
    void StreamCreated();
    void StreamDestroyed();
    bool TakeOpenFailure();
    void PassPoint(HoldAt at);

  private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    HoldAt m_holdAt = HoldAt::kNone;
    bool m_held = false;
    bool m_released = false;
    bool m_failOpen = false;
    int m_alive = 0;
};

}  // namespace test
}  // namespace vistrec

#endif
