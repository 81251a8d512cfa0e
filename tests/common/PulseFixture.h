// A private PulseAudio server for tests that need a real sound server.
//
//   pulseaudio -n -F <dir>/server.pa --daemonize=no --exit-idle-time=-1 --disable-shm=false
//              --system=false --realtime=false --high-priority=false
//
// Everything lives in a fresh temporary directory <dir>: XDG_RUNTIME_DIR, PULSE_RUNTIME_PATH,
// HOME, the configuration and state folders, the socket <dir>/native and the server's log
// <dir>/server.log. The script loads
//   - module-native-protocol-unix on <dir>/native (anonymous clients),
//   - a null sink "vistrec_play" (48000 Hz stereo), the default sink: play into it to feed the
//     playback loopback,
//   - a null sink "vistrec_micsink" (48000 Hz stereo) whose monitor, remapped with
//     module-remap-source as "vistrec_mic", is the default source: play into the sink to
//     speak into the microphone,
//   - module-suspend-on-idle, so that a sink nothing plays into is suspended after
//     Options::idleSuspendSec and its monitor delivers nothing.
// More devices can be loaded at run time with Pactl({"load-module", ...}) or AddMicrophone.
//
// A null sink renders in blocks of the latency its clients ask for, but the first block after
// it starts or resumes is 2 s long, so a client that comes first waits up to 2 s for data,
// which no real device does. So each sink gets a keeper: a low-latency recording of its
// monitor (pacat --record --latency-msec=10), started with the server, which keeps the sink
// running in 10 ms blocks like a real device. With Options::keepPlaybackRunning false the
// playback sink has none: it suspends when nothing plays into it (and then needs about 2 s to
// deliver again). Play asks for a short latency (20 ms), as desktop players do.
//
// ExportServer points PULSE_SERVER (and PULSE_COOKIE) of this process, and so of every program
// it starts, at the server; Stop restores them. As root the server prints a warning and runs.
// Kill ends the server abruptly, as a crash would; Start brings it back on the same socket.
//
// This header uses no PulseAudio header; it talks to the server through pactl and paplay.
#ifndef VISTREC_TESTS_COMMON_PULSEFIXTURE_H
#define VISTREC_TESTS_COMMON_PULSEFIXTURE_H

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <math.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

extern char** environ;

namespace vistrec {
namespace test {

inline int64_t PulseNowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// A child process, terminated (SIGTERM, then SIGKILL) and reaped when it goes out of scope.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess() { Terminate(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
    ChildProcess& operator=(ChildProcess&& other) noexcept {
        if (this != &other) {
            Terminate();
            pid_ = other.pid_;
            other.pid_ = -1;
        }
        return *this;
    }

    // Runs args[0] (looked up on PATH) with the given environment (null: this process's).
    // Its output goes to outputPath (empty: /dev/null), its error output there too unless
    // errorPath names another file. False when it cannot be started.
    bool Spawn(const std::vector<std::string>& args, char* const* env = nullptr,
               const std::string& outputPath = std::string(),
               const std::string& errorPath = std::string()) {
        Terminate();
        std::vector<std::string> copy = args;
        std::vector<char*> argv;
        for (std::string& a : copy)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        const std::string out = outputPath.empty() ? "/dev/null" : outputPath;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        if (errorPath.empty())
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        else
            posix_spawn_file_actions_addopen(&actions, 2, errorPath.c_str(),
                                             O_WRONLY | O_CREAT | O_APPEND, 0644);
        pid_t pid = -1;
        const int rc =
            posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env ? env : environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            return false;
        pid_ = pid;
        return true;
    }

    // Waits up to timeoutMs (-1: for ever) for the exit; returns the exit status, -1 when the
    // process did not end in time or ended by a signal.
    int Wait(int timeoutMs = -1) {
        if (pid_ <= 0)
            return -1;
        const int64_t deadline = PulseNowMs() + timeoutMs;
        for (;;) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, timeoutMs < 0 ? 0 : WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (r < 0 && errno != EINTR) {
                pid_ = -1;
                return -1;
            }
            if (timeoutMs >= 0 && PulseNowMs() >= deadline)
                return -1;
            usleep(5000);
        }
    }

