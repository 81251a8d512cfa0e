#include "support/CmThread.h"

#include <system_error>

#include "platform/Platform.h"

using vistrec::platform::DebugOutput;

CCmThread::~CCmThread() {
    Stop(CEvent::kInfinite);
    // Deleted from inside its own run(): a thread cannot join itself.
    if (m_thread.joinable())
        m_thread.detach();
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
    if (!m_thread.joinable())
        return true;
    if (!m_running.load()) {
        // Already out of run(): nothing to wait for.
        m_thread.join();
        return true;
    }
    DebugOutput("stopevent wait start-----------------");
    if (m_exitEvent.Wait(timeoutMs)) {
        DebugOutput("stopevent wait end noraml-----------------");
        m_thread.join();
        return true;
    }
    DebugOutput("stopevent wait end exception-----------------");
    // A thread cannot be ended from outside safely; let it finish on its own.
    m_thread.detach();
    return false;
}

void CCmThread::ThreadProc() {
    m_threadId = std::this_thread::get_id();
    m_enterEvent.Set();
    run();
    m_threadId = std::thread::id();
    m_running = false;
    m_exitEvent.Set();
}
