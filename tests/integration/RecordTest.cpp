// Recordings of the test scene on Xvfb through libvistrec.so's public interface, checked by
// decoding the files: sizes, durations, the picture against the scene's own rendering, the
// time stamps against the counter the scene drew, pause, region and display selection, host
// notifications, the log file, the configuration file and the H.264 recorder.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Harness.h"
#include "SceneRender.h"
#include "vistrec/IRecordMp4.h"

namespace {

using testscene::Rect;

constexpr int kScreenW = 1920;
constexpr int kScreenH = 1080;
constexpr int kSceneFps = 30;
// Lowest luma PSNR accepted between a recorded picture and the scene's own rendering. At the
// recorder's default crf 40 the scene keeps about 36 to 38 dB through libx264 (see
// vistrec_scene_test); a wrong region, placement or counter falls far below 30.
constexpr double kMinPsnr = 30.0;

// Pointers kept by the recorder: they must outlive every recording.
const char kPreset[] = "ultrafast";
const char kTune[] = "zerolatency";

struct RecorderDeleter {
    void operator()(IRecordMp4* r) const { delete r; }
};
using RecorderPtr = std::unique_ptr<IRecordMp4, RecorderDeleter>;

int RoundDown4(int v) {
    return v / 4 * 4;
}

// The settings every recording here shares. Pointer hidden and no effects, so that frames take
// the fast whole-monitor path whenever the display selection allows it.
void Configure(IRecordMp4* r, const std::string& file, int fps) {
    r->setFileName(file.c_str());
    r->setFrameRate(fps);
    r->setPreset(kPreset);
    r->setTune(kTune);
    r->setMouseShow(0, 0, 0, 100);
}

// Mouse settings that route every frame through the window-system capture with composition
// (the highlight effect asks for it) while drawing nothing: no pointer, and no "mouseeffect"
// icon folder beside this program, so the highlight icon is empty.
void UseComposedCapture(IRecordMp4* r) {
    r->setMouseShow(0, 0, 1, 100);
}

// How the screen reaches the encoded picture: the screen rectangle `source` is scaled into
// `placement` inside a capture bitmap of bitmapW x bitmapH, whose top-left recordW x recordH
// part is stretched to the encode size.
struct Geometry {
    Rect source;
    int bitmapW = 0, bitmapH = 0;
    Rect placement;
    int recordW = 0, recordH = 0;
    int encodeW = 0, encodeH = 0;
    std::vector<Rect> excludeScreen;  // screen parts not compared (the tests' own windows)
};

// A capture of `source` copied 1:1 into the bitmap, `scale` of it (per side) encoded.
Geometry Direct(const Rect& source, double scale, int encodeW, int encodeH) {
    Geometry g;
    g.source = source;
    g.bitmapW = RoundDown4(source.w);
    g.bitmapH = RoundDown4(source.h);
    g.placement = Rect{0, 0, g.bitmapW, g.bitmapH};
    g.recordW = RoundDown4(static_cast<int>(g.bitmapW * scale));
    g.recordH = RoundDown4(static_cast<int>(g.bitmapH * scale));
    g.encodeW = encodeW;
    g.encodeH = encodeH;
    return g;
}

// A whole monitor fitted into a bitmap of another shape: scaled with its aspect ratio kept and
// centred, computed in single precision as the capture does.
Geometry Letterboxed(const Rect& monitor, int bitmapW, int bitmapH, double scale, int encodeW,
                     int encodeH) {
    Geometry g;
    g.source = Rect{RoundDown4(monitor.x), RoundDown4(monitor.y), RoundDown4(monitor.w),
                    RoundDown4(monitor.h)};
    g.bitmapW = bitmapW;
    g.bitmapH = bitmapH;
    const float dstW = static_cast<float>(bitmapW), dstH = static_cast<float>(bitmapH);
    const float srcW = static_cast<float>(g.source.w), srcH = static_cast<float>(g.source.h);
    if (dstW / dstH >= srcW / srcH) {
        const int scaledW = static_cast<int>(dstH / srcH * srcW);
        g.placement = Rect{(bitmapW - scaledW) / 2, 0, scaledW, bitmapH};
    } else {
        const int scaledH = static_cast<int>(dstW / srcW * srcH);
        g.placement = Rect{0, (bitmapH - scaledH) / 2, bitmapW, scaledH};
    }
    g.recordW = RoundDown4(static_cast<int>(bitmapW * scale));
    g.recordH = RoundDown4(static_cast<int>(bitmapH * scale));
    g.encodeW = encodeW;
    g.encodeH = encodeH;
    return g;
}

// Screen coordinates to encoded-picture coordinates.
testscene::ScreenToImage MapOf(const Geometry& g) {
    const double kx = static_cast<double>(g.placement.w) / g.source.w * g.encodeW / g.recordW;
    const double ky = static_cast<double>(g.placement.h) / g.source.h * g.encodeH / g.recordH;
    testscene::ScreenToImage map;
    map.scaleX = kx;
    map.scaleY = ky;
    map.offsetX = static_cast<double>(g.placement.x) * g.encodeW / g.recordW - g.source.x * kx;
    map.offsetY = static_cast<double>(g.placement.y) * g.encodeH / g.recordH - g.source.y * ky;
    return map;
}

// A screen or bitmap rectangle in encoded-picture coordinates, grown or shrunk by `margin`.
Rect MapRect(double x0, double y0, double x1, double y1, double sx, double sy, double ox, double oy,
             int margin) {
    const int ax = static_cast<int>(std::floor(x0 * sx + ox)) - margin;
    const int ay = static_cast<int>(std::floor(y0 * sy + oy)) - margin;
    const int bx = static_cast<int>(std::ceil(x1 * sx + ox)) + margin;
    const int by = static_cast<int>(std::ceil(y1 * sy + oy)) + margin;
    return Rect{ax, ay, std::max(0, bx - ax), std::max(0, by - ay)};
}

// The reference picture of scene frame `counter` as the encoder should have received it.
it::FramePtr Reference(uint32_t counter, const Geometry& g, const testscene::SceneOptions& o) {
    it::Bgra screen;
    screen.width = kScreenW;
    screen.height = kScreenH;
    screen.pixels = testscene::RenderFrame(counter, kScreenW, kScreenH, o);
    it::Bgra bitmap;
    bitmap.width = g.bitmapW;
    bitmap.height = g.bitmapH;
    bitmap.pixels.assign(static_cast<size_t>(g.bitmapW) * g.bitmapH * 4, 0);
    const it::Bgra placed = it::ScaleBgra(it::Crop(screen, g.source), g.placement.w, g.placement.h);
    for (int y = 0; y < placed.height; ++y) {
        std::copy(placed.Row(y), placed.Row(y) + placed.width * 4,
                  bitmap.Row(g.placement.y + y) + g.placement.x * 4);
    }
    return it::ToYuv420(it::Crop(bitmap, Rect{0, 0, g.recordW, g.recordH}), g.encodeW, g.encodeH);
}

struct Analysis {
    it::MediaInfo info;
    std::string error;
    int unread = 0;  // frames whose counter could not be read
    double minPsnr = 99.0, meanPsnr = 0.0;
    std::vector<double> pts;  // of frames whose counter was read
    std::vector<uint32_t> counters;
    // counter / scene rate - time stamp: median and largest distance from it, in seconds.
    double offsetMedian = 0.0, offsetSpread = 0.0;
    // Mean PSNR of the same pictures against the references of other geometries (for the same
    // counters), to show that the comparison tells them apart.
    std::vector<double> otherMeanPsnr;
};

// Decodes a recording and compares every picture with the reference for the counter it shows,
// and also with references built by `others` (same encode size) for that counter.
Analysis Analyse(const std::string& file, const Geometry& g, const testscene::SceneOptions& o,
                 const std::vector<Geometry>& others = {}) {
    Analysis a;
    a.otherMeanPsnr.assign(others.size(), 0.0);
    const testscene::ScreenToImage map = MapOf(g);
    const double ex = static_cast<double>(g.encodeW) / g.recordW;
    const double ey = static_cast<double>(g.encodeH) / g.recordH;
    // Compared: the placed picture within the encoded part, less a margin where the scaler
    // mixes it with the band beside it.
    Rect area =
        MapRect(g.placement.x, g.placement.y, std::min(g.placement.x + g.placement.w, g.recordW),
                std::min(g.placement.y + g.placement.h, g.recordH), ex, ey, 0, 0, 0);
    const bool bandX = g.placement.x > 0, bandY = g.placement.y > 0;
    if (bandX)
        area = Rect{area.x + 4, area.y, area.w - 8, area.h};
    if (bandY)
        area = Rect{area.x, area.y + 4, area.w, area.h - 8};
    std::vector<Rect> exclude;
    for (const Rect& r : g.excludeScreen) {
        exclude.push_back(MapRect(r.x, r.y, r.x + r.w, r.y + r.h, map.scaleX, map.scaleY,
                                  map.offsetX, map.offsetY, 4));
    }
    double psnrSum = 0.0;
    int compared = 0;
    const bool decoded = it::DecodeVideo(
        file, &a.info,
        [&](const AVFrame& frame, double pts) {
            if (frame.width != g.encodeW || frame.height != g.encodeH)
                return;
            uint32_t counter = 0;
            if (!it::ReadFrameCounter(frame, map, kScreenW, kScreenH, &counter)) {
                ++a.unread;
                return;
            }
            a.pts.push_back(pts);
            a.counters.push_back(counter);
            const double psnr = it::LumaPsnr(frame, *Reference(counter, g, o), area, exclude);
            for (size_t i = 0; i < others.size(); ++i) {
                a.otherMeanPsnr[i] +=
                    it::LumaPsnr(frame, *Reference(counter, others[i], o), area, exclude);
            }
            a.minPsnr = std::min(a.minPsnr, psnr);
            psnrSum += psnr;
            ++compared;
        },
        &a.error);
    if (!decoded)
        return a;
    if (compared > 0) {
        a.meanPsnr = psnrSum / compared;
        for (double& p : a.otherMeanPsnr)
            p /= compared;
    }
    std::vector<double> offsets;
    for (size_t i = 0; i < a.pts.size(); ++i) {
        offsets.push_back(a.counters[i] / static_cast<double>(o.fps) - a.pts[i]);
    }
    if (!offsets.empty()) {
        std::vector<double> sorted = offsets;
        std::sort(sorted.begin(), sorted.end());
        a.offsetMedian = sorted[sorted.size() / 2];
        for (double d : offsets)
            a.offsetSpread = std::max(a.offsetSpread, std::fabs(d - a.offsetMedian));
    }
    return a;
}

void Print(const char* what, const Analysis& a) {
    std::printf(
        "[ measured ] %s: %dx%d %s, %d frames (%d unreadable), file %.3f s, video %.3f s, "
        "PSNR mean %.2f dB min %.2f dB, counter-time offset %.3f s +- %.3f s\n",
        what, a.info.width, a.info.height, a.info.videoCodec.c_str(), a.info.decodedFrames,
        a.unread, a.info.formatDuration, a.info.videoDuration, a.meanPsnr, a.minPsnr,
        a.offsetMedian, a.offsetSpread);
}

// Expects a decoded recording to show the scene as `g` says, frame by frame.
void ExpectPicture(const Analysis& a, const Geometry& g) {
    ASSERT_TRUE(a.error.empty()) << a.error;
    EXPECT_EQ(a.info.videoCodec, "h264");
    EXPECT_EQ(a.info.width, g.encodeW);
    EXPECT_EQ(a.info.height, g.encodeH);
    ASSERT_GT(a.info.decodedFrames, 0);
    EXPECT_EQ(a.unread, 0) << "frames without a readable counter";
    ASSERT_FALSE(a.counters.empty());
    EXPECT_GE(a.minPsnr, kMinPsnr);
}

// Records `seconds` with an already configured recorder; returns what stopRecord returned.
unsigned RecordFor(IRecordMp4* r, int ms) {
    r->startRecord();
    it::SleepMs(ms);
    return r->stopRecord();
}

// The display number and the follow-target flag are process-wide and outlive recorders; tests
// that change them put them back, and a capture with display 0 then refreshes the monitor count
// the capture remembers.
void ResetDisplaySelection() {
    RecorderPtr r(create_screen_record(nullptr));
    r->setFollowTarget(false);
    r->setDisplay(0);
    get_desktop_size();
}

// Two RandR monitors splitting the screen into halves, removed again by the destructor.
class SplitMonitors {
  public:
    bool Add() {
        return it::RunCommand({"xrandr", "--setmonitor", "A", "960/254x1080/286+0+0", "screen"}) ==
                   0 &&
               it::RunCommand({"xrandr", "--setmonitor", "B", "960/254x1080/286+960+0", "none"}) ==
                   0;
    }
    ~SplitMonitors() {
        it::RunCommand({"xrandr", "--delmonitor", "B"});
        it::RunCommand({"xrandr", "--delmonitor", "A"});
        ResetDisplaySelection();
    }
};
const Rect kMonitorB{960, 0, 960, 1080};

class Recording : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(x_.ok()) << "no X display";
        ASSERT_EQ(x_.screenWidth(), kScreenW);
        ASSERT_EQ(x_.screenHeight(), kScreenH);
        ASSERT_TRUE(scene_.Start(kSceneFps));
    }

    it::XClient x_;
    it::Scene scene_;
    it::TempDir dir_;
};

