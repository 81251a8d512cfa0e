// Long-run figures of a host of libvistrec.so, written as data files for scripts to plot.
//   vistrec_soak soak SECONDS DIR [AUDIO_MODE]: records the flashing test scene (1920x1080,
// 20 fps) with sound in audio mode 1 (or the one given) while a 20 ms 1 kHz click plays at every
// flash into the playback sink (mode 0: the sink the microphone records;
// VISTREC_SOAK_CLICK_SINK=vistrec_micsink: that one in mode 1 too), each click's play time
// logged (DIR/clicks.dat). The recorder runs in a child process whose RSS, CPU and file size are
// sampled every 10 s (DIR/rss.dat); the file's frame intervals (DIR/frames.dat) and each click's
// A/V offset (DIR/avsync.dat) follow, and the figures go to DIR/summary.txt.
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

#include <malloc.h>
#include <pthread.h>
#include <pulse/simple.h>

#include <cmath>
#include <cstdio>
#include <deque>
#include <numeric>
#include <filesystem>
#include <thread>

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

// Plays a 20 ms 1 kHz click into the playback sink at every scene second (when the flash
// turns white) and tells, for each, when the sink played its first sample on CLOCK_MONOTONIC.
// Sound is written continuously in 10 ms blocks; after each write the stream's latency says
// when the last frame written will be played, so any frame written earlier plays that much
// less its distance at the sink's rate (the null sink runs on the system clock). A click is
// placed on the frame predicted to play at its second; its play time is then the median of the
// next ten such readings. Residual uncertainty: libpulse interpolates the latency between
// timing updates (local socket, well under a millisecond) and a stream underrun between the
// click's write and its play would shift it (the ten readings would then disagree; the spread
// is logged), so the logged play times hold to about 1 ms.
class ClickPlayer {
  public:
    static constexpr int kRate = 48000, kBlock = kRate / 100;
    ClickPlayer(const char* sink, int64_t sceneStartMs, double seconds, const std::string& log)
        : sink_(sink),
          sceneStartMs_(sceneStartMs),
          endUs_((MonotonicMs() + seconds * 1000) * 1000) {
        log_ = fopen(log.c_str(), "w");
        fprintf(log_, "# played_ms(CLOCK_MONOTONIC)  spread_ms\n");
        thread_ = std::thread([this] { Run(); });
    }
    ~ClickPlayer() {
        stop_ = true;
        thread_.join();
        fclose(log_);
    }
    bool failed() const { return failed_; }

  private:
    static int64_t NowUs() {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    }
    void Run() {
        sched_param fifo{};
        fifo.sched_priority = 10;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &fifo);  // as the other measurers
        const pa_sample_spec spec{PA_SAMPLE_S16LE, kRate, 2};
        // A 100 ms buffer, as desktop players ask for.
        const pa_buffer_attr attr{uint32_t(-1), uint32_t(pa_usec_to_bytes(100000, &spec)),
                                  uint32_t(-1), uint32_t(-1), uint32_t(-1)};
        int error = 0;
        pa_simple* s = pa_simple_new(nullptr, "vistrec_soak", PA_STREAM_PLAYBACK, sink_, "clicks",
                                     &spec, nullptr, &attr, &error);
        if (!s) {
            failed_ = true;
            return;
        }
        struct Click {
            int64_t frame;
            std::vector<double> played;  // estimates, ms
        };
        std::deque<Click> clicks;
        std::vector<int16_t> block(kBlock * 2);
        int64_t written = 0, writtenPlayUs = 0;  // frames written; when the next one plays
        int64_t nextMs = sceneStartMs_ + ((MonotonicMs() - sceneStartMs_) / 1000 + 1) * 1000;
        while (!stop_ && (written == 0 || writtenPlayUs < endUs_)) {
            // The next click goes on its frame once that frame is due within this block.
            const int64_t frame = written + (nextMs * 1000 - writtenPlayUs) * kRate / 1000000;
            if (written > 0 && frame < written + kBlock)
                clicks.push_back({std::max(frame, written), {}}), nextMs += 1000;
            for (int i = 0; i < kBlock; ++i) {
                double v = 0;
                for (const Click& c : clicks)
                    if (written + i >= c.frame && written + i < c.frame + kRate / 50)
                        v = 0.5 * sin(2 * M_PI * 1000.0 * double(written + i - c.frame) / kRate);
                block[2 * i] = block[2 * i + 1] = int16_t(v * 32767);
            }
            if (pa_simple_write(s, block.data(), block.size() * 2, &error) < 0)
                break;
            written += kBlock;
            const pa_usec_t latency = pa_simple_get_latency(s, &error);
            writtenPlayUs = NowUs() + int64_t(latency);
            for (Click& c : clicks)
                c.played.push_back((writtenPlayUs - (written - c.frame) * 1e6 / kRate) / 1000.0);
            if (!clicks.empty() && clicks.front().played.size() == 10) {
                std::vector<double>& p = clicks.front().played;
                std::sort(p.begin(), p.end());
                fprintf(log_, "%.2f %.2f\n", p[5], p.back() - p.front());
                clicks.pop_front();
            }
        }
        pa_simple_free(s);
    }

    const char* const sink_;
    const int64_t sceneStartMs_, endUs_;
    FILE* log_;
    std::atomic<bool> stop_{false}, failed_{false};
    std::thread thread_;
};

