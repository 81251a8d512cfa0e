// A private X server (Xvfb) for tests that need a real display.
//
//   Xvfb :N -screen 0 1920x1080x24 -noreset -nolisten tcp
//
// N is a free display number: neither /tmp/.X11-unix/XN nor /tmp/.XN-lock exists. The search
// starts at a number derived from the process id so that test programs run in parallel rarely
// probe the same numbers; when another server wins the race for N anyway, Start tries the next.
// The server counts as up once it completes an X connection set-up on its socket. -noreset
// keeps the screen's contents when the last client disconnects.
//
// Use either
//   - XvfbServer directly: Start() it, set DISPLAY with ExportDisplay(), Stop() it (or let it go
//     out of scope; DISPLAY is then restored), or
//   - XvfbEnvironment, one server for the whole test program:
//       static ::testing::Environment* const kXvfb =
//           ::testing::AddGlobalTestEnvironment(new vistrec::test::XvfbEnvironment());
//     It starts before the first test, points DISPLAY at it, and stops after the last.
//
// Process-wide X connections must not be used once their server has stopped (Xlib ends the
// process on a broken connection); merely leaving them open until exit is fine.
//
// This header uses no Xlib, so it can be included next to any other library's headers.
#ifndef VISTREC_TESTS_COMMON_XVFBFIXTURE_H
#define VISTREC_TESTS_COMMON_XVFBFIXTURE_H

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace vistrec {
namespace test {

class XvfbServer {
  public:
    struct Options {
        std::string screen = "1920x1080x24";  // WIDTHxHEIGHTxDEPTH of screen 0
        int display = -1;                     // display number; -1 picks a free one
        int readyTimeoutMs = 15000;           // how long the server may take to come up
    };

    XvfbServer() = default;
    explicit XvfbServer(Options options)
        : options_(std::move(options)), number_(options_.display) {}
    ~XvfbServer() { Stop(); }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // First display number from `from` on with no socket and no lock file.
    static int FindFreeDisplay(int from) {
        for (int n = from; n < from + 1000; ++n) {
            if (!PathExists(SocketPath(n)) && !PathExists(LockPath(n)))
                return n;
        }
        return -1;
    }

    // Starts the server and waits until it accepts clients. On failure returns false with a
    // reason in *error.
    bool Start(std::string* error = nullptr) {
        Terminate();
        std::string why;
        const bool fixed = options_.display >= 0;
        int candidate = fixed ? options_.display : 100 + static_cast<int>(getpid() % 400);
        for (int attempt = 0; attempt < (fixed ? 1 : 20); ++attempt, ++candidate) {
            if (!fixed)
                candidate = FindFreeDisplay(candidate);
            if (candidate < 0)
                break;
            if (Launch(candidate, &why))
                return true;
        }
        if (error)
            *error = why.empty() ? "no free display number" : why;
        return false;
    }

    // Points DISPLAY of this process at the server; Stop restores the previous value. Call it
    // after Start, or before it when Options::display fixes the number.
    void ExportDisplay() {
        if (!exported_) {
            const char* old = getenv("DISPLAY");
            hadDisplay_ = old != nullptr;
            oldDisplay_ = old ? old : "";
            exported_ = true;
        }
        setenv("DISPLAY", name().c_str(), 1);
    }

    // Terminates the server and gives DISPLAY its previous value.
    void Stop() {
        Terminate();
        if (exported_) {
            if (hadDisplay_)
                setenv("DISPLAY", oldDisplay_.c_str(), 1);
            else
                unsetenv("DISPLAY");
            exported_ = false;
        }
    }

    bool running() const { return pid_ > 0; }
    int number() const { return number_; }
    std::string name() const { return ":" + std::to_string(number_); }

  private:
    static bool PathExists(const std::string& path) {
        struct stat info;
        return lstat(path.c_str(), &info) == 0;
    }
    static std::string SocketPath(int n) { return "/tmp/.X11-unix/X" + std::to_string(n); }
    static std::string LockPath(int n) { return "/tmp/.X" + std::to_string(n) + "-lock"; }

    static int64_t NowMs() {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
    }

    // Ends the server process (SIGTERM, then SIGKILL after 5 s) and waits for it.
    void Terminate() {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        if (!WaitForExit(5000)) {
            kill(pid_, SIGKILL);
            WaitForExit(-1);
        }
        pid_ = -1;
    }

    // Waits up to timeoutMs (-1: for ever) for the server process to end.
    bool WaitForExit(int timeoutMs) {
        const int64_t deadline = NowMs() + timeoutMs;
        for (;;) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, timeoutMs < 0 ? 0 : WNOHANG);
            if (r == pid_ || (r < 0 && errno != EINTR))
                return true;
            if (timeoutMs >= 0 && NowMs() >= deadline)
                return false;
            usleep(10000);
        }
    }

    // Sends an X11 connection set-up request (no authorisation) and reads the answer's first
    // byte: 1 means the server accepted the client.
    static bool ServerAnswers(int n) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = SocketPath(n);
        snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
        bool accepted = false;
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            // Byte order 'l', protocol 11.0, empty authorisation name and data.
            const unsigned char setup[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
            unsigned char reply[8] = {};
            timeval timeout{2, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
            if (write(fd, setup, sizeof(setup)) == static_cast<ssize_t>(sizeof(setup)) &&
                read(fd, reply, sizeof(reply)) > 0) {
                accepted = reply[0] == 1;
            }
        }
        close(fd);
        return accepted;
    }

    bool Launch(int n, std::string* why) {
        const std::string display = ":" + std::to_string(n);
        std::vector<std::string> args = {"Xvfb",          display,    "-screen",   "0",
                                         options_.screen, "-noreset", "-nolisten", "tcp"};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);

        // The server's own messages would only clutter the test output.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        const int rc = posix_spawnp(&pid, "Xvfb", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            *why = std::string("cannot run Xvfb: ") + strerror(rc);
            return false;
        }
        pid_ = pid;
        number_ = n;

        const int64_t deadline = NowMs() + options_.readyTimeoutMs;
        while (NowMs() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                // Typically another server took the display number first.
                pid_ = -1;
                *why = "Xvfb " + display + " exited during start-up";
                return false;
            }
            if (ServerAnswers(n))
                return true;
            usleep(20000);
        }
        *why = "Xvfb " + display + " did not answer in time";
        Terminate();
        return false;
    }

    Options options_;
    pid_t pid_ = -1;
    int number_ = -1;
    bool exported_ = false;
    bool hadDisplay_ = false;
    std::string oldDisplay_;
};

// One Xvfb for a whole test program, with DISPLAY pointing at it.
class XvfbEnvironment : public ::testing::Environment {
  public:
    XvfbEnvironment() = default;
    explicit XvfbEnvironment(XvfbServer::Options options) : server_(std::move(options)) {}

    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server_.Start(&error)) << error;
        server_.ExportDisplay();
    }
    void TearDown() override { server_.Stop(); }

    XvfbServer& server() { return server_; }

  private:
    XvfbServer server_;
};

}  // namespace test
}  // namespace vistrec

#endif  // VISTREC_TESTS_COMMON_XVFBFIXTURE_H