// 5 s at 20 fps and scale 1: an H.264 MP4 of the screen's size lasting 5 s, every picture the
// scene's frame for the counter it shows, and the counters advancing with the time stamps.
TEST_F(Recording, WholeScreenMatchesSceneAndClock) {
    const std::string file = dir_.File("whole.mp4");
    RecorderPtr r(create_screen_record(nullptr));
    ASSERT_TRUE(r);
    Configure(r.get(), file, 20);
    r->setScale(1.0);
    const int64_t startMs = it::MonotonicMs();
    const unsigned recordedMs = RecordFor(r.get(), 5000);
    r.reset();
    std::printf("[ measured ] stopRecord returned %u ms\n", recordedMs);

    const Geometry g = Direct(Rect{0, 0, kScreenW, kScreenH}, 1.0, kScreenW, kScreenH);
    const Analysis a = Analyse(file, g, scene_.options());
    Print("whole screen, 20 fps, scale 1", a);
    ExpectPicture(a, g);
    EXPECT_NEAR(a.info.formatDuration, 5.0, 0.15);
    EXPECT_NEAR(a.info.videoDuration, 5.0, 0.15);
    EXPECT_NEAR(a.info.frameRate, 20.0, 0.01);
    // Frames delivered: the loop paces by the wall clock, so a slow machine loses frames; far
    // fewer than due means the pacing is broken.
    EXPECT_GE(a.info.decodedFrames, 70) << "of 100 due";
    EXPECT_LE(a.info.decodedFrames, 101);
    // Every picture was drawn within a couple of frame intervals of its time stamp.
    EXPECT_LE(a.offsetSpread, 0.1 + 1.0 / kSceneFps);
    // Time 0 of the file is when the recording started.
    const double expectedOffset = (startMs - scene_.startMs()) / 1000.0;
    std::printf("[ measured ] file time 0 at scene time %.3f s, startRecord at %.3f s\n",
                a.offsetMedian, expectedOffset);
    EXPECT_GE(a.offsetMedian, expectedOffset - 0.1);
    EXPECT_LE(a.offsetMedian, expectedOffset + 1.0);
    // Time stamps strictly increase.
    for (size_t i = 1; i < a.pts.size(); ++i)
        EXPECT_GT(a.pts[i], a.pts[i - 1]);
}

