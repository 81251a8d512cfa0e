// The critical-section lock of the design: a plain mutex with explicit enter and leave, and a
// scope guard for it.
#ifndef VISTREC_SUPPORT_LOCK_H
#define VISTREC_SUPPORT_LOCK_H

#include <mutex>

class CCriticalLock {
  public:
    CCriticalLock() = default;
    CCriticalLock(const CCriticalLock&) = delete;
    CCriticalLock& operator=(const CCriticalLock&) = delete;
    int Enter() {
        m_mutex.lock();
        return 0;
    }
    int Leave() {
        m_mutex.unlock();
        return 0;
    }

  private:
    std::mutex m_mutex;
};

class CAutoLock {
  public:
    explicit CAutoLock(CCriticalLock& lock) : m_lock(lock) { m_lock.Enter(); }
    ~CAutoLock() { m_lock.Leave(); }
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

  private:
    CCriticalLock& m_lock;
};

#endif
