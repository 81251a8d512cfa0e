// Long-run figures of a host of libvistrec.so, written as data files for scripts to plot.
//   vistrec_soak soak SECONDS DIR: records the flashing test scene (1920x1080, 20 fps) with
// sound in audio mode 1 while a 20 ms 1 kHz click plays into the playback sink every second
// from a flash on. The recorder runs in a child process whose RSS, CPU and file size are
// sampled every 10 s (DIR/rss.dat); the file's frame intervals (DIR/frames.dat) and the click
// onset minus the flash (DIR/avsync.dat) follow, and the figures go to DIR/summary.txt.
//   vistrec_soak cycles N RECORD_MS DIR: N start/stop cycles on one recorder, then N
// create/record/delete cycles, each recording RECORD_MS in audio mode 1; this process's RSS,
// open descriptors, threads, shared-memory mappings and the X server's clients and resources
// 300 ms after each cycle (DIR/cycles.dat). The first twenty cycles of a kind warm up; the
// lowest value of each count over the next ten is set against its lowest over the last ten, so
// a resource that lingers a while after a stop does not count as growth and one that is never
// given back does. RSS climbs for a load-dependent number of cycles while the allocator's
// arenas and the encoder's buffers reach their size, so its trend is taken over the second
// half (least squares). Exits 1 when a count grew or the RSS trend comes to 5 MB over N cycles.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "PulseFixture.h"
#include "RecorderFixture.h"

// After Xlib, which the fixtures include.
#include <X11/extensions/XRes.h>

using namespace vistrec::test;
namespace fs = std::filesystem;

namespace {

constexpr int kFps = 20, kSampleSeconds = 10, kSettleMs = 300;
constexpr int kWarmupCycles = 20, kWindowCycles = 10;

// Fields of /proc/PID/status ("VmRSS:") in kB and /proc/PID/stat's utime + stime in ticks.
long StatusKb(pid_t pid, const std::string& field) {
    std::istringstream in(ReadTextFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, field.size(), field) == 0)
            return atol(line.c_str() + field.size());
    return -1;
}
long CpuTicks(pid_t pid) {
    const std::string stat = ReadTextFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> f; ++i) {
        if (i == 14)
            utime = atol(f.c_str());
        if (i == 15)
            stime = atol(f.c_str());
    }
    return utime + stime;
}
long FileSize(const std::string& path) {
    struct stat s {};
    return stat(path.c_str(), &s) == 0 ? static_cast<long>(s.st_size) : 0;
}

// Puts this program's children (X server, sound server, scene, click player) under the
// real-time FIFO scheduler, so that on a busy machine the picture and the clicks the recording
// is measured against keep their time; the recorder's process, started after, does not
// inherit it. Returns how many processes it moved.
int RaiseMeasuringProcesses() {
    int moved = 0;
    std::error_code ignored;
    for (auto it = fs::directory_iterator("/proc", ignored); it != fs::directory_iterator(); ++it) {
        const std::string name = it->path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = ReadTextFile("/proc/" + name + "/stat");
        const size_t paren = stat.rfind(')');
        if (paren == std::string::npos || atol(stat.c_str() + paren + 4) != getpid())
            continue;  // "pid (comm) state ppid ..."
        Child chrt;
        moved += chrt.Spawn({"chrt", "-a", "-f", "-p", "10", name}) && chrt.ExitCode(5000) == 0;
    }
    return moved;
}

// Millisecond onsets of the clicks: a millisecond over 0.05 RMS after 0.5 s below it.
std::vector<double> ClickOnsets(const AudioTrack& a) {
    std::vector<double> onsets;
    double quiet = 0.5;
    for (double t = a.pcmStart; t + 0.001 <= a.pcmEnd(); t += 0.001) {
        const bool loud = a.Rms(t, 0.001) >= 0.05;
        if (loud && quiet >= 0.5)
            onsets.push_back(t);
        quiet = loud ? 0.0 : quiet + 0.001;
    }
    return onsets;
}