// Default scale 0.75 without a display selection: the top-left 1440x808 of the screen stretched
// to the encode size of 1920x1080.
TEST_F(Recording, DefaultScaleRecordsTopLeftPart) {
    const std::string file = dir_.File("scaled.mp4");
    RecorderPtr r(create_screen_record(nullptr));
    ASSERT_TRUE(r);
    Configure(r.get(), file, 20);
    RecordFor(r.get(), 3000);
    r.reset();

    const Geometry g = Direct(Rect{0, 0, kScreenW, kScreenH}, 0.75, kScreenW, kScreenH);
    ASSERT_EQ(g.recordW, 1440);
    ASSERT_EQ(g.recordH, 808);
    // The same pictures taken for the whole screen must not match.
    const Geometry whole = Direct(Rect{0, 0, kScreenW, kScreenH}, 1.0, kScreenW, kScreenH);
    const Analysis a = Analyse(file, g, scene_.options(), {whole});
    Print("default scale 0.75", a);
    ExpectPicture(a, g);
    std::printf("[ measured ] the same pictures against the whole screen: %.2f dB\n",
                a.otherMeanPsnr[0]);
    EXPECT_LT(a.otherMeanPsnr[0], kMinPsnr) << "the whole screen matched as well";
}

// Pause after 2 s, resume 2 s later, stop 2 s after that: 4 s recorded, the file lasts 4 s,
// its time stamps run on without a gap and the scene's counter jumps by 2 s across the pause.
TEST_F(Recording, PauseLeavesNoGapAndNoFrozenStretch) {
    const std::string file = dir_.File("pause.mp4");
    RecorderPtr r(create_screen_record(nullptr));
    ASSERT_TRUE(r);
    Configure(r.get(), file, 20);
    r->setScale(1.0);
    r->startRecord();
    it::SleepMs(2000);
    r->pauseRecord();
    it::SleepMs(2000);
    const int pausedMs = r->resumeRecord();
    it::SleepMs(2000);
    const unsigned recordedMs = r->stopRecord();
    r.reset();
    std::printf("[ measured ] resumeRecord returned %d ms, stopRecord %u ms\n", pausedMs,
                recordedMs);
    EXPECT_NEAR(pausedMs, 2000, 100);
    EXPECT_NEAR(static_cast<double>(recordedMs), 4000.0, 150.0);

    const Geometry g = Direct(Rect{0, 0, kScreenW, kScreenH}, 1.0, kScreenW, kScreenH);
    const Analysis a = Analyse(file, g, scene_.options());
    Print("pause", a);
    ExpectPicture(a, g);
    EXPECT_NEAR(a.info.formatDuration, 4.0, 0.2);
    EXPECT_NEAR(a.info.videoDuration, 4.0, 0.2);
    int jumps = 0;
    for (size_t i = 1; i < a.pts.size(); ++i) {
        const double dt = a.pts[i] - a.pts[i - 1];
        const double dScene = (static_cast<double>(a.counters[i]) - a.counters[i - 1]) / kSceneFps;
        EXPECT_GT(dt, 0.0) << "at " << a.pts[i];
        EXPECT_LE(dt, 0.2) << "gap in the time stamps at " << a.pts[i];
        const double lead = dScene - dt;  // scene time that passed without file time
        if (lead > 1.7 && lead < 2.4) {
            ++jumps;
        } else {
            EXPECT_LE(std::fabs(lead), 0.15) << "scene and file time part at " << a.pts[i];
        }
    }
    EXPECT_EQ(jumps, 1) << "the pause should show as one jump of the scene's counter";
}