int Soak(double seconds, const std::string& dir, const Scene& scene, int audioMode) {
    const std::string file = dir + "/soak.mp4";
    auto player = std::make_unique<ClickPlayer>(getenv("VISTREC_SOAK_CLICK_SINK")
                                                    ? getenv("VISTREC_SOAK_CLICK_SINK")
                                                : audioMode == 0 ? "vistrec_micsink"
                                                                 : "vistrec_play",
                                                scene.startMs(), seconds + 10, dir + "/clicks.dat");
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
    command.insert(command.end(),
                   {ExePath(), "--host", file, std::to_string(seconds), std::to_string(audioMode)});
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
    const bool clicksFailed = player->failed();
    player.reset();  // clicks.dat complete
    if (clicksFailed)
        return fprintf(stderr, "cannot play the clicks\n"), 1;
    struct rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);  // with the host, reaped now

    VideoTrack v = DecodeVideoTrack(file);
    // The scene's counter has 16 bits: it wraps every 65,536 frames (36 minutes at 30 Hz), so a
    // longer soak follows it through the frames in order.
    int64_t lastRead = -1, wraps = 0;
    for (int64_t& counter : v.counters)
        if (counter >= 0) {
            wraps += lastRead >= 0 && counter + 32768 < lastRead;
            lastRead = counter;
            counter += wraps * 65536;
        }
    const AudioTrack a = DecodeAudio(file);
    FILE* frames = fopen((dir + "/frames.dat").c_str(), "w");
    fprintf(frames, "# s  interval_ms\n");
    double longest = 0;
    for (size_t i = 1; i < v.pts.size(); ++i) {
        fprintf(frames, "%.3f %.1f\n", v.pts[i], (v.pts[i] - v.pts[i - 1]) * 1000.0);
        longest = std::max(longest, v.pts[i] - v.pts[i - 1]);
    }
    fclose(frames);
    // The A/V offset of each click: where its sound lies in the file against where the picture
    // shown at the same moment lies. The sound's moment is its logged play time; the picture's
    // file time maps to the screen's clock through the scene counters of the frames within 5 s,
    // each frame taken as grabbed in the middle of its counter's 33 ms (mean of the middle 80 %,
    // so a stalled grab does not count). The 20 fps slots meet the 30 fps counter at two phases
    // only, half a counter apart, so this holds to +-8 ms: a bias fixed for a run. The flash
    // alone would do worse: it shows in the first frame grabbed after it, up to a whole frame
    // interval (50 ms) later.
    const std::vector<double> onsets = ClickOnsets(a);
    std::vector<double> played;
    std::istringstream clickLog(ReadTextFile(dir + "/clicks.dat"));
    for (std::string line; std::getline(clickLog, line);)
        if (line[0] != '#')
            played.push_back(atof(line.c_str()));
    auto wallAtZero = [&](double near) -> double {  // CLOCK_MONOTONIC ms of file time 0
        std::vector<double> d;
        for (size_t i = 0; i < v.pts.size(); ++i)
            if (v.counters[i] >= 0 && std::fabs(v.pts[i] - near) < 5.0)
                d.push_back(v.counters[i] * 1000.0 / kSceneFps - v.pts[i] * 1000.0);
        std::sort(d.begin(), d.end());
        const size_t trim = d.size() / 10;
        if (d.size() < 10)
            return NAN;
        return scene.startMs() + 500.0 / kSceneFps +
               std::accumulate(d.begin() + trim, d.end() - trim, 0.0) / (d.size() - 2 * trim);
    };
    const double zero = v.WallAtZero(scene.startMs(), kSceneFps);
    // file time, offset; click - flash in the file; click played - flash shown (ms)
    std::vector<std::pair<double, double>> offsets, fileOffsets;
    FILE* sync = fopen((dir + "/avsync.dat").c_str(), "w");
    fprintf(sync, "# s  offset_ms  click_minus_flash_in_file_ms  played_minus_shown_ms\n");
    double previous = 0;
    for (const double p : played) {
        // The onset nearest to where the click's sound belongs, followed from the last offset
        // so that an offset growing past half a second is not taken for the next click's.
        const double due = (p - zero) / 1000.0 + previous / 1000.0;
        double click = NAN;
        for (double o : onsets)
            if (std::fabs(o - due) < 0.5 && !(std::fabs(click - due) <= std::fabs(o - due)))
                click = o;
        const double w = wallAtZero(click);
        if (std::isnan(click) || std::isnan(w))
            continue;
        previous = click * 1000.0 + w - p;
        offsets.emplace_back(click, previous);
        size_t f = 1;  // the flash frame nearest the click
        for (size_t i = 1; i < v.pts.size(); ++i)
            if (v.flashLuma[i] > 128.0 && v.flashLuma[i - 1] <= 128.0 &&
                std::fabs(v.pts[i] - click) < std::fabs(v.pts[f] - click))
                f = i;
        const double shown = scene.startMs() + std::round((p - scene.startMs()) / 1000.0) * 1000.0;
        fileOffsets.emplace_back(click, (click - v.pts[f]) * 1000.0);
        fprintf(sync, "%.3f %.1f %.1f %.1f\n", click, previous, fileOffsets.back().second,
                p - shown);
    }
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
                lastMinute = Summarise(offsets, seconds - 60, 1e9),
                flashes = Summarise(fileOffsets, 0, 1e9);
    char text[2048];
    snprintf(text, sizeof text,
             "Soak: %.0f s of the 1920x1080 flashing scene at %d fps, audio mode %d with a click "
             "a second, libx264 ultrafast/zerolatency\n"
             "frames delivered/due: %d/%.0f = %.2f %%; longest frame interval %.0f ms\n"
             "RSS: at 60 s %.1f MB, largest after %.1f MB, last %.1f MB: growth %+.1f MB\n"
             "A/V offset (click in the file - picture of its play time, positive: sound later): "
             "first minute median %+.1f "
             "ms, mean %+.1f ms, largest |offset| %.1f ms (%d pairs); last minute median %+.1f "
             "ms, mean %+.1f ms, largest %.1f ms (%d pairs); drift of the median %+.1f ms; click - "
             "flash in the file, median %+.1f ms\n"
             "file: %.1f MB (%.2f Mbit/s), video %.3f s, audio %.3f s; CPU %.1f s = %.2f CPU s "
             "per recorded s; machine load average %.1f; %d measuring processes at real-time "
             "priority %s%s\n",
             seconds, kFps, audioMode, v.info.decodedFrames, due,
             100.0 * v.info.decodedFrames / due, longest * 1000, atMinute, peakAfter, last,
             peakAfter - atMinute, first.median, first.mean, first.largest, first.n,
             lastMinute.median, lastMinute.mean, lastMinute.largest, lastMinute.n,
             lastMinute.median - first.median, flashes.median, FileSize(file) / 1048576.0,
             FileSize(file) * 8 / 1e6 / seconds, v.info.videoDuration, a.duration, cpu,
             cpu / seconds, loads ? load / loads : NAN, raised, v.error.c_str(), a.error.c_str());
    fputs(text, stdout);
    WriteTextFile(dir + "/summary.txt", text);
    return 0;
}

