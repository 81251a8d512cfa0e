// Puts a recording's file on the disk once a second while it is written, on a thread of its
// own (a sync can wait for a slow disk far longer than a frame). The crash-safe MP4's fragments
// then survive a power cut too, not only a killed host: without it the system may keep the last
// half minute of a recording in memory only.
#ifndef VISTREC_SRC_FILESYNCER_H
#define VISTREC_SRC_FILESYNCER_H

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

class CFileSyncer {
  public:
    static constexpr int kIntervalMs = 1000;

    CFileSyncer() = default;
    ~CFileSyncer() { Stop(); }
    CFileSyncer(const CFileSyncer&) = delete;
    CFileSyncer& operator=(const CFileSyncer&) = delete;

    // Starts syncing `path` (a syncer already running stops first).
    void Start(const std::string& path);
    // Stops and waits for the thread; a sync in progress ends first.
    void Stop();

  private:
    void Run(std::string path);

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

#endif