// Region capture: a 640x480 encode of exactly that part of the screen.
TEST_F(Recording, RegionCaptureRecordsTheRectangle) {
    const std::string file = dir_.File("region.mp4");
    RecorderPtr r(create_screen_record(nullptr));
    ASSERT_TRUE(r);
    Configure(r.get(), file, 20);
    r->setScale(1.0);
    const RECT region{100, 100, 740, 580};
    EXPECT_EQ(r->setCaptureRect(true, &region), 640 * 480 * 2);
    EXPECT_EQ(get_desktop_size(), (480ull << 32) | 640u);
    RecordFor(r.get(), 3000);
    r.reset();

    const Geometry g = Direct(Rect{100, 100, 640, 480}, 1.0, 640, 480);
    // Off by a few pixels is a different picture.
    const Geometry shifted = Direct(Rect{104, 100, 640, 480}, 1.0, 640, 480);
    const Analysis a = Analyse(file, g, scene_.options(), {shifted});
    Print("region {100,100,740,580}", a);
    ExpectPicture(a, g);
    std::printf("[ measured ] the same pictures against the region 4 px to the right: %.2f dB\n",
                a.otherMeanPsnr[0]);
    EXPECT_LT(a.otherMeanPsnr[0], kMinPsnr);
}

// Display selection with two monitors side by side: display 2 records the right half, through
// the whole-monitor fast path and through the composed capture (copied 1:1 into a capture
// rectangle of the first monitor's size, or letterboxed into a full-screen one); following the
// target window picks the monitor that holds it.
TEST_F(Recording, DisplaySelectionAndFollowTarget) {
    SplitMonitors monitors;
    ASSERT_TRUE(monitors.Add());
    struct Case {
        const char* name;
        bool composed;        // through the window-system capture with composition
        bool fullScreenRect;  // capture rectangle set to the whole screen
        bool follow;          // display 1 with follow-target instead of display 2
    };
    const Case cases[] = {
        {"display 2, fast path", false, false, false},
        {"display 2, composed", true, false, false},
        {"display 2, composed, letterboxed", true, true, false},
        {"follow target, fast path", false, false, true},
        {"follow target, composed", true, false, true},
    };
    // Target window on monitor 2: a "screenClass" window holding a "MsoCommandBarDock".
    const Rect target{1700, 950, 80, 60};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned long targetWindow = 0;
        it::XClient windows;
        if (c.follow) {
            targetWindow =
                windows.CreateWindow("screenClass", target.x, target.y, target.w, target.h);
            ASSERT_NE(targetWindow, 0ul);
            ASSERT_NE(windows.CreateWindow("MsoCommandBarDock", 5, 5, 20, 10, targetWindow), 0ul);
        }
        const std::string file =
            dir_.File(std::string("display") + (c.follow ? "-follow" : "") +
                      (c.composed ? "-composed" : "") + (c.fullScreenRect ? "-full" : "") + ".mp4");
        RecorderPtr r(create_screen_record(nullptr));
        ASSERT_TRUE(r);
        Configure(r.get(), file, 20);
        if (c.composed)
            UseComposedCapture(r.get());
        r->setScale(1.0);
        // Quality 1 keeps 20 fps and all 1080 lines (crf 23).
        r->setQuality(1, 0);
        if (c.fullScreenRect) {
            const RECT screen{0, 0, kScreenW, kScreenH};
            r->setCaptureRect(false, &screen);
        }
        r->setFollowTarget(c.follow);
        r->setDisplay(c.follow ? 1 : 2);
        const uint64_t bitmap = get_desktop_size();
        const int bitmapW = static_cast<int>(bitmap & 0xFFFFFFFFu);
        const int bitmapH = static_cast<int>(bitmap >> 32);
        // The capture rectangle is the first display's unless set: monitor A here.
        EXPECT_EQ(bitmapW, c.fullScreenRect ? kScreenW : 960);
        EXPECT_EQ(bitmapH, kScreenH);
        RecordFor(r.get(), 2500);
        r->setFollowTarget(false);
        r.reset();

        // The encode size is monitor 2's in every case.
        Geometry g = c.composed ? Letterboxed(kMonitorB, bitmapW, bitmapH, 1.0, 960, 1080)
                                : Direct(kMonitorB, 1.0, 960, 1080);
        if (c.follow)
            g.excludeScreen.push_back(target);
        // The left half in the same place does not match; nor, when letterboxed, does the right
        // half stretched over the whole picture.
        Geometry left = g;
        left.source.x = 0;
        std::vector<Geometry> others = {left};
        if (c.fullScreenRect)
            others.push_back(Direct(kMonitorB, 1.0, 960, 1080));
        const Analysis a = Analyse(file, g, scene_.options(), others);
        Print(c.name, a);
        ExpectPicture(a, g);
        if (c.fullScreenRect) {
            EXPECT_EQ(g.placement.x, 480);
            EXPECT_EQ(g.placement.w, 960);
        }
        for (size_t i = 0; i < others.size(); ++i) {
            std::printf("[ measured ] the same pictures against %s: %.2f dB\n",
                        i == 0 ? "the left half" : "the right half unboxed", a.otherMeanPsnr[i]);
            EXPECT_LT(a.otherMeanPsnr[i], kMinPsnr) << i;
        }
    }
}

