// The recorder object's life as a host drives it through libvistrec.so, files checked by
// decoding them: deleted from onRecordEnd, started twice, a sound server frozen (SIGSTOP).
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>

#include "PulseFixture.h"
#include "RecorderFixture.h"

namespace vistrec::test {
namespace {

// Deletes `owned` on the first call, as a host cleaning up would.
struct HostCallback final : EndCounter {
    void onRecordEnd() override {
        EndCounter::onRecordEnd();
        if (IRecordMp4* r = owned.exchange(nullptr))
            delete r;
    }
    std::atomic<IRecordMp4*> owned{nullptr};
};

// The record thread leaves the recorder alone once the callback deleted it, however it ended. A
// second startRecord and an audio mode change keep the running recording: one file, one call.
TEST(Recorder, DeletedFromOnRecordEndAndKeptThroughASecondStart) {
    for (const bool hostStops : {true, false}) {
        SCOPED_TRACE(hostStops ? "stopped by the host" : "ended by itself");
        TempDir dir;
        HostCallback host;
        const std::string file = hostStops ? dir.File("out.mp4") : "/nonexistent/x.mp4";
        IRecordMp4* r = SmallRecorder(file, 1).release();
        r->setCallback(&host);
        host.owned = r;
        r->startRecord();
        if (hostStops) {
            SleepMs(1000);
            r->startRecord();
            r->setAudioMode(2);
            SleepMs(1000);
            EXPECT_GT(r->stopRecord(), 1800u);  // the callback deletes r meanwhile
            EXPECT_GT(DecodeVideoTrack(file).info.videoDuration, 1.5);
        }
        for (int i = 0; i < 100 && host.calls == 0; ++i)
            SleepMs(50);
        SleepMs(300);  // the record thread's last steps, on freed memory if it still used it
        EXPECT_EQ(host.calls.load(), 1);
        EXPECT_EQ(host.owned.load(), nullptr);
    }
}

// The same for the H.264 recorder, which has no callback.
TEST(Recorder, SecondStartKeepsTheRunningH264Recording) {
    TempDir dir;
    EndCounter host;
    RecorderPtr r = SmallRecorder(dir.File("twice.mp4"), 1, true);
    r->setCallback(&host);
    const Timeline t = Record(r.get(), 2000, {{1000, [&] {
                                                   r->startRecord();
                                                   r->setAudioMode(2);
                                               }}});
    r.reset();
    EXPECT_GT(t.recordedMs, 1800u);
    EXPECT_EQ(host.calls.load(), 0);
    EXPECT_GT(DecodeVideoTrack(dir.File("twice.mp4")).info.videoDuration, 1.5);
}

// Thaws the server whatever happens.
struct Freezer {
    pid_t pid;
    void Freeze() { kill(pid, SIGSTOP); }
    void Thaw() { kill(pid, SIGCONT); }
    ~Freezer() { Thaw(); }
};

TEST(Recorder, FrozenSoundServerStallsNeitherPictureNorStop) {
    PulseServer server;
    std::string why;
    ASSERT_TRUE(server.Start(&why)) << why;
    server.ExportServer();
    Freezer freezer{server.pid()};
    ASSERT_GT(freezer.pid, 0);
    TempDir dir;
    ASSERT_TRUE(WriteWav(dir.File("tone.wav"), 48000, 2, Sine(48000, 30.0, 440.0, 0.3)));
    Child player = server.Play(dir.File("tone.wav"), "vistrec_play");
    SleepMs(500);
    const std::string file = dir.File("frozen.mp4");
    RecorderPtr r = SmallRecorder(file, 2);
    // The resume reopens the capture while the server does not answer; the stop ends the pause.
    const Timeline t = Record(r.get(), 9500,
                              {{2000, [&] { freezer.Freeze(); }},
                               {2500, [&] { r->pauseRecord(); }},
                               {3000, [&] { r->resumeRecord(); }},
                               {5000, [&] { freezer.Thaw(); }},
                               {9000, [&] {
                                    freezer.Freeze();
                                    r->pauseRecord();
                                }}});
    freezer.Thaw();
    r.reset();
    const int64_t stopMs = t.stop - t.start - 9500;
    const VideoTrack v = DecodeVideoTrack(file);
    printf("[ measured ] stopRecord with the server frozen: %lld ms; longest gap %.3f s\n",
           static_cast<long long>(stopMs), v.MaxGap());
    EXPECT_LE(stopMs, 1000);
    EXPECT_GT(v.info.videoDuration, 7.5);
    if (kJudgeTiming) {
        EXPECT_LE(v.MaxGap(), 0.2) << "the picture stalled while the server was frozen";
    }
    // File time runs 0.5 s behind the wall clock after the pause: thawed at file time 4.5.
    const AudioTrack a = DecodeAudio(file);
    ASSERT_TRUE(a.error.empty()) << a.error;
    double before = 0.0, after = 0.0;
    for (double w = 0.5; w < 1.5; w += 0.25)
        before = std::max(before, a.Tone(w, 0.25, 440.0));
    for (double w = 6.5; w < 8.0; w += 0.25)
        after = std::max(after, a.Tone(w, 0.25, 440.0));
    printf("[ measured ] tone before the freeze %.3f, after the thaw %.3f\n", before, after);
    EXPECT_GT(before, 0.05);
    EXPECT_GT(after, 0.05) << "the sound did not return after the thaw";
}

}  // namespace
}  // namespace vistrec::test

int main(int argc, char** argv) {
    return vistrec::test::RecorderTestMain(argc, argv);
}