// What a leak would grow, read after each cycle. The allocator keeps freed memory of its
// per-thread arenas for reuse, and every recording starts new threads: RSS alone moved in 3 to
// 6 MB steps with nothing leaked. So free pages go back to the system first (malloc_trim), and
// the heap in use is read as well: a leak grows both.
struct Counts {
    double rssMb = 0, anonMb = 0, heapMb = 0;  // anon: RSS less the pages of mapped files
    long fds = 0, threads = 0, shm = 0, xClients = 0, xResources = 0;

    void KeepLowest(const Counts& o) {
        rssMb = std::min(rssMb, o.rssMb), anonMb = std::min(anonMb, o.anonMb);
        heapMb = std::min(heapMb, o.heapMb);
        fds = std::min(fds, o.fds);
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
    malloc_trim(0);
    const struct mallinfo2 heap = mallinfo2();
    c.heapMb = static_cast<double>(heap.uordblks + heap.hblkhd) / 1048576.0;
    c.rssMb = StatusKb(getpid(), "VmRSS:") / 1024.0;
    c.anonMb = StatusKb(getpid(), "RssAnon:") / 1024.0;
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
    fprintf(data, "# phase cycle RSS_MB fds threads shm x_clients x_resources heap_MB anon_MB\n");
    const Counts before = Measure(x.get());
    Counts first[2], last[2];
    // RSS and heap trends over the second half, kB per cycle.
    double slopeKb[2] = {0, 0}, heapSlopeKb[2] = {0, 0};
    long unwritten = 0;
    for (int phase = 0; phase < 2; ++phase) {
        const std::string file = temp.File(phase ? "create.mp4" : "startstop.mp4");
        RecorderPtr kept = phase ? nullptr : NewRecorder(file, 1.0, 1);
        double sx = 0, sy = 0, sxx = 0, sxy = 0, hy = 0, hxy = 0, m = 0;
        for (int i = 1; i <= n; ++i) {
            RecorderPtr made = phase ? NewRecorder(file, 1.0, 1) : nullptr;
            IRecordMp4* r = phase ? made.get() : kept.get();
            unlink(file.c_str());
            Record(r, recordMs);
            made.reset();
            unwritten += FileSize(file) == 0;
            SleepMs(kSettleMs);
            const Counts c = Measure(x.get());
            fprintf(data, "%d %d %.2f %ld %ld %ld %ld %ld %.3f %.2f\n", phase, i, c.rssMb, c.fds,
                    c.threads, c.shm, c.xClients, c.xResources, c.heapMb, c.anonMb);
            fflush(data);
            if (i == kWarmupCycles + 1 || i == n - kWindowCycles + 1)
                (i == kWarmupCycles + 1 ? first : last)[phase] = c;
            if (i > kWarmupCycles && i <= kWarmupCycles + kWindowCycles)
                first[phase].KeepLowest(c);
            if (i > n - kWindowCycles)
                last[phase].KeepLowest(c);
            if (i > n / 2) {
                sx += i, sy += c.rssMb * 1024, sxx += double(i) * i, sxy += i * c.rssMb * 1024;
                hy += c.heapMb * 1024, hxy += i * c.heapMb * 1024, ++m;
            }
        }
        slopeKb[phase] = (m * sxy - sx * sy) / (m * sxx - sx * sx);
        heapSlopeKb[phase] = (m * hxy - sx * hy) / (m * sxx - sx * sx);
        kept.reset();
    }
    fclose(data);
    std::string text;
    char line[512];
    snprintf(line, sizeof line,
             "Cycles: %d start/stop cycles on one recorder, then %d create/record/delete cycles, "
             "%d ms each, audio mode 1, 1920x1080 at %d fps; %ld files not written\n"
             "RSS after free heap pages went back to the system (malloc_trim); heap: in use\n"
             "%-22s %8s %8s %5s %7s %4s %9s %11s\n",
             n, n, recordMs, kFps, unwritten, "", "RSS MB", "heap MB", "fds", "threads", "shm",
             "X clients", "X resources");
    text += line;
    bool grew = unwritten > 0;
    auto row = [&](const char* name, const Counts& c, const Counts* base) {
        snprintf(line, sizeof line, "%-22s %8.1f %8.2f %5ld %7ld %4ld %9ld %11ld%s\n", name,
                 c.rssMb, c.heapMb, c.fds, c.threads, c.shm, c.xClients, c.xResources,
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
        // A leak of 1 kB per recording shows in the heap's trend over 200 cycles. RSS also holds
        // the stacks of ended threads, which the C library keeps for new ones (up to 40 MB), so
        // it moves by several MB between cycles: what a leak raises is its floor.
        const double floorMb = last[phase].rssMb - first[phase].rssMb;
        const bool rising = floorMb >= 5 || heapSlopeKb[phase] >= 1.0;
        snprintf(line, sizeof line,
                 "  RSS floor %+.1f MB; trend over cycles %d-%d: RSS %+.1f kB, heap %+.2f kB per "
                 "cycle%s\n",
                 floorMb, n / 2 + 1, n, slopeKb[phase], heapSlopeKb[phase], rising ? "  GREW" : "");
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
    if (argc == 5 && std::string(argv[1]) == "--host") {  // file seconds mode: the recorder
        RecorderPtr r = NewRecorder(argv[2], 1.0);
        r->setAudioMode(atoi(argv[4]));  // NewRecorder leaves mode 0 to the default, 1
        r->setFrameRate(kFps);
        Record(r.get(), static_cast<int>(atof(argv[3]) * 1000));
        return 0;
    }
    const std::string mode = argc > 1 ? argv[1] : "";
    if (!((mode == "soak" && (argc == 4 || argc == 5)) ||
          (mode == "cycles" && argc == 5 && atoi(argv[2]) >= kWarmupCycles + 2 * kWindowCycles))) {
        fprintf(
            stderr,
            "usage: vistrec_soak soak SECONDS DIR [AUDIO_MODE] | cycles N(>= 40) RECORD_MS DIR\n");
        return 2;
    }
    const std::string dir = argv[mode == "soak" ? 3 : 4];
    fs::create_directories(dir);
    SceneStage stage;
    TempDir temp;
    std::string error;
    if (!stage.Start(mode == "soak", &error))
        return fprintf(stderr, "%s\n", error.c_str()), 1;
    if (mode == "soak")
        return Soak(atof(argv[2]), dir, stage.scene, argc == 5 ? atoi(argv[4]) : 1);
    return Cycles(atoi(argv[2]), atoi(argv[3]), dir, temp);
}
