#include "FileSyncer.h"

#include <chrono>

#include "platform/Platform.h"
#include "support/Log.h"

void CFileSyncer::Start(const std::string& path) {
    Stop();
    m_stop = false;
    m_thread = std::thread(&CFileSyncer::Run, this, path);
}

void CFileSyncer::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void CFileSyncer::Run(std::string path) {
    bool failing = false;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (
        !m_wake.wait_for(lock, std::chrono::milliseconds(kIntervalMs), [this] { return m_stop; })) {
        lock.unlock();
        const int error = vistrec::platform::SyncFileToDisk(path);
        // Once per failing stretch: a file system without sync support fails every time.
        if (error != 0 && !failing)
            VLOG_WARN("cannot put '" << path << "' on the disk: error " << error);
        failing = error != 0;
        lock.lock();
    }
}
