// Child processes and their CPU time, the clock, small file helpers, the host's level block.
#ifndef VISTREC_TESTS_COMMON_PROCESS_H
#define VISTREC_TESTS_COMMON_PROCESS_H

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace vistrec {
namespace test {

inline int64_t MonotonicMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}
inline void SleepMs(int ms) {
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}
inline std::string ReadTextFile(const std::string& path) {
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}
inline bool WriteTextFile(const std::string& path, const std::string& text) {
    return static_cast<bool>(std::ofstream(path, std::ios::binary) << text);
}
// This program's path, and its folder with a trailing '/'.
inline std::string ExePath() {
    std::error_code ignored;
    return std::filesystem::read_symlink("/proc/self/exe", ignored);
}
inline std::string ExeDir() {
    const std::string path = ExePath();
    return path.substr(0, path.rfind('/') + 1);
}

// Variables of this process's environment set for a while: Restore (or the end) puts back what
// they were.
class ScopedEnv {
  public:
    ~ScopedEnv() { Restore(); }
    void Set(const std::string& name, const std::string& value) {
        const char* old = getenv(name.c_str());
        saved_.emplace(name, old ? "=" + std::string(old) : "");  // the first value only
        setenv(name.c_str(), value.c_str(), 1);
    }
    void Restore() {
        for (const auto& [name, old] : saved_)
            old.empty() ? unsetenv(name.c_str()) : setenv(name.c_str(), old.c_str() + 1, 1);
        saved_.clear();
    }

  private:
    std::map<std::string, std::string> saved_;  // "=" + the old value, or "" when it was unset
};

// A child process, terminated (SIGTERM, then SIGKILL) and reaped when it goes out of scope.
class Child {
  public:
    Child() = default;
    ~Child() {
        Terminate();
        if (pipe_ >= 0)
            close(pipe_);
    }
    Child(Child&& o) noexcept { *this = std::move(o); }
    Child& operator=(Child&& o) noexcept {  // the process given up ends with `o`
        std::swap(pid_, o.pid_);
        std::swap(pipe_, o.pipe_);
        std::swap(pending_, o.pending_);
        return *this;
    }

    // Runs args[0] from PATH with `env` (null: ours); output to `output` ("": /dev/null, "|": a
    // pipe for ReadLine, "-": ours), errors there too unless `error` names a file.
    bool Spawn(std::vector<std::string> args, char* const* env = nullptr,
               const std::string& output = "", const std::string& error = "") {
        Terminate();
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        int fds[2] = {-1, -1};
        if (output == "|" && pipe2(fds, O_CLOEXEC) == 0)
            posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        else if (output != "-")
            posix_spawn_file_actions_addopen(&fa, 1, output.empty() ? "/dev/null" : output.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (!error.empty())
            posix_spawn_file_actions_addopen(&fa, 2, error.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                             0644);
        else if (output != "-" && output != "|")
            posix_spawn_file_actions_adddup2(&fa, 1, 2);
        const int rc = posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), env ? env : environ);
        posix_spawn_file_actions_destroy(&fa);
        if (fds[1] >= 0)
            close(fds[1]);
        pipe_ = fds[0];
        pid_ = rc == 0 ? pid_ : -1;
        return rc == 0;
    }

    // One line of piped output without its line end; false at its end or after timeoutMs.
    bool ReadLine(std::string* line, int timeoutMs) {
        for (const int64_t end = MonotonicMs() + timeoutMs;;) {
            const size_t eol = pending_.find('\n');
            if (eol != std::string::npos) {
                *line = pending_.substr(0, eol);
                pending_.erase(0, eol + 1);
                return true;
            }
            pollfd p{pipe_, POLLIN, 0};
            char buf[512];
            const int64_t left = end - MonotonicMs();
            if (pipe_ < 0 || left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
                return false;
            const ssize_t n = read(pipe_, buf, sizeof buf);
            if (n <= 0)
                return false;
            pending_.append(buf, static_cast<size_t>(n));
        }
    }

    // Waits up to timeoutMs (-1: for ever); true with the status and resource usage if it ended.
    bool Wait(int timeoutMs, int* status = nullptr, struct rusage* usage = nullptr) {
        for (const int64_t end = MonotonicMs() + timeoutMs; pid_ > 0; SleepMs(5)) {
            int st = 0;
            const pid_t r = wait4(pid_, &st, WNOHANG, usage);
            if (r == pid_ || (r < 0 && errno != EINTR)) {
                pid_ = -1;
                if (status)
                    *status = st;
                return r > 0;
            }
            if (timeoutMs >= 0 && MonotonicMs() >= end)
                return false;
        }
        return false;
    }
    // Exit status within timeoutMs; -1 when it did not end or ended by a signal.
    int ExitCode(int timeoutMs) {
        int status = 0;
        return Wait(timeoutMs, &status) && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Sends sig and reaps the process (SIGKILL after 5 s if it is still there).
    void Signal(int sig) {
        if (pid_ > 0)
            kill(pid_, sig);
        if (pid_ > 0 && !Wait(5000) && pid_ > 0) {
            kill(pid_, SIGKILL);
            Wait(-1);
        }
    }
    void Terminate() { Signal(SIGTERM); }
    bool Exited() { return pid_ <= 0 || Wait(0); }  // reaps it when it has ended
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int pipe_ = -1;
    std::string pending_;
};

// Runs a command to its end (at most timeoutMs), output dropped; its exit status or -1.
inline int RunCommand(const std::vector<std::string>& args, int timeoutMs = 20000) {
    Child child;
    return child.Spawn(args) ? child.ExitCode(timeoutMs) : -1;
}

// User and system seconds of a resource usage.
inline double CpuSeconds(const struct rusage& u) {
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
// Runs a program to its end, output ours; its CPU seconds, -1 when it failed.
inline double RunCpuSeconds(const std::vector<std::string>& args, int timeoutMs = 900000) {
    Child child;
    int status = 0;
    struct rusage u {};
    return child.Spawn(args, nullptr, "-") && child.Wait(timeoutMs, &status, &u) && status == 0
               ? CpuSeconds(u)
               : -1.0;
}

// The host's "/voluMem" level block, made before the recorder as a host does; removed after.
struct LevelBlock {
    LevelBlock() : fd(shm_open("/voluMem", O_RDWR | O_CREAT | O_TRUNC, 0600)) {
        if (fd >= 0 && ftruncate(fd, 4096) == 0)
            view = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    ~LevelBlock() {
        munmap(view, 4096);  // on MAP_FAILED or -1 these fail harmlessly
        close(fd);
        shm_unlink("/voluMem");
    }
    char* text() const { return static_cast<char*>(view); }
    std::string Text() const { return std::string(text(), 15).c_str(); }
    int fd;
    void* view = MAP_FAILED;
};

}  // namespace test
}  // namespace vistrec

#endif  // VISTREC_TESTS_COMMON_PROCESS_H
