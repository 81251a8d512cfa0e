#include "support/CmThread.h"

#include <system_error>

#include "platform/Platform.h"

using vistrec::platform::DebugOutput;

CCmThread::~CCmThread() {
    if (EndOnOwnThread()) {
        // Deleted from its own last step: a thread cannot join itself; it leaves on its own.
        if (m_thread.joinable())
            m_thread.detach();
        return;
    }
    Stop(CEvent::kInfinite);
    if (m_thread.joinable())
        m_thread.detach();
}

CCmThread::ExternalCall::ExternalCall(CCmThread& thread) : m_thread(thread) {
    std::lock_guard<std::mutex> lock(m_thread.m_callersLock);
    ++m_thread.m_callers;
}

CCmThread::ExternalCall::~ExternalCall() {
    // The last access of the object by this caller: the notification is sent under the lock,
    // so a destructor waiting for it cannot free the object before the unlock.
    std::lock_guard<std::mutex> lock(m_thread.m_callersLock);
    if (--m_thread.m_callers == 0)
        m_thread.m_callersLeft.notify_all();
}

bool CCmThread::EndOnOwnThread() {
    if (m_endedInside.load())
        return true;
    // The flag belongs to the thread: read only on the thread itself.
    if (m_threadId.load() != std::this_thread::get_id() || !m_destroyedFlag)
        return false;
    *m_destroyedFlag = true;
    m_destroyedFlag = nullptr;
    m_endedInside = true;
    MarkFinished();
    std::unique_lock<std::mutex> lock(m_callersLock);
    m_callersLeft.wait(lock, [this] { return m_callers == 0; });
    return true;
}

bool CCmThread::Start() {
    if (m_running.load())
        return false;
    // An earlier thread has left run(); only its last steps remain.
    if (m_thread.joinable())
        m_thread.join();
    m_enterEvent.Reset();
    m_exitEvent.Reset();
    m_running = true;
    // The thread waits for this lock before it runs, so m_thread is assigned before the thread
    // can reach it (its own destruction reads it).
    std::lock_guard<std::mutex> lock(m_startLock);
    try {
        m_thread = std::thread(&CCmThread::ThreadProc, this);
    } catch (const std::system_error&) {
        m_running = false;
        return false;
    }
    return true;
}

bool CCmThread::Stop(unsigned timeoutMs) {
    const bool self = m_threadId.load() == std::this_thread::get_id();
    // A thread does not wait for itself.
    if (self && timeoutMs == CEvent::kInfinite)
        return false;
    if (m_endedInside.load())
        return true;
    if (!m_thread.joinable())
        return true;
    if (!m_running.load()) {
        // Already out of run(): nothing to wait for. (Ended inside is set before running is
        // cleared, so it reads true here when that is how the thread ended.)
        if (!m_endedInside.load())
            m_thread.join();
        return true;
    }
    DebugOutput("stopevent wait start-----------------");
    if (m_exitEvent.Wait(timeoutMs)) {
        DebugOutput("stopevent wait end noraml-----------------");
        // Ended by the object's destruction on its own thread: that thread waits for this
        // caller to leave and lets itself go; joining it here would wait for ever.
        if (!m_endedInside.load())
            m_thread.join();
        return true;
    }
    DebugOutput("stopevent wait end exception-----------------");
    // A thread cannot be ended from outside safely; let it finish on its own.
    m_thread.detach();
    return false;
}

void CCmThread::MarkFinished() {
    m_threadId = std::thread::id();
    m_running = false;
    m_exitEvent.Set();
}

void CCmThread::ThreadProc() {
    { std::lock_guard<std::mutex> lock(m_startLock); }
    m_threadId = std::this_thread::get_id();
    m_enterEvent.Set();
    run();
    bool destroyed = false;
    m_destroyedFlag = &destroyed;
    onThreadEnd();
    // Destroyed inside onThreadEnd: the object's memory is gone; only the stack is left.
    if (destroyed)
        return;
    m_destroyedFlag = nullptr;
    MarkFinished();
}