bool AllDigits(const std::string& s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
}

// One log record in the layout "|date time:ms|LEVEL|thread| message", the milliseconds with or
// without a fraction ("|2026-01-02 10:11:12:345.678|INFO|1403| codec :other").
bool IsLogRecord(const std::string& line) {
    std::vector<std::string> fields;
    size_t from = 1;
    if (line.empty() || line[0] != '|')
        return false;
    for (int i = 0; i < 3; ++i) {
        const size_t bar = line.find('|', from);
        if (bar == std::string::npos)
            return false;
        fields.push_back(line.substr(from, bar - from));
        from = bar + 1;
    }
    const std::string& when = fields[0];
    const size_t colon = when.rfind(':');
    if (colon == std::string::npos || colon < 8)
        return false;
    const std::string ms = when.substr(colon + 1);
    const size_t dot = ms.find('.');
    if (!AllDigits(ms.substr(0, dot)) || ms.substr(0, dot).size() != 3 ||
        (dot != std::string::npos && !AllDigits(ms.substr(dot + 1))))
        return false;
    // The time of day before the milliseconds: hh:mm:ss.
    const std::string time = when.substr(colon - 8, 8);
    if (!AllDigits(time.substr(0, 2)) || time[2] != ':' || !AllDigits(time.substr(3, 2)) ||
        time[5] != ':' || !AllDigits(time.substr(6, 2)))
        return false;
    const std::string& level = fields[1];
    if (level != "INFO" && level != "WARN" && level != "ERROR")
        return false;
    if (fields[2].empty())
        return false;
    return from < line.size() && line[from] == ' ';
}

