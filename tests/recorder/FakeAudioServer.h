// A scripted sound server (platform/PlatformAudio.h) whose calls can be held, linked in place of
// the real backend: one 48000 Hz stereo 16-bit device, one 20 ms packet per pass.
#ifndef VISTREC_TESTS_RECORDER_FAKEAUDIOSERVER_H
#define VISTREC_TESTS_RECORDER_FAKEAUDIOSERVER_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace vistrec::test {

class FakeAudioServer {
  public:
    enum class HoldAt { kNone, kStart, kRead };
    static FakeAudioServer& Get() {
        static FakeAudioServer server;
        return server;
    }
    // The next stream reaching `at` waits there until Release; FailNextOpen fails the next Open.
    void Hold(HoldAt at) {
        Locked([&] {
            m_holdAt = at;
            m_held = m_released = m_failOpen = false;
        });
    }
    void FailNextOpen() {
        Locked([this] { m_failOpen = true; });
    }
    void Release() {
        Locked([this] { m_released = true; });
    }
    // True once a stream waits at the hold point, or exactly `count` streams exist.
    bool WaitHeld(int timeoutMs) {
        return WaitFor(timeoutMs, [this] { return m_held; });
    }
    bool WaitStreamsAlive(int count, int timeoutMs) {
        return WaitFor(timeoutMs, [&] { return m_alive == count; });
    }
    // Called by the streams.
    void Alive(int change) {
        Locked([&] { m_alive += change; });
    }
    bool TakeOpenFailure() {
        std::lock_guard<std::mutex> lock(m_lock);
        return std::exchange(m_failOpen, false);
    }
    void PassPoint(HoldAt at) {
        std::unique_lock<std::mutex> lock(m_lock);
        if (at != m_holdAt || m_held)
            return;
        m_held = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_released; });
    }

  private:
    template <class F>
    void Locked(F f) {
        std::lock_guard<std::mutex> lock(m_lock);
        f();
        m_changed.notify_all();
    }
    template <class P>
    bool WaitFor(int timeoutMs, P done) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    }
    std::mutex m_lock;
    std::condition_variable m_changed;
    HoldAt m_holdAt = HoldAt::kNone;
    bool m_held = false, m_released = false, m_failOpen = false;
    int m_alive = 0;
};

}  // namespace vistrec::test

#endif
