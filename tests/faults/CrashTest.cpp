// A host recording the scene with sound, killed (SIGKILL) at a random moment, ten times: every
// file plays, pictures and sound, up to within 2 s of the kill.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <random>

#include "SoundChecks.h"

namespace vistrec::test {
namespace {

constexpr int kRuns = 10;
constexpr int64_t kMaxLossMs = 2000;

using Crash = SoundRecorderTest;

TEST_F(Crash, KilledHostLeavesAFileThatPlaysToTheKill) {
    const std::string tone = dir_.File("tone.wav");
    ASSERT_TRUE(WriteWav(tone, kTrackRate, 1, Sine(kTrackRate, 120.0, 440.0, 0.5)));
    Child player = pulse_.Play(tone, "vistrec_play");
    const unsigned seed = std::random_device()();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> killAfterMs(500, 6000);
    std::printf("[ measured ] seed %u\n", seed);
    int64_t worstMs = 0;
    for (int run = 0; run < kRuns; ++run) {
        const std::string file = dir_.File("crash" + std::to_string(run) + ".mp4");
        Child host;
        std::string line;
        ASSERT_TRUE(host.Spawn({ExePath(), "--crash-host", file}, nullptr, "|"));
        ASSERT_TRUE(host.ReadLine(&line, 20000) && line == "recording") << line;
        const int64_t startMs = MonotonicMs();
        SleepMs(killAfterMs(random));
        const int64_t killMs = MonotonicMs();
        host.Signal(SIGKILL);

        SCOPED_TRACE("killed " + std::to_string(killMs - startMs) + " ms after the start");
        // A file without pictures holds nothing since the start.
        const VideoTrack video = DecodeVideoTrack(file);
        int64_t pictureMs = startMs, soundMs = startMs;
        for (const int64_t counter : video.counters)
            pictureMs = std::max(pictureMs, scene_.startMs() + counter * 1000 / kSceneFps);
        const AudioTrack sound = DecodeAudio(file);
        const double zeroMs = video.WallAtZero(scene_.startMs(), kSceneFps);
        if (zeroMs > 0 && sound.error.empty())
            soundMs = static_cast<int64_t>(zeroMs + sound.pcmEnd() * 1000.0);
        std::printf(
            "[ measured ] kill at %5lld ms: %3zu pictures, pictures to %5lld ms and sound "
            "to %5lld ms before it, tone %.2f\n",
            static_cast<long long>(killMs - startMs), video.counters.size(),
            static_cast<long long>(killMs - pictureMs), static_cast<long long>(killMs - soundMs),
            sound.Tone(std::max(0.0, sound.pcmEnd() - 1.0), 0.5, 440.0));
        EXPECT_TRUE(video.error.empty() || video.counters.empty()) << video.error;
        EXPECT_LE(killMs - pictureMs, kMaxLossMs);
        EXPECT_LE(killMs - soundMs, kMaxLossMs) << sound.error;
        worstMs = std::max({worstMs, killMs - pictureMs, killMs - soundMs});
    }
    std::printf("[ measured ] %d kills: at most %lld ms lost\n", kRuns,
                static_cast<long long>(worstMs));
}

}  // namespace
}  // namespace vistrec::test

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--crash-host") {  // records until killed
        av_log_set_level(AV_LOG_QUIET);
        vistrec::test::RecorderPtr r = vistrec::test::NewRecorder(argv[2], 1.0, 1);
        r->startRecord();
        std::printf("recording\n");
        std::fflush(stdout);
        for (;;)
            pause();
    }
    return vistrec::test::RecorderTestMain(argc, argv);
}
