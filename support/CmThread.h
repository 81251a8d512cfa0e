// Thread base class of the recorders: Start runs run() on a new thread, Stop waits for it.
#ifndef VISTREC_SUPPORT_CMTHREAD_H
#define VISTREC_SUPPORT_CMTHREAD_H

#include <atomic>
#include <thread>

#include "support/Event.h"

class CCmThread {
  public:
    CCmThread() = default;
    // Waits for a running thread (Stop with no limit). A derived class whose run() uses its own
    // members stops the thread in its own destructor, before those members go.
    virtual ~CCmThread();
    CCmThread(const CCmThread&) = delete;
    CCmThread& operator=(const CCmThread&) = delete;

    // Creates the thread, which runs run() at once. Resets the exit event first so that one
    // object can run several threads one after another; a finished earlier thread is joined.
    // While a thread of this object still runs (also when called from inside run()), starts
    // nothing and returns false. Returns whether a thread came up.
    bool Start();
    // Waits up to timeoutMs (CEvent::kInfinite: no limit) for the thread to end. Called from the
    // thread itself with no limit: returns false at once. No thread: true. A wait that times
    // out detaches the thread (it cannot be killed safely) and returns false.
    bool Stop(unsigned timeoutMs);
    // True while a thread started by Start has not finished.
    bool IsRunning() const { return m_running.load(); }

  protected:
    // The thread body.
    virtual int run() = 0;

  private:
    void ThreadProc();

    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<std::thread::id> m_threadId{};
    CEvent m_enterEvent{true, false};  // signalled when the thread enters; nothing waits on it
    CEvent m_exitEvent{true, false};   // signalled after run() returns
};

#endif
