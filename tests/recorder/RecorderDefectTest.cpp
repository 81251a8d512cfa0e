// The recorder object's life as a host drives it through libvistrec.so: deleted from its own
// onRecordEnd, an audio mode changed mid-recording, a second startRecord, and a sound server
// that freezes (SIGSTOP) while the host pauses, resumes and stops. Files are checked by
// decoding them.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <memory>
#include <string>

#include "integration/Harness.h"
#include "PulseFixture.h"
#include "vistrec/IRecordMp4.h"

namespace {

const char kPreset[] = "ultrafast";
const char kTune[] = "zerolatency";
constexpr int kFps = 20;

// Counts its calls; deletes `owned` on the first one, as a host cleaning up would.
class HostCallback final : public IRecordCallback {
  public:
    void onRecordEnd() override {
        ++calls;
        if (IRecordMp4* r = owned.exchange(nullptr))
            delete r;
    }
    std::atomic<int> calls{0};
    std::atomic<IRecordMp4*> owned{nullptr};
};

// A small region at 20 fps, so that frames keep their pace on a loaded machine.
void Configure(IRecordMp4* r, const std::string& file) {
    const RECT region = {0, 0, 320, 240};
    r->setFileName(file.c_str());
    r->setFrameRate(kFps);
    r->setPreset(kPreset);
    r->setTune(kTune);
    r->setMouseShow(0, 0, 0, 100);
    r->setCaptureRect(true, &region);
}

struct Video {
    it::MediaInfo info;
    double maxGap = 0.0;  // longest distance between consecutive frame times, seconds
    bool ok = false;
};

Video DecodeFile(const std::string& path) {
    Video v;
    std::string error;
    double last = -1.0;
    v.ok = it::DecodeVideo(
        path, &v.info,
        [&](const AVFrame&, double pts) {
            if (last >= 0.0)
                v.maxGap = std::max(v.maxGap, pts - last);
            last = pts;
        },
        &error);
    return v;
}

// ---- deleting the recorder from onRecordEnd ------------------------------------------------

struct DeleteCase {
    const char* name;
    bool hostStops;  // the host calls stopRecord; otherwise the recording ends by itself
};

void PrintTo(const DeleteCase& c, std::ostream* os) {
    *os << c.name;
}

class DeleteFromCallback : public ::testing::TestWithParam<DeleteCase> {};

TEST_P(DeleteFromCallback, RecordThreadLeavesTheFreedRecorderAlone) {
    it::TempDir dir;
    HostCallback host;
    IRecordMp4* r = create_screen_record(nullptr);
    ASSERT_NE(r, nullptr);
    // An output that cannot be opened ends the recording at once.
    const std::string file = GetParam().hostStops ? dir.path() + "/out.mp4" : "/nonexistent/x.mp4";
    Configure(r, file);
    r->setCallback(&host);
    host.owned = r;
    r->startRecord();
    if (GetParam().hostStops) {
        it::SleepMs(1500);
        const unsigned ms = r->stopRecord();  // the callback deletes r meanwhile
        EXPECT_GT(ms, 1000u);
        EXPECT_TRUE(DecodeFile(file).ok);
    }
    for (int i = 0; i < 100 && host.calls == 0; ++i)
        it::SleepMs(50);
    it::SleepMs(300);  // the record thread's last steps, on freed memory if it still used it
    EXPECT_EQ(host.calls.load(), 1);
    EXPECT_EQ(host.owned.load(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Recorder, DeleteFromCallback,
                         ::testing::Values(DeleteCase{"StoppedByHost", true},
                                           DeleteCase{"EndedByItself", false}),
                         [](const ::testing::TestParamInfo<DeleteCase>& i) {
                             return i.param.name;
                         });

// ---- one recording per start ---------------------------------------------------------------

TEST(RecorderModes, ModeChangeDuringRecordingWaitsForTheNextOne) {
    it::TempDir dir;
    const std::string file = dir.path() + "/mode.mp4";
    HostCallback host;
    std::unique_ptr<IRecordMp4> r(create_screen_record(nullptr));
    Configure(r.get(), file);
    r->setCallback(&host);
    r->setAudioMode(1);
    r->startRecord();
    it::SleepMs(1000);
    r->setAudioMode(2);
    it::SleepMs(1000);
    r->stopRecord();
    EXPECT_EQ(host.calls.load(), 1);
    const Video v = DecodeFile(file);
    ASSERT_TRUE(v.ok);
    EXPECT_GT(v.info.videoDuration, 1.5) << "the file was written over by a second recording";
}

struct StartCase {
    const char* name;
    IRecordMp4* (*create)(HWND);
};

void PrintTo(const StartCase& c, std::ostream* os) {
    *os << c.name;
}

class SecondStart : public ::testing::TestWithParam<StartCase> {};

TEST_P(SecondStart, KeepsTheRunningClock) {
    it::TempDir dir;
    std::unique_ptr<IRecordMp4> r(GetParam().create(nullptr));
    Configure(r.get(), dir.path() + "/twice.mp4");
    r->startRecord();
    it::SleepMs(1000);
    r->startRecord();
    it::SleepMs(1000);
    EXPECT_GT(r->stopRecord(), 1800u);
}

INSTANTIATE_TEST_SUITE_P(Recorder, SecondStart,
                         ::testing::Values(StartCase{"Mp4", create_screen_record},
                                           StartCase{"H264", create_screen_h246_record}),
                         [](const ::testing::TestParamInfo<StartCase>& i) { return i.param.name; });

// ---- a frozen sound server -----------------------------------------------------------------

// Thaws the server whatever happens.
struct Freezer {
    pid_t pid;
    void Freeze() { kill(pid, SIGSTOP); }
    void Thaw() { kill(pid, SIGCONT); }
    ~Freezer() { Thaw(); }
};

TEST(RecorderSoundServer, FrozenServerStallsNeitherPictureNorStop) {
    vistrec::test::PulseServer server;
    std::string why;
    ASSERT_TRUE(server.Start(&why)) << why;
    server.ExportServer();
    Freezer freezer{server.pid()};
    ASSERT_GT(freezer.pid, 0);
    it::TempDir dir;
    const std::string tone = dir.path() + "/tone.wav";
    ASSERT_TRUE(
        vistrec::test::WriteWav(tone, 48000, 2, vistrec::test::Sine(48000, 30.0, 440.0, 0.3)));
    vistrec::test::Child player = server.Play(tone, "vistrec_play");
    it::SleepMs(500);

    const std::string file = dir.path() + "/frozen.mp4";
    std::unique_ptr<IRecordMp4> r(create_screen_record(nullptr));
    Configure(r.get(), file);
    r->setAudioMode(2);
    const int64_t t0 = it::MonotonicMs();
    auto at = [t0](int ms) {
        it::SleepMs(static_cast<int>(std::max<int64_t>(0, t0 + ms - it::MonotonicMs())));
    };
    r->startRecord();
    at(2000);
    freezer.Freeze();
    at(2500);
    r->pauseRecord();
    at(3000);
    r->resumeRecord();  // reopens the capture: the server does not answer
    at(5000);
    freezer.Thaw();
    at(9000);
    freezer.Freeze();
    r->pauseRecord();
    at(9500);
    const int64_t s = it::MonotonicMs();  // the stop ends the pause first
    r->stopRecord();
    const int64_t stopMs = it::MonotonicMs() - s;
    freezer.Thaw();
    r.reset();

    printf("[ measured ] stopRecord with the server frozen: %lld ms\n",
           static_cast<long long>(stopMs));
    EXPECT_LE(stopMs, 1000);
    const Video v = DecodeFile(file);
    ASSERT_TRUE(v.ok);
    printf("[ measured ] longest gap between frames: %.3f s\n", v.maxGap);
    EXPECT_LE(v.maxGap, 0.2) << "the picture stalled while the server was frozen";
    // File time runs 0.5 s behind the wall clock after the pause: thawed at file time 4.5.
    const vistrec::test::AudioTrack a = vistrec::test::DecodeAudio(file);
    ASSERT_TRUE(a.error.empty()) << a.error;
    double before = 0.0, after = 0.0;
    for (double t = 0.5; t < 1.5; t += 0.25)
        before = std::max(before, a.Tone(t, 0.25, 440.0));
    for (double t = 6.5; t < 8.0; t += 0.25)
        after = std::max(after, a.Tone(t, 0.25, 440.0));
    printf("[ measured ] tone before the freeze %.3f, after the thaw %.3f\n", before, after);
    EXPECT_GT(before, 0.05);
    EXPECT_GT(after, 0.05) << "the sound did not return after the thaw";
}

}  // namespace

int main(int argc, char** argv) {
    return vistrec::test::RecorderTestMain(argc, argv);
}
