// A private PulseAudio server in a temporary folder: null sinks "vistrec_play" (default) and
// "vistrec_micsink", whose monitor remapped as "vistrec_mic" is the default source; suspend on
// idle after 1 s. A null sink's first block after it resumes is 2 s long, so each sink gets a
// keeper recording its monitor (none for "vistrec_play" with keepPlaybackRunning false).
#ifndef VISTREC_TESTS_COMMON_PULSEFIXTURE_H
#define VISTREC_TESTS_COMMON_PULSEFIXTURE_H

#include <stdlib.h>
#include <sys/stat.h>

#include "Process.h"
#include "TempDir.h"

namespace vistrec {
namespace test {

class PulseServer {
  public:
    explicit PulseServer(bool keepPlaybackRunning = true) : keepPlayback_(keepPlaybackRunning) {}
    ~PulseServer() { Stop(); }
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Starts the server (again on the same socket after Kill) and waits until it answers.
    bool Start(std::string* error = nullptr) {
        const std::string why = Launch();
        if (!why.empty() && error)
            *error = why;
        return why.empty();
    }
    // Points PULSE_SERVER and PULSE_COOKIE of this process at the server; Stop restores them.
    void ExportServer() {
        env_.Set("PULSE_SERVER", "unix:" + dir_.File("native"));
        env_.Set("PULSE_COOKIE", dir_.File("config/pulse/cookie"));
    }
    void Stop() {
        Kill(SIGTERM);
        env_.Restore();
    }
    pid_t pid() const { return server_.pid(); }
    // Ends the server at once, as a crash would; the environment stays.
    void Kill(int sig = SIGKILL) {
        keepers_.clear();
        server_.Signal(sig);
    }

    // pactl against the server: its exit status (-1: did not end or start) and output.
    int Pactl(std::vector<std::string> args, std::string* output = nullptr, int timeoutMs = 10000) {
        args.insert(args.begin(), "pactl");
        Child child;
        const std::string out = dir_.File("client.out");
        const int status = child.Spawn(Client(args), nullptr, out) ? child.ExitCode(timeoutMs) : -1;
        if (output)
            *output = ReadTextFile(out);
        return status;
    }
    // Plays a WAV file into a sink with a short latency, as desktop players ask for.
    Child Play(const std::string& wav, const std::string& sink) {
        Child player;
        player.Spawn(Client({"paplay", "--latency-msec=20", "--device=" + sink, wav}));
        return player;
    }
    // A null sink with its keeper; with `source`, a source remapping its monitor too.
    bool AddSink(const std::string& sink, int rate, const std::string& source = "") {
        if (Pactl({"load-module", "module-null-sink", "sink_name=" + sink,
                   "rate=" + std::to_string(rate), "channels=2",
                   "channel_map=front-left,front-right"}) != 0 ||
            !StartKeepers({sink}))
            return false;
        return source.empty() ||
               Pactl({"load-module", "module-remap-source", "source_name=" + source,
                      "master=" + sink + ".monitor"}) == 0;
    }
    // A source's index; -1 if absent.
    int SourceIndex(const std::string& source) {
        std::string out;
        Pactl({"list", "short", "sources"}, &out);
        const size_t at = out.find("\t" + source + "\t");
        return at == std::string::npos ? -1 : atoi(out.c_str() + out.rfind('\n', at) + 1);
    }

  private:
    // A command run by env(1) as a client of the server.
    std::vector<std::string> Client(std::vector<std::string> args) const {
        args.insert(args.begin(), {"env", "PULSE_SERVER=unix:" + dir_.File("native"),
                                   "PULSE_COOKIE=" + dir_.File("config/pulse/cookie")});
        return args;
    }

    std::string Launch() {
        server_.Terminate();
        for (const char* sub : {"/runtime", "/config", "/state"})
            mkdir((dir_.path() + sub).c_str(), 0700);
        const std::string sink = "load-module module-null-sink rate=48000 channels=2 sink_name=";
        WriteTextFile(dir_.File("server.pa"),
                      "load-module module-native-protocol-unix auth-anonymous=1 socket=" +
                          dir_.File("native") + "\n" + sink + "vistrec_play\n" + sink +
                          "vistrec_micsink\nload-module module-remap-source "
                          "source_name=vistrec_mic master=vistrec_micsink.monitor\n"
                          "load-module module-suspend-on-idle timeout=1\nset-default-sink "
                          "vistrec_play\nset-default-source vistrec_mic\n");
        // Everything in the folder, no session bus, no X11 modules.
        const std::string& d = dir_.path();
        if (!server_.Spawn({"env", "--unset=PULSE_SERVER", "--unset=DISPLAY", "HOME=" + d,
                            "XDG_RUNTIME_DIR=" + d, "PULSE_RUNTIME_PATH=" + d + "/runtime",
                            "XDG_CONFIG_HOME=" + d + "/config", "PULSE_STATE_PATH=" + d + "/state",
                            "DBUS_SESSION_BUS_ADDRESS=disabled:", "pulseaudio", "-n", "-F",
                            dir_.File("server.pa"), "--daemonize=no", "--exit-idle-time=-1",
                            "--disable-shm=false", "--system=false", "--realtime=false",
                            "--high-priority=false"},
                           nullptr, dir_.File("server.log")))
            return "cannot run pulseaudio";
        for (const int64_t end = MonotonicMs() + 15000; MonotonicMs() < end && !server_.Exited();
             SleepMs(20)) {
            if (Pactl({"info"}, nullptr, 5000) == 0) {
                std::vector<std::string> sinks = {"vistrec_micsink"};
                if (keepPlayback_)
                    sinks.push_back("vistrec_play");
                return StartKeepers(sinks) ? "" : "the null sinks do not run";
            }
        }
        server_.Terminate();
        return "pulseaudio did not come up:\n" + ReadTextFile(dir_.File("server.log"));
    }

    // Records each sink's monitor with a short latency; waits until each recording has data.
    bool StartKeepers(const std::vector<std::string>& sinks) {
        const int64_t end = MonotonicMs() + 5000;
        for (const std::string& sink : sinks) {
            const std::string out = dir_.File("keeper-" + sink + ".raw");
            keepers_.emplace_back();
            if (!keepers_.back().Spawn(Client({"pacat", "--record", "--latency-msec=10",
                                               "--device=" + sink + ".monitor"}),
                                       nullptr, out, "/dev/null"))
                return false;
            for (struct stat st{}; stat(out.c_str(), &st) != 0 || st.st_size == 0; SleepMs(10))
                if (MonotonicMs() > end)
                    return false;
        }
        return true;
    }

    bool keepPlayback_;
    TempDir dir_;  // made before and removed after the server and its keepers
    Child server_;
    std::vector<Child> keepers_;  // ended before the server
    ScopedEnv env_;
};

}  // namespace test
}  // namespace vistrec

#endif  // VISTREC_TESTS_COMMON_PULSEFIXTURE_H