struct Stats {
    double mean = 0, median = NAN, largest = 0;
    int n = 0;
};
Stats Summarise(const std::vector<std::pair<double, double>>& rows, double from, double to) {
    Stats s;
    std::vector<double> values;
    for (const auto& [t, d] : rows)
        if (t >= from && t < to) {
            s.mean += d, ++s.n;
            s.largest = std::max(s.largest, std::fabs(d));
            values.push_back(d);
        }
    s.mean = s.n ? s.mean / s.n : NAN;
    if (!values.empty()) {
        std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
        s.median = values[values.size() / 2];
    }
    return s;
}

int Soak(double seconds, const std::string& dir, const Scene& scene) {
    const std::string file = dir + "/soak.mp4";
    // The clicks stream from sox through pacat for as long as needed, paced by the sink.
    SleepMs(static_cast<int>(1000 - (MonotonicMs() - scene.startMs()) % 1000));
    Child clicks;
    clicks.Spawn({"sh", "-c",
                  "chrt -f -p 10 $$ >/dev/null 2>&1; sox -q -n -r 48000 -c 2 -b 16 -e signed -t "
                  "raw - synth 0.02 sine 1000 vol 0.5 "
                  "pad 0 0.98 repeat " +
                      std::to_string(static_cast<int>(seconds) + 30) +
                      " | pacat --raw --format=s16le --rate=48000 --channels=2 "
                      "--latency-msec=100 --device=vistrec_play"});
    const int raised = RaiseMeasuringProcesses();
    SleepMs(2500);
    struct rusage before {};
    getrusage(RUSAGE_CHILDREN, &before);
    // VISTREC_SOAK_HOST_PREFIX runs the host under a tool ("heaptrack -o DIR/heap"); the RSS
    // sampled is then the tool's process's.
    std::vector<std::string> command;
    std::istringstream prefix(
        getenv("VISTREC_SOAK_HOST_PREFIX") ? getenv("VISTREC_SOAK_HOST_PREFIX") : "");
    for (std::string word; prefix >> word;)
        command.push_back(word);
    command.insert(command.end(), {ExePath(), "--host", file, std::to_string(seconds)});
    Child host;
    if (!host.Spawn(command, nullptr, "-"))
        return fprintf(stderr, "cannot start the host\n"), 1;
    FILE* rss = fopen((dir + "/rss.dat").c_str(), "w");
    fprintf(rss, "# s  RSS_MB  CPU_%%  file_MB  load_average\n");
    const long hz = sysconf(_SC_CLK_TCK);
    const int64_t start = MonotonicMs();
    long lastTicks = 0;
    int64_t lastMs = start;
    for (int64_t next = start; !host.Exited(); SleepMs(50)) {
        const int64_t now = MonotonicMs();
        if (now < next)
            continue;
        const long kb = StatusKb(host.pid(), "VmRSS:"), ticks = CpuTicks(host.pid());
        if (kb > 0)
            fprintf(rss, "%.0f %.2f %.1f %.2f %.2f\n", (now - start) / 1000.0, kb / 1024.0,
                    100.0 * (ticks - lastTicks) / hz / std::max<double>(1e-3, (now - lastMs) / 1e3),
                    FileSize(file) / 1048576.0, atof(ReadTextFile("/proc/loadavg").c_str()));
        fflush(rss);
        lastTicks = ticks, lastMs = now, next += kSampleSeconds * 1000;
    }
    fclose(rss);
    struct rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);  // with the host, reaped now

    const VideoTrack v = DecodeVideoTrack(file);
    const AudioTrack a = DecodeAudio(file);
    FILE* frames = fopen((dir + "/frames.dat").c_str(), "w");
    fprintf(frames, "# s  interval_ms\n");
    double longest = 0;
    for (size_t i = 1; i < v.pts.size(); ++i) {
        fprintf(frames, "%.3f %.1f\n", v.pts[i], (v.pts[i] - v.pts[i - 1]) * 1000.0);
        longest = std::max(longest, v.pts[i] - v.pts[i - 1]);
    }
    fclose(frames);
    const std::vector<double> onsets = ClickOnsets(a);
    std::vector<std::pair<double, double>> offsets;  // flash time, click - flash in ms
    for (size_t i = 1; i < v.pts.size(); ++i) {
        if (!(v.flashLuma[i] > 128.0 && v.flashLuma[i - 1] <= 128.0))
            continue;  // not the first white frame of a flash
        double click = -1.0;
        for (double o : onsets)
            if (std::fabs(o - v.pts[i]) < 0.5 &&
                (click < 0 || std::fabs(o - v.pts[i]) < std::fabs(click - v.pts[i])))
                click = o;
        if (click < 0)
            continue;
        // A click a second tells the offset only modulo 1000 ms: followed from the previous
        // one, an offset that grows past half a second is not taken for the next click's.
        double d = (click - v.pts[i]) * 1000.0;
        for (const double previous = offsets.empty() ? d : offsets.back().second;
             std::fabs(d - previous) > 500.0;)
            d += d > previous ? -1000.0 : 1000.0;
        offsets.emplace_back(v.pts[i], d);
    }
    FILE* sync = fopen((dir + "/avsync.dat").c_str(), "w");
    fprintf(sync, "# s  click_minus_flash_ms\n");
    for (const auto& [t, d] : offsets)
        fprintf(sync, "%.3f %.1f\n", t, d);
    fclose(sync);

    // RSS after the first minute against the later samples; the machine's mean load.
    std::vector<std::pair<double, double>> samples;
    double atMinute = NAN, peakAfter = NAN, last = NAN, load = 0;
    std::istringstream in(ReadTextFile(dir + "/rss.dat"));
    for (std::string line; std::getline(in, line);) {
        double t = 0, mb = 0, cpuPercent = 0, size = 0, average = 0;
        if (line[0] != '#' &&
            sscanf(line.c_str(), "%lf %lf %lf %lf %lf", &t, &mb, &cpuPercent, &size, &average) == 5)
            samples.emplace_back(t, mb), load += average;
    }
    const int loads = static_cast<int>(samples.size());
    for (const auto& [t, mb] : samples) {
        if (t >= 60 && std::isnan(atMinute))
            atMinute = mb;
        if (t >= 60)
            peakAfter = std::isnan(peakAfter) ? mb : std::max(peakAfter, mb);
        last = mb;
    }
    const double cpu = CpuSeconds(usage) - CpuSeconds(before);
    const double due = seconds * kFps;
    const Stats first = Summarise(offsets, 0, 60),
                lastMinute = Summarise(offsets, seconds - 60, 1e9);
    char text[2048];
    snprintf(text, sizeof text,
             "Soak: %.0f s of the 1920x1080 flashing scene at %d fps, audio mode 1 with a click "
             "a second into the playback sink, libx264 ultrafast/zerolatency\n"
             "frames delivered/due: %d/%.0f = %.2f %%; longest frame interval %.0f ms\n"
             "RSS: at 60 s %.1f MB, largest after %.1f MB, last %.1f MB: growth %+.1f MB\n"
             "A/V offset (click onset - flash, positive: sound later): first minute median %+.1f "
             "ms, mean %+.1f ms, largest |offset| %.1f ms (%d pairs); last minute median %+.1f "
             "ms, mean %+.1f ms, largest %.1f ms (%d pairs); drift of the median %+.1f ms\n"
             "file: %.1f MB (%.2f Mbit/s), video %.3f s, audio %.3f s; CPU %.1f s = %.2f CPU s "
             "per recorded s; machine load average %.1f; %d measuring processes at real-time "
             "priority %s%s\n",
             seconds, kFps, v.info.decodedFrames, due, 100.0 * v.info.decodedFrames / due,
             longest * 1000, atMinute, peakAfter, last, peakAfter - atMinute, first.median,
             first.mean, first.largest, first.n, lastMinute.median, lastMinute.mean,
             lastMinute.largest, lastMinute.n, lastMinute.median - first.median,
             FileSize(file) / 1048576.0, FileSize(file) * 8 / 1e6 / seconds, v.info.videoDuration,
             a.duration, cpu, cpu / seconds, loads ? load / loads : NAN, raised, v.error.c_str(),
             a.error.c_str());
    fputs(text, stdout);
    WriteTextFile(dir + "/summary.txt", text);
    return 0;
}