    // Sends sig and reaps the process (SIGKILL after 5 s if it is still there).
    void Signal(int sig) {
        if (pid_ <= 0)
            return;
        kill(pid_, sig);
        if (Wait(5000) == -1 && pid_ > 0) {
            kill(pid_, SIGKILL);
            Wait(-1);
        }
        pid_ = -1;
    }
    void Terminate() { Signal(SIGTERM); }

    // True (and reaped) when the process has ended by now.
    bool Exited() {
        if (pid_ <= 0)
            return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_)
            return false;
        pid_ = -1;
        return true;
    }

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
};

// Writes mono samples (-1 to 1, clipped) as a 16-bit PCM WAV file, the same in every channel.
inline bool WriteSamplesWav(const std::string& path, int rate, int channels,
                            const std::vector<float>& mono) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const uint32_t dataBytes = static_cast<uint32_t>(mono.size() * channels * 2);
    auto put32 = [f](uint32_t v) {
        const unsigned char b[4] = {
            static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
        fwrite(b, 1, 4, f);
    };
    auto put16 = [f](uint16_t v) {
        const unsigned char b[2] = {static_cast<unsigned char>(v),
                                    static_cast<unsigned char>(v >> 8)};
        fwrite(b, 1, 2, f);
    };
    fwrite("RIFF", 1, 4, f);
    put32(36 + dataBytes);
    fwrite("WAVEfmt ", 1, 8, f);
    put32(16);
    put16(1);  // integer PCM
    put16(static_cast<uint16_t>(channels));
    put32(static_cast<uint32_t>(rate));
    put32(static_cast<uint32_t>(rate * channels * 2));
    put16(static_cast<uint16_t>(channels * 2));
    put16(16);
    fwrite("data", 1, 4, f);
    put32(dataBytes);
    for (float sample : mono) {
        const double clipped = std::max(-1.0, std::min(1.0, static_cast<double>(sample)));
        const int16_t v = static_cast<int16_t>(lrint(clipped * 32767.0));
        for (int c = 0; c < channels; ++c)
            put16(static_cast<uint16_t>(v));
    }
    const bool ok = ferror(f) == 0;
    return fclose(f) == 0 && ok;
}

// Writes a 16-bit PCM WAV file holding a sine tone of the given peak amplitude (0 to 1) in
// every channel.
inline bool WriteToneWav(const std::string& path, double frequency, int rate, int channels,
                         double seconds, double amplitude) {
    std::vector<float> mono(static_cast<size_t>(seconds * rate));
    for (size_t i = 0; i < mono.size(); ++i)
        mono[i] = static_cast<float>(amplitude * sin(2.0 * M_PI * frequency * i / rate));
    return WriteSamplesWav(path, rate, channels, mono);
}

class PulseServer {
  public:
    struct Options {
        int readyTimeoutMs = 15000;       // how long the server may take to answer
        int idleSuspendSec = 1;           // idle sinks and sources suspend after this
        bool keepPlaybackRunning = true;  // a keeper for "vistrec_play" too
    };