// Sees when the record thread has ended.
class EndFlag : public IRecordCallback {
  public:
    void onRecordEnd() override { ended = true; }
    std::atomic<bool> ended{false};
};

// Display 2 vanishing while it is recorded: the host window hears of it twice (from the capture
// and from the recording loop), the recording ends by itself and the file is complete.
TEST_F(Recording, RemovedMonitorEndsRecordingAndNotifiesHost) {
    SplitMonitors monitors;
    ASSERT_TRUE(monitors.Add());
    const unsigned long host = x_.CreateWindow("Vistrel", 0, 0, 10, 10, 0, false);
    ASSERT_NE(host, 0ul);
    const std::string file = dir_.File("removed.mp4");
    RecorderPtr r(create_screen_record(nullptr));
    ASSERT_TRUE(r);
    EndFlag end;
    r->setCallback(&end);
    Configure(r.get(), file, 20);
    // The loss of a monitor is noticed by the composed capture (the fast path only reports a
    // changed layout and rebuilds), so frames go that way.
    UseComposedCapture(r.get());
    r->setScale(1.0);
    r->setQuality(1, 0);
    r->setDisplay(2);
    r->startRecord();
    it::SleepMs(1500);
    ASSERT_EQ(it::RunCommand({"xrandr", "--delmonitor", "B"}), 0);
    const int64_t removedMs = it::MonotonicMs();
    // Both messages and the end of the record thread should come soon after the removal.
    std::vector<it::XMessage> messages;
    int64_t endedAfterMs = -1;
    while (it::MonotonicMs() - removedMs < 5000 && (messages.size() < 2 || endedAfterMs < 0)) {
        const std::vector<it::XMessage> more = x_.CollectClientMessages(20, 0);
        messages.insert(messages.end(), more.begin(), more.end());
        if (endedAfterMs < 0 && end.ended)
            endedAfterMs = it::MonotonicMs() - removedMs;
    }
    const bool endedByItself = end.ended;
    // Nothing more comes once the recording has ended.
    const std::vector<it::XMessage> later = x_.CollectClientMessages(1000, 0);
    messages.insert(messages.end(), later.begin(), later.end());
    r->stopRecord();
    r.reset();

    EXPECT_TRUE(endedByItself) << "the recording went on after its monitor vanished";
    std::printf("[ measured ] %zu host messages, recording ended within %lld ms of the removal\n",
                messages.size(), static_cast<long long>(endedAfterMs));
    ASSERT_EQ(messages.size(), 2u);
    for (const it::XMessage& m : messages) {
        EXPECT_EQ(m.type, "WM_RECORDER_NOTIFY");
        EXPECT_EQ(m.data[0], WM_RECORDER_NOTIFY);
        EXPECT_EQ(m.data[1], 0);
        EXPECT_EQ(m.data[2], 0);
    }
    it::MediaInfo info;
    std::string error;
    ASSERT_TRUE(it::DecodeVideo(
        file, &info, [](const AVFrame&, double) {}, &error))
        << error;
    std::printf("[ measured ] file after the removal: %.3f s, %d frames\n", info.formatDuration,
                info.decodedFrames);
    EXPECT_GT(info.formatDuration, 1.0);
    EXPECT_LT(info.formatDuration, 4.0);
    EXPECT_GT(info.decodedFrames, 10);
}

