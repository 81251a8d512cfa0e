// Recordings of the test scene through libvistrec.so, every picture checked against the scene's
// rendering of the counter it shows.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "SoundChecks.h"

namespace vistrec {
namespace test {
namespace {

using testscene::Rect;

// Lowest luma PSNR accepted: the scene keeps 36 to 38 dB at crf 40; a wrong picture falls far
// below.
constexpr double kMinPsnr = 30.0;

// How the screen reaches the encoded picture: screen rectangle `source` scaled into `placement`
// inside a capture bitmap, whose top-left record part is stretched to the encode size.
struct Geometry {
    Rect source;
    int bitmapW, bitmapH;
    Rect placement;
    int recordW, recordH, encodeW, encodeH;
};

// `source` copied 1:1 into the bitmap; `scale` of it (per side) encoded at encodeW x encodeH.
Geometry Direct(const Rect& s, double scale, int encodeW, int encodeH) {
    const int w = s.w / 4 * 4, h = s.h / 4 * 4;
    return Geometry{
        s,       w,      h, Rect{0, 0, w, h}, int(w * scale) / 4 * 4, int(h * scale) / 4 * 4,
        encodeW, encodeH};
}

// Start and end of where `frequency` is present, in 50 ms windows; -1 for none.
std::pair<double, double> Span(const AudioTrack& a, double frequency) {
    std::pair<double, double> span{-1.0, -1.0};
    // A tone counts where it lasts two windows: one window can catch the splatter of a splice
    // (sound dropped or silence put in at a pause), which is not the tone.
    for (double w = 0.0; w + 0.1 <= a.pcmEnd(); w += 0.05)
        if (Present(a, w, 0.05, frequency) && Present(a, w + 0.05, 0.05, frequency))
            span = {span.first < 0 ? w : span.first, w + 0.1};
    return span;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A monitor fitted into a bitmap of another shape, aspect kept and centred, in float as the
// capture.
Geometry Letterboxed(const Rect& monitor, int bitmapW, int bitmapH) {
    Geometry g = Direct(monitor, 1.0, monitor.w, monitor.h);
    g.bitmapW = g.recordW = bitmapW;
    g.bitmapH = g.recordH = bitmapH;
    const float dw = static_cast<float>(bitmapW), dh = static_cast<float>(bitmapH);
    const float sw = static_cast<float>(g.source.w), sh = static_cast<float>(g.source.h);
    if (dw / dh >= sw / sh) {
        const int w = static_cast<int>(dh / sh * sw);
        g.placement = Rect{(bitmapW - w) / 2, 0, w, bitmapH};
    } else {
        const int h = static_cast<int>(dw / sw * sh);
        g.placement = Rect{0, (bitmapH - h) / 2, bitmapW, h};
    }
    return g;
}

testscene::ScreenToImage MapOf(const Geometry& g) {
    testscene::ScreenToImage m;
    m.scaleX = static_cast<double>(g.placement.w) / g.source.w * g.encodeW / g.recordW;
    m.scaleY = static_cast<double>(g.placement.h) / g.source.h * g.encodeH / g.recordH;
    m.offsetX = static_cast<double>(g.placement.x) * g.encodeW / g.recordW - g.source.x * m.scaleX;
    m.offsetY = static_cast<double>(g.placement.y) * g.encodeH / g.recordH - g.source.y * m.scaleY;
    return m;
}

// The picture of scene frame `counter` as the encoder should have received it.
FramePtr Reference(uint32_t counter, const Geometry& g, const testscene::SceneOptions& o) {
    const Bgra screen{kScreenW, kScreenH, testscene::RenderFrame(counter, kScreenW, kScreenH, o)};
    Bgra bitmap{g.bitmapW, g.bitmapH, std::vector<uint8_t>(g.bitmapW * g.bitmapH * 4u, 0)};
    const Bgra placed = ScaleBgra(Crop(screen, g.source), g.placement.w, g.placement.h);
    for (int y = 0; y < placed.height; ++y)
        std::copy(placed.Row(y), placed.Row(y) + placed.width * 4,
                  bitmap.Row(g.placement.y + y) + g.placement.x * 4);
    return ToYuv420(Crop(bitmap, Rect{0, 0, g.recordW, g.recordH}), g.encodeW, g.encodeH);
}

struct Analysis {
    MediaInfo info;
    std::vector<double> pts;
    std::vector<uint32_t> counters;
};

// Decodes a recording and expects every picture (every `stride`-th) to be the reference of the
// counter it shows for `g`, and not for any of `others` (mean PSNR).
Analysis ExpectPicture(const std::string& file, const Geometry& g, const testscene::SceneOptions& o,
                       const std::vector<Geometry>& others = {}, size_t stride = kReferenceStride) {
    Analysis a;
    const testscene::ScreenToImage map = MapOf(g);
    // The placed picture within the encoded part, less 4 px where the scaler mixes in a band.
    const double ex = double(g.encodeW) / g.recordW, ey = double(g.encodeH) / g.recordH;
    const int bandX = g.placement.x > 0 ? 4 : 0, bandY = g.placement.y > 0 ? 4 : 0;
    const int x0 = int(std::ceil(g.placement.x * ex)) + bandX;
    const int y0 = int(std::ceil(g.placement.y * ey)) + bandY;
    const Rect area{x0, y0,
                    int(std::min(g.placement.x + g.placement.w, g.recordW) * ex) - bandX - x0,
                    int(std::min(g.placement.y + g.placement.h, g.recordH) * ey) - bandY - y0};
    int unread = 0;
    size_t compared = 0;
    double minPsnr = 99.0;
    std::vector<double> other(others.size(), 0.0);
    std::string error;
    EXPECT_TRUE(DecodeVideo(
        file, &a.info,
        [&](const AVFrame& frame, double pts) {
            uint32_t counter = 0;
            if (frame.width != g.encodeW || frame.height != g.encodeH ||
                !ReadFrameCounter(frame, map, kScreenW, kScreenH, &counter))
                return void(++unread);
            a.pts.push_back(pts);
            a.counters.push_back(counter);
            if (a.pts.size() % stride != 1 % stride)
                return;
            minPsnr = std::min(minPsnr, LumaPsnr(frame, *Reference(counter, g, o), area));
            if (compared++ % 4 == 0)  // the others' mean, from every fourth picture compared
                for (size_t i = 0; i < others.size(); ++i)
                    other[i] += LumaPsnr(frame, *Reference(counter, others[i], o), area);
        },
        &error))
        << error;
    EXPECT_EQ(std::make_tuple(a.info.videoCodec, a.info.width, a.info.height),
              std::make_tuple(std::string("h264"), g.encodeW, g.encodeH));
    EXPECT_GT(a.info.decodedFrames, 0);
    EXPECT_EQ(unread, 0) << "frames without a readable counter";
    EXPECT_GE(minPsnr, kMinPsnr);
    for (size_t i = 0; i < others.size(); ++i)
        EXPECT_LT(other[i] / ((compared + 3) / 4), kMinPsnr) << "geometry " << i;
    return a;
}

const Rect kWholeScreen{0, 0, kScreenW, kScreenH};
const Rect kMonitorB{960, 0, 960, 1080};

uint64_t DesktopSize(int w, int h) {
    return static_cast<uint64_t>(h) << 32 | static_cast<uint32_t>(w);
}

// Two RandR monitors splitting the screen into halves, removed again by the destructor, which
// puts the process-wide display number back and refreshes the monitor count.
struct SplitMonitors {
    bool Add() {
        return RunCommand({"xrandr", "--setmonitor", "A", "960/254x1080/286+0+0", "screen"}) == 0 &&
               RunCommand({"xrandr", "--setmonitor", "B", "960/254x1080/286+960+0", "none"}) == 0;
    }
    ~SplitMonitors() {
        RunCommand({"xrandr", "--delmonitor", "B"});
        RunCommand({"xrandr", "--delmonitor", "A"});
        RecorderPtr(create_screen_record(nullptr))->setDisplay(0);
        get_desktop_size();
    }
};

using Recording = RecorderTest;

// The default scale 0.75 stretches the top-left 1440x808; "Vistrel.json" sets 10 fps; audio mode
// 0 plays a sound file of 3 s of 660 Hz and 1 s of 880 Hz. 2 s, a 2 s pause and 3 s more: a 5 s
// file on the 10 fps grid whose counters advance with its time stamps, jumping once by the pause;
// the sound file heard from the start, going on where the pause stopped it, then silence.
TEST_F(Recording, WholeScreenTimingPauseConfiguredRateAndSoundFile) {
    const std::string config = ExeDir() + "Vistrel.json";
    ASSERT_TRUE(WriteTextFile(config, R"({"VISTREL_CONFIG":{"framerate":10}})"));
    const std::string file = dir_.File("whole.mp4"), wav = dir_.File("steps.wav");
    ASSERT_TRUE(WriteWav(wav, 48000, 2, SteppedSines(48000, {660, 660, 660, 880}, 1.0, 0.5)));
    RecorderPtr r = NewRecorder(file, 0);
    r->setAudioMode(0);
    r->setAudioFile(wav.c_str());
    unlink(config.c_str());
    EXPECT_EQ(get_desktop_size(), DesktopSize(kScreenW, kScreenH));
    int pausedMs = 0;
    const Timeline t =
        Record(r.get(), 7000,
               {{2000, [&] { r->pauseRecord(); }}, {4000, [&] { pausedMs = r->resumeRecord(); }}});
    r.reset();
    const Analysis a =
        ExpectPicture(file, Direct(kWholeScreen, 0.75, kScreenW, kScreenH), scene_.options(),
                      {Direct(kWholeScreen, 1, kScreenW, kScreenH)});
    EXPECT_NEAR(a.info.frameRate, 10.0, 0.01);
    for (double pts : a.pts)
        EXPECT_NEAR(std::fmod(pts + 1e-6, 0.1), 0.0, 1e-3) << "not on the 10 fps grid";
    const AudioTrack sound = DecodeAudio(file);
    ASSERT_TRUE(sound.error.empty()) << sound.error;
    EXPECT_EQ(std::make_tuple(a.info.audioStreams, sound.codec, sound.sampleRate, sound.channels,
                              sound.discontinuities),
              std::make_tuple(1, std::string("aac"), kTrackRate, 1, 0));
    EXPECT_NEAR(sound.pcmEnd() - sound.pcmStart, a.info.videoDuration, 0.15);
    const auto [low, high] = std::make_pair(Span(sound, 660), Span(sound, 880));
    EXPECT_EQ(low.first, 0.0);
    EXPECT_NEAR(low.second, 3.0, 0.1) << "the file's first 3 s, across the pause";
    EXPECT_NEAR(high.first, 3.0, 0.1) << "then its last second";
    EXPECT_NEAR(high.second, 4.0, 0.1);
    EXPECT_GE(ShareWith(sound, 0.1, 2.9, 0.1, 660), 0.9);
    EXPECT_EQ(SilentShare(sound, 4.2, sound.pcmEnd() - 0.1), 1.0);
    if (!kJudgeTiming)
        return;
    EXPECT_NEAR(pausedMs, 2000, 100);
    EXPECT_NEAR(t.recordedMs, 5000.0, 150.0);
    // A late first picture shortens the file by whole frames of the 10 fps grid: one allowed.
    EXPECT_TRUE(std::fabs(a.info.formatDuration - 5.0) <= 0.3 &&
                std::fabs(a.info.videoDuration - 5.0) <= 0.3)
        << a.info.formatDuration << " " << a.info.videoDuration;
    // The loop paces by the wall clock: a slow machine loses frames, a broken pacing far more.
    EXPECT_TRUE(a.info.decodedFrames >= 35 && a.info.decodedFrames <= 51)
        << a.info.decodedFrames << " of 50 due";

    // Scene time minus file time per frame, in a segment before and one after the pause.
    std::vector<double> offsets[2];
    int segment = 0;
    for (size_t i = 0; i < a.pts.size(); ++i) {
        const double offset = a.counters[i] / static_cast<double>(kSceneFps) - a.pts[i];
        if (i > 0) {
            EXPECT_GT(a.pts[i], a.pts[i - 1]);
            // No hole where the pause was; a loaded machine drops some frames, the first most.
            EXPECT_TRUE(a.pts[i - 1] < 1.0 || a.pts[i] - a.pts[i - 1] <= 0.5)
                << "gap in the time stamps at " << a.pts[i];
            const double lead = offset - (a.counters[i - 1] / double(kSceneFps) - a.pts[i - 1]);
            if (lead > 1.7 && lead < 2.4)
                ++segment;
            else
                EXPECT_LE(std::fabs(lead), 0.15) << "scene and file time part at " << a.pts[i];
        }
        if (segment < 2)
            offsets[segment].push_back(offset);
    }
    ASSERT_EQ(segment, 1) << "the pause should show as one jump of the scene's counter";
    double median[2];
    for (int s = 0; s < 2; ++s) {
        median[s] = Median(offsets[s]);
        for (double d : offsets[s])  // each picture drawn within a couple of frame intervals
            EXPECT_LE(std::fabs(d - median[s]), 0.1 + 1.0 / kSceneFps + 1e-6) << "segment " << s;
    }
    // File time 0 is when the recording started; the second segment is the pause later.
    const double started = (t.start - scene_.startMs()) / 1000.0;
    EXPECT_TRUE(median[0] >= started - 0.1 && median[0] <= started + 1.0) << median[0] - started;
    EXPECT_NEAR(median[1] - median[0], pausedMs / 1000.0, 0.2);
}

// Two monitors side by side: display 2 records the right half, directly and composed (1:1 into
// the first monitor's size, or letterboxed into the whole screen); follow-target picks the
// target's monitor. Display 2 vanishing: the host hears twice (composed capture and loop), the
// recording ends by itself and the file is complete.
TEST_F(Recording, DisplaySelectionFollowTargetAndRemovedMonitor) {
    SplitMonitors monitors;
    ASSERT_TRUE(monitors.Add());
    struct Case {
        const char* name;
        bool composed;     // through the window-system capture with composition
        bool wholeScreen;  // capture rectangle set to the whole screen
        bool follow;       // display 1 with follow-target instead of display 2
        bool removed;      // monitor B removed 1.5 s in
    } const cases[] = {
        {"display 2, fast path", false, false, false, false},
        {"display 2, composed, letterboxed", true, true, false, false},
        {"follow target, fast path", false, false, true, false},
        {"follow target, composed", true, false, true, false},
        {"display 2, composed, removed", true, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        XClient windows;
        if (c.follow) {
            // On monitor 2, too small to show: a "screenClass" window holding a
            // "MsoCommandBarDock".
            const Window w = windows.CreateWindow(0, 1908, 1068, 8, 8, "screenClass", true);
            windows.CreateWindow(w, 2, 2, 4, 4, "MsoCommandBarDock", true);
        }
        if (c.removed)
            windows.CreateWindow(0, 0, 0, 10, 10, "Vistrel");
        const std::string file = dir_.File(std::to_string(&c - cases) + ".mp4");
        RecorderPtr r = NewRecorder(file);
        EndCounter end;
        r->setCallback(&end);
        // The highlight routes frames through the composed capture; without icons it draws nothing.
        if (c.composed)
            r->setMouseShow(0, 0, 1, 100);
        r->setQuality(1, 0);  // keeps 20 fps and all 1080 lines
        if (c.wholeScreen) {
            const RECT screen{0, 0, kScreenW, kScreenH};
            r->setCaptureRect(false, &screen);
        }
        r->setFollowTarget(c.follow);
        r->setDisplay(c.follow ? 1 : 2);
        // The capture rectangle is the first display's (monitor A) unless set.
        const int bitmapW = c.wholeScreen ? kScreenW : 960;
        EXPECT_EQ(get_desktop_size(), DesktopSize(bitmapW, kScreenH));
        bool endedBeforeStop = false;
        std::vector<Action> actions;
        if (c.removed)
            actions = {{1500,
                        [] {
                            EXPECT_EQ(RunCommand({"xrandr", "--delmonitor", "B"}), 0);
                        }},
                       {6000, [&] { endedBeforeStop = end.calls > 0; }}};
        Record(r.get(), c.removed ? 6000 : 2000, actions);
        r->setFollowTarget(false);
        r.reset();

        // Monitor 2's size in every case; the left half in the same place must not match, nor,
        // when letterboxed, the right half stretched over the whole picture.
        Geometry g = c.composed ? Letterboxed(kMonitorB, bitmapW, kScreenH)
                                : Direct(kMonitorB, 1.0, 960, 1080);
        Geometry left = g;
        left.source.x = 0;
        std::vector<Geometry> others = {left};
        if (c.wholeScreen) {
            EXPECT_EQ(std::make_pair(g.placement.x, g.placement.w), std::make_pair(480, 960));
            others.push_back(Direct(kMonitorB, 1.0, 960, 1080));
        }
        const Analysis a = ExpectPicture(file, g, scene_.options(), others);
        if (!c.removed)
            continue;
        EXPECT_TRUE(endedBeforeStop) << "the recording went on after its monitor vanished";
        EXPECT_TRUE(a.info.formatDuration < 4.0 && a.info.decodedFrames > 10)
            << a.info.formatDuration << " s, " << a.info.decodedFrames << " frames";
        const std::vector<XMessage> messages = windows.CollectClientMessages(1000, 3);
        ASSERT_EQ(messages.size(), 2u);
        for (const XMessage& m : messages)
            EXPECT_EQ(std::make_tuple(m.type, m.data[0], m.data[1], m.data[2]),
                      std::make_tuple(std::string("WM_RECORDER_NOTIFY"), long(WM_RECORDER_NOTIFY),
                                      0L, 0L));
    }
}

// The H.264 recorder: a video-only file of the recorded length at the default scale, kept whole
// through a second startRecord and an audio mode change; at 30 fps no drift of counters against
// time stamps (1 % long drifts about 0.1 s over the file).
TEST_F(Recording, H264RecorderWritesVideoOnlyFileWithoutDrift) {
    const std::string file = dir_.File("h264.mp4");
    RecorderPtr r = NewRecorder(file, 0, 0, true);
    r->setFrameRate(30);
    Record(r.get(), 12000, {{1000, [&] {
                                 r->startRecord();
                                 r->setAudioMode(2);
                             }}});
    r.reset();
    // Every picture at this scale is compared in the whole-screen test: here every sixth.
    const Analysis a = ExpectPicture(file, Direct(kWholeScreen, 0.75, kScreenW, kScreenH),
                                     scene_.options(), {}, 6 * kReferenceStride);
    EXPECT_EQ(std::make_pair(a.info.streams, a.info.videoStreams), std::make_pair(1, 1));
    EXPECT_NEAR(a.info.formatDuration, 12.0, 0.2 + kLateStart);
    // 360 are due; a loaded machine loses frames, which the drift check does not mind.
    ASSERT_GE(a.pts.size(), 150u);
    std::vector<double> offsets;  // scene time shown - time stamp, s
    for (size_t i = 0; i < a.pts.size(); ++i)
        offsets.push_back(a.counters[i] / double(kSceneFps) - a.pts[i]);
    const size_t tenth = offsets.size() / 10;
    const double drift = Median({offsets.end() - tenth, offsets.end()}) -
                         Median({offsets.begin(), offsets.begin() + tenth});
    EXPECT_TRUE(!kJudgeTiming || std::fabs(drift) <= 0.06) << drift << " s over the recording";
}

// A full disk (1 MiB tmpfs; root only) or a removed folder: the host hears once with the error,
// the recording ends, stopRecord returns and memory stays flat.
TEST_F(Recording, WriteErrorNotifiesOnceEndsAndMemoryStaysFlat) {
    auto residentBytes = [] {  // anonymous pages only: library pages paged back in are not growth
        long size = 0, resident = 0, fileBacked = 0;
        std::ifstream("/proc/self/statm") >> size >> resident >> fileBacked;
        return (resident - fileBacked) * sysconf(_SC_PAGESIZE);
    };
    x_.CreateWindow(0, 0, 0, 10, 10, "Vistrel");
    for (const bool fullDisk : {true, false}) {
        SCOPED_TRACE(fullDisk ? "full disk" : "folder removed");
        const std::string folder = dir_.File(fullDisk ? "full" : "removed");
        std::filesystem::create_directory(folder);
        if (fullDisk &&
            RunCommand({"mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", folder}) != 0) {
            std::printf("[ skipped  ] full disk: cannot mount a tmpfs here\n");
            continue;
        }
        RecorderPtr r = NewRecorder(folder + "/out.mp4");
        EndCounter end;
        r->setCallback(&end);
        r->setQuality(1, 0);  // crf 23: a busy picture fills 1 MiB within seconds
        const int64_t startMs = MonotonicMs();
        r->startRecord();
        if (!fullDisk) {
            SleepMs(1500);
            std::filesystem::remove_all(folder);
        }
        std::vector<XMessage> messages;
        while (messages.empty() && MonotonicMs() - startMs < 30000)
            messages = x_.CollectClientMessages(50, 1);
        ASSERT_EQ(messages.size(), 1u) << "no message within 30 s";
        EXPECT_EQ(
            std::make_pair(messages[0].type, messages[0].data[2]),
            std::make_pair(std::string("WM_RECORDER_NOTIFY"), long(fullDisk ? -ENOSPC : -ENOENT)));
        // Measured once the end sequence is over (it finishes the file, which takes a while
        // on a loaded machine).
        for (int i = 0; i < 300 && end.calls == 0; ++i)
            SleepMs(100);
        ASSERT_GT(end.calls, 0) << "the recording went on after the error";
        // The recorder object stays; nothing it holds may grow.
        const long rssAtError = residentBytes();
        long rssMax = rssAtError;
        for (int i = 0; i < 30; ++i, SleepMs(100))
            rssMax = std::max(rssMax, residentBytes());
        EXPECT_TRUE(x_.CollectClientMessages(200, 0).empty()) << "posted more than once";
        const int64_t stopMs = MonotonicMs();
        r->stopRecord();
        const int64_t stopTookMs = MonotonicMs() - stopMs;
        r.reset();
        if (fullDisk)
            RunCommand({"umount", "-l", folder});
        EXPECT_LT(rssMax - rssAtError, 4L << 20) << "bytes of growth over 3 s";
        EXPECT_LT(stopTookMs, 1000);
    }
}

// A region: a 640x480 encode of exactly that rectangle (4 px off is another picture); audio mode
// 1 without a sound server: a silent track. A second startRecord and an audio mode change keep
// the running recording: one file, one call. The record thread leaves the recorder alone once
// onRecordEnd deleted it, however the recording ended.
TEST_F(Recording, RegionKeptThroughASecondStartAndDeletedFromOnRecordEnd) {
    struct HostCallback final : EndCounter {  // deletes `owned` on the first call, as a host would
        void onRecordEnd() override {
            EndCounter::onRecordEnd();
            delete owned.exchange(nullptr);
        }
        std::atomic<IRecordMp4*> owned{nullptr};
    };
    for (const bool hostStops : {true, false}) {
        SCOPED_TRACE(hostStops ? "stopped by the host" : "ended by itself");
        HostCallback host;
        const std::string file = hostStops ? dir_.File("region.mp4") : "/nonexistent/x.mp4";
        IRecordMp4* r = NewRecorder(file, 1.0, 1).release();
        const RECT region{100, 100, 740, 580};
        EXPECT_EQ(r->setCaptureRect(true, &region), 640 * 480 * 2);
        EXPECT_EQ(get_desktop_size(), DesktopSize(640, 480));
        r->setCallback(&host);
        host.owned = r;
        r->startRecord();
        if (hostStops) {
            SleepMs(1000);
            r->startRecord();
            r->setAudioMode(2);
            SleepMs(1500);
            EXPECT_GT(r->stopRecord(), 2300u);  // the callback deletes r meanwhile
            const Analysis a =
                ExpectPicture(file, Direct({100, 100, 640, 480}, 1.0, 640, 480), scene_.options(),
                              {Direct({104, 100, 640, 480}, 1.0, 640, 480)});
            EXPECT_GT(a.info.videoDuration, 2.0);
            const AudioTrack sound = DecodeAudio(file);
            ASSERT_TRUE(sound.error.empty()) << sound.error;
            EXPECT_NEAR(sound.pcmEnd() - sound.pcmStart, a.info.videoDuration, 0.15);
            EXPECT_LE(sound.Rms(sound.pcmStart, 99.0) * kFullScale, 2.0) << "the track is silent";
        }
        for (int i = 0; i < 100 && host.calls == 0; ++i)
            SleepMs(50);
        SleepMs(300);  // the record thread's last steps, on freed memory if it still used it
        EXPECT_EQ(host.calls.load(), 1);
    }
}

}  // namespace
}  // namespace test
}  // namespace vistrec

int main(int argc, char** argv) {
    return vistrec::test::RecorderTestMain(argc, argv);
}