// What a leak would grow, read after each cycle.
struct Counts {
    double rssMb = 0;
    long fds = 0, threads = 0, shm = 0, xClients = 0, xResources = 0;

    void KeepLowest(const Counts& o) {
        rssMb = std::min(rssMb, o.rssMb), fds = std::min(fds, o.fds);
        threads = std::min(threads, o.threads), shm = std::min(shm, o.shm);
        xClients = std::min(xClients, o.xClients), xResources = std::min(xResources, o.xResources);
    }
};
long Entries(const std::string& dir) {
    std::error_code ignored;
    long n = 0;
    for (auto it = fs::directory_iterator(dir, ignored); it != fs::directory_iterator(); ++it)
        ++n;
    return n;
}
Counts Measure(Display* x) {
    Counts c;
    c.rssMb = StatusKb(getpid(), "VmRSS:") / 1024.0;
    c.fds = Entries("/proc/self/fd");
    c.threads = Entries("/proc/self/task");
    // Shared memory this process holds: POSIX objects and memfds, mapped or open.
    std::istringstream maps(ReadTextFile("/proc/self/maps"));
    for (std::string line; std::getline(maps, line);)
        c.shm += line.find("/dev/shm/") != std::string::npos ||
                 line.find("/memfd:") != std::string::npos ||
                 line.find("SYSV") != std::string::npos;
    std::error_code ignored;
    for (auto it = fs::directory_iterator("/proc/self/fd", ignored); it != fs::directory_iterator();
         ++it) {
        const std::string target = fs::read_symlink(it->path(), ignored);
        c.shm += target.find("/dev/shm/") == 0 || target.find("/memfd:") == 0;
    }
    int n = 0;
    XResClient* clients = nullptr;
    if (XResQueryClients(x, &n, &clients)) {
        c.xClients = n;
        for (int i = 0; i < n; ++i) {
            int types = 0;
            XResType* counts = nullptr;
            if (XResQueryClientResources(x, clients[i].resource_base, &types, &counts)) {
                for (int j = 0; j < types; ++j)
                    c.xResources += counts[j].count;
                XFree(counts);
            }
        }
        XFree(clients);
    }
    return c;
}

