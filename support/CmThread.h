// Thread base class of the recorders: Start runs run() on a new thread, Stop waits for it.
#ifndef VISTREC_SUPPORT_CMTHREAD_H
#define VISTREC_SUPPORT_CMTHREAD_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/Event.h"

class CCmThread {
  public:
    CCmThread() = default;
    // Waits for a running thread (Stop with no limit). A derived class whose run() uses its own
    // members stops the thread in its own destructor, before those members go. Run on the
    // thread itself (the object deleted from onThreadEnd), it joins nothing: the thread lets go
    // of the object once onThreadEnd returns.
    virtual ~CCmThread();
    CCmThread(const CCmThread&) = delete;
    CCmThread& operator=(const CCmThread&) = delete;

    // Creates the thread, which runs run() and then onThreadEnd() at once. Resets the exit
    // event first so that one object can run several threads one after another; a finished
    // earlier thread is joined. While a thread of this object still runs (also when called from
    // inside it), starts nothing and returns false. Returns whether a thread came up.
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
    // The thread's last step, after run(). The object may be destroyed inside it (a host's
    // callback that deletes its recorder): the thread then touches the object no more.
    virtual void onThreadEnd() {}

    // Held by a caller on another thread around its wait for the thread and whatever it reads
    // of the object afterwards (stopRecord). An object destroyed on its own thread waits until
    // every such caller has left before any member goes.
    class ExternalCall {
      public:
        explicit ExternalCall(CCmThread& thread);
        ~ExternalCall();
        ExternalCall(const ExternalCall&) = delete;
        ExternalCall& operator=(const ExternalCall&) = delete;

      private:
        CCmThread& m_thread;
    };

    // First step of a derived destructor. On the object's own thread (inside onThreadEnd) it
    // ends the thread's bookkeeping, releases Stop on other threads, waits until every
    // ExternalCall has left and returns true: the destructor must not wait for the thread.
    // Elsewhere it does nothing and returns false.
    bool EndOnOwnThread();

  private:
    void ThreadProc();
    // The thread has finished: flags cleared, exit event signalled.
    void MarkFinished();

    std::thread m_thread;
    std::mutex m_startLock;  // held by Start until m_thread is assigned
    std::atomic<bool> m_running{false};
    std::atomic<std::thread::id> m_threadId{};
    // Set by the thread's stack frame while onThreadEnd runs; the destructor, run on the thread,
    // tells the thread through it that the object is gone. Thread only.
    bool* m_destroyedFlag = nullptr;
    // The object is being destroyed on its own thread: Stop must not join it.
    std::atomic<bool> m_endedInside{false};
    std::mutex m_callersLock;
    std::condition_variable m_callersLeft;
    int m_callers = 0;                 // ExternalCall scopes open
    CEvent m_enterEvent{true, false};  // signalled when the thread enters; nothing waits on it
    CEvent m_exitEvent{true, false};   // signalled after the thread's last step
};

#endif