// The log file beside the host program, in the agreed line layout, with the encoder lines; a
// configuration file beside it overrides the frame rate the host asks for.
TEST_F(Recording, LogFileAndConfiguredFrameRate) {
    const std::string logPath = it::ExeDir() + "log/record.log";
    const size_t logBefore = it::ReadTextFile(logPath).size();
    const std::string configPath = it::ExeDir() + "Vistrel.json";
    ASSERT_TRUE(it::WriteTextFile(configPath, R"({"VISTREL_CONFIG":{"framerate":10}})"));
    it::FileGuard removeConfig(configPath);

    const std::string file = dir_.File("config.mp4");
    RecorderPtr r(create_screen_record(nullptr));
    ASSERT_TRUE(r);
    Configure(r.get(), file, 20);
    r->setScale(1.0);
    RecordFor(r.get(), 3000);
    r.reset();

    const Geometry g = Direct(Rect{0, 0, kScreenW, kScreenH}, 1.0, kScreenW, kScreenH);
    const Analysis a = Analyse(file, g, scene_.options());
    Print("configured 10 fps", a);
    ExpectPicture(a, g);
    EXPECT_NEAR(a.info.frameRate, 10.0, 0.01);
    EXPECT_GE(a.info.decodedFrames, 25);
    EXPECT_LE(a.info.decodedFrames, 31);
    for (size_t i = 1; i < a.pts.size(); ++i) {
        EXPECT_NEAR(std::fmod(a.pts[i] + 1e-6, 0.1), 0.0, 1e-3) << "not on the 10 fps grid";
    }

    const std::string log = it::ReadTextFile(logPath);
    ASSERT_GT(log.size(), logBefore) << "nothing logged to " << logPath;
    const std::string added = log.substr(logBefore);
    // A message with a line break goes on in lines of its own (the recorder's first line,
    // "log start!", is followed by a line of '=').
    std::istringstream lines(added);
    std::string line, previous;
    int records = 0;
    bool codec = false, params = false, flush = false, start = false;
    while (std::getline(lines, line)) {
        if (line.empty())
            continue;
        if (line[0] != '|') {
            EXPECT_FALSE(previous.empty()) << "a continuation line without a record: " << line;
            start |= previous.find("| log start!") != std::string::npos &&
                     line == "====================";
            continue;
        }
        ++records;
        EXPECT_TRUE(IsLogRecord(line)) << line;
        codec |= line.find("| codec :") != std::string::npos;
        params |= line.find("| encodec param") != std::string::npos;
        flush |= line.find("| begin flush data") != std::string::npos;
        previous = line;
    }
    std::printf("[ measured ] %d log records for one recording\n", records);
    // The layout check itself tells good records from bad ones.
    EXPECT_TRUE(IsLogRecord("|2026-01-02 10:11:12:345.678|INFO|1403| codec :other"));
    EXPECT_FALSE(IsLogRecord("|2026-01-02 10:11:12|INFO|1403| no milliseconds"));
    EXPECT_FALSE(IsLogRecord("|2026-01-02 10:11:12:345.678|DEBUG|1403| a dropped level"));
    EXPECT_FALSE(IsLogRecord("|2026-01-02 10:11:12:345.678|INFO|1403|no blank"));
    EXPECT_TRUE(start);
    EXPECT_TRUE(codec);
    EXPECT_TRUE(params);
    EXPECT_TRUE(flush);
}