    PulseServer() = default;
    explicit PulseServer(Options options) : options_(options) {}
    ~PulseServer() {
        Stop();
        RemoveDir();
    }
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Starts the server (in a new temporary directory the first time, in the same one after
    // Stop or Kill) and waits until it answers. On failure returns false with a reason.
    bool Start(std::string* error = nullptr) {
        std::string why;
        const bool ok = Launch(&why);
        if (!ok && error)
            *error = why;
        return ok;
    }

    // Points PULSE_SERVER and PULSE_COOKIE of this process at the server.
    void ExportServer() {
        if (!exported_) {
            Remember("PULSE_SERVER", &oldServer_);
            Remember("PULSE_COOKIE", &oldCookie_);
            exported_ = true;
        }
        setenv("PULSE_SERVER", ("unix:" + socketPath()).c_str(), 1);
        setenv("PULSE_COOKIE", (dir_ + "/config/pulse/cookie").c_str(), 1);
    }

    // Ends the server cleanly and restores the environment.
    void Stop() {
        keepers_.clear();
        server_.Terminate();
        if (exported_) {
            Restore("PULSE_SERVER", oldServer_);
            Restore("PULSE_COOKIE", oldCookie_);
            exported_ = false;
        }
    }

    // Ends the server at once (SIGKILL), as a crash would; the environment stays.
    void Kill() {
        keepers_.clear();
        server_.Signal(SIGKILL);
    }

    // Runs a client program (pactl, paplay, ...) against the server and waits up to timeoutMs
    // for it; returns its exit status (-1: did not end or could not start). With output, the
    // program's output is returned there.
    int Run(const std::vector<std::string>& args, std::string* output = nullptr,
            int timeoutMs = 10000) {
        const std::string outPath = dir_ + "/client.out";
        ChildProcess child;
        if (!child.Spawn(args, ClientEnv().data(), outPath))
            return -1;
        const int status = child.Wait(timeoutMs);
        if (output)
            *output = ReadFile(outPath);
        return status;
    }
    int Pactl(const std::vector<std::string>& args, std::string* output = nullptr) {
        std::vector<std::string> all = {"pactl"};
        all.insert(all.end(), args.begin(), args.end());
        return Run(all, output);
    }

    // Starts paplay playing a file into a sink; the returned process ends when the file is
    // played (or is terminated when it goes out of scope).
    ChildProcess Play(const std::string& wavPath, const std::string& sink) {
        ChildProcess player;
        player.Spawn({"paplay", "--latency-msec=20", "--device=" + sink, wavPath},
                     ClientEnv().data());
        return player;
    }

    // Adds a null sink (rate, channels) with its keeper; *module receives its module index.
    bool AddSink(const std::string& sink, int rate, int channels, int* module = nullptr) {
        return LoadModule(
                   {"module-null-sink", "sink_name=" + sink, "rate=" + std::to_string(rate),
                    "channels=" + std::to_string(channels),
                    channels == 1 ? "channel_map=mono" : "channel_map=front-left,front-right"},
                   module) &&
               StartKeepers({sink});
    }

    // Adds a null sink <sink> (rate, channels) with its keeper and a source <source>
    // remapping its monitor; *remapModule receives the source's module index.
    bool AddMicrophone(const std::string& sink, const std::string& source, int rate, int channels,
                       int* remapModule = nullptr) {
        return AddSink(sink, rate, channels) &&
               LoadModule(
                   {"module-remap-source", "source_name=" + source, "master=" + sink + ".monitor"},
                   remapModule);
    }

    // pactl load-module; *index receives the new module's index.
    bool LoadModule(const std::vector<std::string>& args, int* index = nullptr) {
        std::vector<std::string> all = {"load-module"};
        all.insert(all.end(), args.begin(), args.end());
        std::string out;
        if (Pactl(all, &out) != 0)
            return false;
        if (index)
            *index = atoi(out.c_str());
        return true;
    }

    // The current default source or sink as the server reports it.
    std::string Default(const char* what) {
        std::string out;
        if (Pactl({what}, &out) != 0)
            return std::string();
        while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
            out.pop_back();
        return out;
    }

    // State of a sink as pactl lists it ("RUNNING", "IDLE", "SUSPENDED"); empty if unknown.
    std::string SinkState(const std::string& sink) {
        std::string out;
        if (Pactl({"list", "short", "sinks"}, &out) != 0)
            return std::string();
        size_t line = 0;
        while (line < out.size()) {
            size_t end = out.find('\n', line);
            if (end == std::string::npos)
                end = out.size();
            std::vector<std::string> fields;
            size_t at = line;
            while (at < end) {
                const size_t tab = std::min(out.find('\t', at), end);
                fields.push_back(out.substr(at, tab - at));
                at = tab + 1;
            }
            if (fields.size() >= 5 && fields[1] == sink)
                return fields[4];
            line = end + 1;
        }
        return std::string();
    }

    const std::string& dir() const { return dir_; }
    std::string socketPath() const { return dir_ + "/native"; }
    bool running() const { return server_.running(); }

  private:
    bool MakeDir(std::string* why) {
        if (!dir_.empty())
            return true;
        char pattern[] = "/tmp/vistrec-pulse-XXXXXX";
        if (!mkdtemp(pattern)) {
            *why = std::string("mkdtemp: ") + strerror(errno);
            return false;
        }
        dir_ = pattern;
        for (const char* sub : {"/runtime", "/config", "/state"})
            mkdir((dir_ + sub).c_str(), 0700);
        return true;
    }

    bool WriteScript(std::string* why) {
        const std::string path = dir_ + "/server.pa";
        FILE* f = fopen(path.c_str(), "w");
        if (!f) {
            *why = "cannot write " + path;
            return false;
        }
        fprintf(f,
                "load-module module-native-protocol-unix socket=%s auth-anonymous=1\n"
                "load-module module-null-sink sink_name=vistrec_play rate=48000 channels=2\n"
                "load-module module-null-sink sink_name=vistrec_micsink rate=48000 channels=2\n"
                "load-module module-remap-source source_name=vistrec_mic "
                "master=vistrec_micsink.monitor\n"
                "load-module module-suspend-on-idle timeout=%d\n"
                "set-default-sink vistrec_play\n"
                "set-default-source vistrec_mic\n",
                socketPath().c_str(), options_.idleSuspendSec);
        return fclose(f) == 0;
    }

    // Environment of the server: everything in the temporary directory, no session bus.
    std::vector<std::string> ServerEnvStrings() const {
        std::vector<std::string> env;
        static const char* const kReplaced[] = {"HOME=",
                                                "XDG_RUNTIME_DIR=",
                                                "PULSE_RUNTIME_PATH=",
                                                "XDG_CONFIG_HOME=",
                                                "PULSE_STATE_PATH=",
                                                "PULSE_SERVER=",
                                                "DBUS_SESSION_BUS_ADDRESS=",
                                                "DISPLAY="};
        for (char** e = environ; *e; ++e) {
            bool replaced = false;
            for (const char* prefix : kReplaced)
                replaced = replaced || strncmp(*e, prefix, strlen(prefix)) == 0;
            if (!replaced)
                env.push_back(*e);
        }
        env.push_back("HOME=" + dir_);
        env.push_back("XDG_RUNTIME_DIR=" + dir_);
        env.push_back("PULSE_RUNTIME_PATH=" + dir_ + "/runtime");
        env.push_back("XDG_CONFIG_HOME=" + dir_ + "/config");
        env.push_back("PULSE_STATE_PATH=" + dir_ + "/state");
        env.push_back("DBUS_SESSION_BUS_ADDRESS=disabled:");
        return env;
    }

    // Environment of client programs: this process's, pointed at the server.
    std::vector<char*> ClientEnv() {
        clientEnv_.clear();
        for (char** e = environ; *e; ++e) {
            if (strncmp(*e, "PULSE_SERVER=", 13) != 0 && strncmp(*e, "PULSE_COOKIE=", 13) != 0)
                clientEnv_.push_back(*e);
        }
        clientEnv_.push_back("PULSE_SERVER=unix:" + socketPath());
        clientEnv_.push_back("PULSE_COOKIE=" + dir_ + "/config/pulse/cookie");
        std::vector<char*> env;
        for (std::string& s : clientEnv_)
            env.push_back(&s[0]);
        env.push_back(nullptr);
        return env;
    }

    bool Launch(std::string* why) {
        server_.Terminate();
        if (!MakeDir(why) || !WriteScript(why))
            return false;
        std::vector<std::string> envStrings = ServerEnvStrings();
        std::vector<char*> env;
        for (std::string& s : envStrings)
            env.push_back(&s[0]);
        env.push_back(nullptr);
        const std::vector<std::string> args = {"pulseaudio",
                                               "-n",
                                               "-F",
                                               dir_ + "/server.pa",
                                               "--daemonize=no",
                                               "--exit-idle-time=-1",
                                               "--disable-shm=false",
                                               "--system=false",
                                               "--realtime=false",
                                               "--high-priority=false"};
        if (!server_.Spawn(args, env.data(), dir_ + "/server.log")) {
            *why = "cannot run pulseaudio";
            return false;
        }
        const int64_t deadline = PulseNowMs() + options_.readyTimeoutMs;
        while (PulseNowMs() < deadline) {
            if (server_.Exited()) {
                *why = "pulseaudio exited during start-up:\n" + ReadFile(dir_ + "/server.log");
                return false;
            }
            if (Run({"pactl", "info"}, nullptr, 5000) == 0) {
                std::vector<std::string> sinks = {"vistrec_micsink"};
                if (options_.keepPlaybackRunning)
                    sinks.push_back("vistrec_play");
                if (StartKeepers(sinks))
                    return true;
                *why = "the null sinks do not run";
                server_.Terminate();
                return false;
            }
            usleep(20000);
        }
        *why = "pulseaudio did not answer in time:\n" + ReadFile(dir_ + "/server.log");
        server_.Terminate();
        return false;
    }

    // Records each sink's monitor with a short latency until the server stops, and waits until
    // every recording receives data: from then on the sinks run in short blocks.
    bool StartKeepers(const std::vector<std::string>& sinks) {
        std::vector<std::string> outputs;
        for (const std::string& sink : sinks) {
            outputs.push_back(dir_ + "/keeper-" + sink + ".raw");
            ChildProcess keeper;
            if (!keeper.Spawn(
                    {"pacat", "--record", "--latency-msec=10", "--device=" + sink + ".monitor"},
                    ClientEnv().data(), outputs.back(), "/dev/null"))
                return false;
            keepers_.push_back(std::move(keeper));
        }
        const int64_t deadline = PulseNowMs() + 5000;
        for (const std::string& out : outputs) {
            for (;;) {
                struct stat info {};
                if (stat(out.c_str(), &info) == 0 && info.st_size > 0)
                    break;
                if (PulseNowMs() > deadline)
                    return false;
                usleep(10000);
            }
        }
        return true;
    }

    static std::string ReadFile(const std::string& path) {
        std::string text;
        FILE* f = fopen(path.c_str(), "r");
        if (!f)
            return text;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        fclose(f);
        return text;
    }

    static void Remember(const char* name, std::string* slot) {
        const char* v = getenv(name);
        *slot = v ? std::string("=") + v : std::string();
    }
    static void Restore(const char* name, const std::string& slot) {
        if (slot.empty())
            unsetenv(name);
        else
            setenv(name, slot.c_str() + 1, 1);
    }

    void RemoveDir() {
        if (dir_.empty())
            return;
        nftw(
            dir_.c_str(),
            [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); }, 16,
            FTW_DEPTH | FTW_PHYS);
        dir_.clear();
    }

    Options options_;
    ChildProcess server_;
    std::vector<ChildProcess> keepers_;  // ended before the server
    std::string dir_;
    std::vector<std::string> clientEnv_;
    bool exported_ = false;
    std::string oldServer_;  // "=" + value, or empty when unset
    std::string oldCookie_;
};

}  // namespace test
}  // namespace vistrec

#endif  // VISTREC_TESTS_COMMON_PULSEFIXTURE_H