int Cycles(int n, int recordMs, const std::string& dir, const TempDir& temp) {
    XClient x;
    if (!x.ok())
        return fprintf(stderr, "no X display\n"), 1;
    FILE* data = fopen((dir + "/cycles.dat").c_str(), "w");
    fprintf(data, "# phase cycle RSS_MB fds threads shm x_clients x_resources\n");
    const Counts before = Measure(x.get());
    Counts first[2], last[2];
    double slopeKb[2] = {0, 0};  // RSS trend over the second half, kB per cycle
    long unwritten = 0;
    for (int phase = 0; phase < 2; ++phase) {
        const std::string file = temp.File(phase ? "create.mp4" : "startstop.mp4");
        RecorderPtr kept = phase ? nullptr : NewRecorder(file, 1.0, 1);
        double sx = 0, sy = 0, sxx = 0, sxy = 0, m = 0;
        for (int i = 1; i <= n; ++i) {
            RecorderPtr made = phase ? NewRecorder(file, 1.0, 1) : nullptr;
            IRecordMp4* r = phase ? made.get() : kept.get();
            unlink(file.c_str());
            Record(r, recordMs);
            made.reset();
            unwritten += FileSize(file) == 0;
            SleepMs(kSettleMs);
            const Counts c = Measure(x.get());
            fprintf(data, "%d %d %.2f %ld %ld %ld %ld %ld\n", phase, i, c.rssMb, c.fds, c.threads,
                    c.shm, c.xClients, c.xResources);
            fflush(data);
            if (i == kWarmupCycles + 1 || i == n - kWindowCycles + 1)
                (i == kWarmupCycles + 1 ? first : last)[phase] = c;
            if (i > kWarmupCycles && i <= kWarmupCycles + kWindowCycles)
                first[phase].KeepLowest(c);
            if (i > n - kWindowCycles)
                last[phase].KeepLowest(c);
            if (i > n / 2)
                sx += i, sy += c.rssMb * 1024, sxx += double(i) * i, sxy += i * c.rssMb * 1024, ++m;
        }
        slopeKb[phase] = (m * sxy - sx * sy) / (m * sxx - sx * sx);
        kept.reset();
    }
    fclose(data);
    std::string text;
    char line[512];
    snprintf(line, sizeof line,
             "Cycles: %d start/stop cycles on one recorder, then %d create/record/delete cycles, "
             "%d ms each, audio mode 1, 1920x1080 at %d fps; %ld files not written\n"
             "%-22s %8s %5s %7s %4s %9s %11s\n",
             n, n, recordMs, kFps, unwritten, "", "RSS MB", "fds", "threads", "shm", "X clients",
             "X resources");
    text += line;
    bool grew = unwritten > 0;
    auto row = [&](const char* name, const Counts& c, const Counts* base) {
        snprintf(line, sizeof line, "%-22s %8.1f %5ld %7ld %4ld %9ld %11ld%s\n", name, c.rssMb,
                 c.fds, c.threads, c.shm, c.xClients, c.xResources,
                 base && (c.fds > base->fds || c.threads > base->threads || c.shm > base->shm ||
                          c.xClients > base->xClients || c.xResources > base->xResources)
                     ? "  GREW"
                     : "");
        grew = grew || line[strlen(line) - 2] == 'W';
        text += line;
    };
    row("before", before, nullptr);
    const std::string firstName = "  cycles " + std::to_string(kWarmupCycles + 1) + "-" +
                                  std::to_string(kWarmupCycles + kWindowCycles);
    const std::string lastName =
        "  cycles " + std::to_string(n - kWindowCycles + 1) + "-" + std::to_string(n);
    for (int phase = 0; phase < 2; ++phase) {
        text += phase ? "create/record/delete (lowest of each window):\n"
                      : "start/stop on one recorder (lowest of each window):\n";
        row(firstName.c_str(), first[phase], nullptr);
        row(lastName.c_str(), last[phase], &first[phase]);
        const bool rising = slopeKb[phase] * n >= 5 * 1024;
        snprintf(line, sizeof line,
                 "  RSS trend over cycles %d-%d: %+.1f kB per cycle (%+.2f MB per %d cycles)%s\n",
                 n / 2 + 1, n, slopeKb[phase], slopeKb[phase] * n / 1024, n,
                 rising ? "  GREW" : "");
        text += line;
        grew = grew || rising;
    }
    text += grew ? "result: GREW\n" : "result: no growth\n";
    fputs(text.c_str(), stdout);
    WriteTextFile(dir + "/summary.txt", text);
    return grew ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    mkdir((ExeDir() + "log").c_str(), 0755);
    av_log_set_level(AV_LOG_ERROR);
    if (argc == 4 && std::string(argv[1]) == "--host") {  // file seconds: the soak's recorder
        RecorderPtr r = NewRecorder(argv[2], 1.0, 1);
        r->setFrameRate(kFps);
        Record(r.get(), static_cast<int>(atof(argv[3]) * 1000));
        return 0;
    }
    const std::string mode = argc > 1 ? argv[1] : "";
    if (!((mode == "soak" && argc == 4) ||
          (mode == "cycles" && argc == 5 && atoi(argv[2]) >= kWarmupCycles + 2 * kWindowCycles))) {
        fprintf(stderr, "usage: vistrec_soak soak SECONDS DIR | cycles N(>= 40) RECORD_MS DIR\n");
        return 2;
    }
    const std::string dir = argv[argc - 1];
    fs::create_directories(dir);
    SceneStage stage;
    TempDir temp;
    std::string error;
    if (!stage.Start(mode == "soak", &error))
        return fprintf(stderr, "%s\n", error.c_str()), 1;
    if (mode == "soak")
        return Soak(atof(argv[2]), dir, stage.scene);
    return Cycles(atoi(argv[2]), atoi(argv[3]), dir, temp);
}