// The H.264 recorder writes a playable video-only file of the recorded length.
TEST_F(Recording, H264RecorderWritesVideoOnlyFile) {
    const std::string file = dir_.File("h264.mp4");
    RecorderPtr r(create_screen_h246_record(nullptr));
    ASSERT_TRUE(r);
    Configure(r.get(), file, 20);
    RecordFor(r.get(), 5000);
    r.reset();

    // Its frames always take the composed capture, at the default scale.
    const Geometry g = Direct(Rect{0, 0, kScreenW, kScreenH}, 0.75, kScreenW, kScreenH);
    const Analysis a = Analyse(file, g, scene_.options());
    Print("H.264 recorder", a);
    ExpectPicture(a, g);
    EXPECT_EQ(a.info.videoStreams, 1);
    EXPECT_EQ(a.info.audioStreams, 0);
    EXPECT_EQ(a.info.streams, 1);
    EXPECT_NEAR(a.info.formatDuration, 5.0, 0.15);
    EXPECT_GE(a.info.decodedFrames, 70);
}

// A host that never sets a preset: its process goes on and the file holds the recording.
TEST_F(Recording, DefaultPresetRecords) {
    const std::string file = dir_.File("no-preset.mp4");
    it::Child child;
    ASSERT_TRUE(child.Start({it::ExePath(), "--no-preset-child", file}, false));
    int status = 0;
    ASSERT_TRUE(child.Wait(30000, &status)) << "the host process did not end";
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the library ended the host process";
    it::MediaInfo info;
    std::string error;
    ASSERT_TRUE(it::DecodeVideo(
        file, &info, [](const AVFrame&, double) {}, &error))
        << error;
    EXPECT_NEAR(info.formatDuration, 3.0, 0.3);
    EXPECT_GT(info.decodedFrames, 20);
}

// The size of a capture of the first display, with the height in the high half.
TEST(DesktopSize, FirstDisplayOfNullWindow) {
    RecorderPtr r(create_screen_record(nullptr));
    ASSERT_TRUE(r);
    EXPECT_EQ(get_desktop_size(), 4638564681600ull);
}

}  // namespace
