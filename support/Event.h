// A manual- or auto-reset event: the hand-off primitive between the library's threads.
#ifndef VISTREC_SUPPORT_EVENT_H
#define VISTREC_SUPPORT_EVENT_H

#include <chrono>
#include <condition_variable>
#include <mutex>

class CEvent {
  public:
    static constexpr unsigned kInfinite = 0xFFFFFFFFu;

    explicit CEvent(bool manualReset = true, bool signalled = false)
        : m_manual(manualReset), m_signalled(signalled) {}
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void Set() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = true;
        if (m_manual)
            m_cond.notify_all();
        else
            m_cond.notify_one();
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = false;
    }
    // Waits up to timeoutMs (kInfinite: no limit); true when the event was signalled.
    bool Wait(unsigned timeoutMs = kInfinite) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (timeoutMs == kInfinite) {
            m_cond.wait(lock, [this] { return m_signalled; });
        } else if (!m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [this] { return m_signalled; })) {
            return false;
        }
        if (!m_manual)
            m_signalled = false;
        return true;
    }
    bool IsSet() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_signalled;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    const bool m_manual;
    bool m_signalled;
};

#endif
