// Clock rules with injected times: pause bookkeeping, presentation
// indices of encoded packets and the low-volume check.
#include <gtest/gtest.h>

#include "src/H264WindowRecorder.h"
#include "src/LowVolumeCheck.h"
#include "src/RecordClock.h"

namespace {

TEST(RecordClock, PausesAreCountedOnceAndExcludedFromTheDuration) {
    CRecordClock clock;
    clock.Begin(5000);
    EXPECT_EQ(0, clock.Resume(7000));  // no pause: nothing changes
    EXPECT_EQ(0, clock.PauseTotal());

    clock.Pause(100000);
    clock.Pause(100400);  // a second pause keeps the first start
    EXPECT_EQ(1500, clock.Resume(101500));
    EXPECT_EQ(1500, clock.PauseTotal());
    EXPECT_EQ(1500, clock.PausedMs());
    EXPECT_FALSE(clock.m_pause);

    // 10 s with one 2 s pause in all: 8000 ms recorded.
    clock.Pause(103000);
    clock.Resume(103500);
    EXPECT_EQ(8000u, clock.Duration(5000 + 10000));

    // Stopping the video-only recorder while paused counts the pause and leaves it open.
    clock.Pause(110000);
    clock.CountOpenPause(110700);
    EXPECT_EQ(2700, clock.PauseTotal());
    EXPECT_TRUE(clock.m_pause);

    // A new recording forgets earlier pauses.
    clock.Begin(20000);
    EXPECT_EQ(0, clock.PauseTotal());
    EXPECT_FALSE(clock.m_pause);
    EXPECT_EQ(1000u, clock.Duration(21000));
}

TEST(RecordClock, TickCounterWrapAround) {
    CRecordClock clock;
    clock.Begin(0xFFFFFF00u);
    EXPECT_EQ(0x200u, clock.Duration(0x100u));
}

TEST(FrameTiming, PacketsTakeTheIndexOfTheirPicture) {
    std::map<int64_t, int32_t> map = {{0, 0}, {1, 3}, {2, 6}};
    int64_t index = 0;
    EXPECT_TRUE(CH264WindowRecorder::ResolveIndex(&map, 1, &index));
    EXPECT_EQ(3, index);
    // Drain packets after the last picture continue from it, one frame apart.
    EXPECT_TRUE(CH264WindowRecorder::ResolveIndex(&map, 3, &index));
    EXPECT_EQ(7, index);
    EXPECT_TRUE(CH264WindowRecorder::ResolveIndex(&map, 4, &index));
    EXPECT_EQ(8, index);
    // A key with no neighbour is its own index.
    EXPECT_FALSE(CH264WindowRecorder::ResolveIndex(&map, 40, &index));
    EXPECT_EQ(40, index);
}

// Runs the check over `seconds` of unpaused passes every 100 ms, returning the times (s since
// start) and codes of the warnings.
std::vector<std::pair<double, int>> RunChecks(CLowVolumeCheck* check, uint32_t* now, int seconds,
                                              int level, int threshold, bool delivered) {
    std::vector<std::pair<double, int>> posts;
    const uint32_t end = *now + seconds * 1000u;
    while (*now < end) {
        int lastLevel = level;
        const int code = check->Check(*now, &lastLevel, threshold, delivered);
        if (code)
            posts.push_back({*now / 1000.0, code});
        *now += 100;
    }
    return posts;
}

TEST(LowVolumeCheck, FirstAfterAMinuteThenEveryElevenMinutes) {
    CLowVolumeCheck check;
    uint32_t now = 0;
    check.Start(now);
    auto posts = RunChecks(&check, &now, 1000, 0, 10, true);
    ASSERT_EQ(2u, posts.size());
    EXPECT_EQ(-102, posts[0].second);
    EXPECT_NEAR(62, posts[0].first, 2);  // 30 windows of just over 2 s
    EXPECT_NEAR(62 + 600 + 62, posts[1].first, 3);

    // Without any audio delivered the code is -101; threshold 0 never warns.
    CLowVolumeCheck silent;
    now = 0;
    silent.Start(now);
    posts = RunChecks(&silent, &now, 70, 0, 10, false);
    ASSERT_EQ(1u, posts.size());
    EXPECT_EQ(-101, posts[0].second);
    CLowVolumeCheck off;
    now = 0;
    off.Start(now);
    EXPECT_TRUE(RunChecks(&off, &now, 700, 0, 0, true).empty());
}

TEST(LowVolumeCheck, OneLoudWindowSilencesItForTheRecording) {
    CLowVolumeCheck check;
    uint32_t now = 0;
    check.Start(now);
    EXPECT_TRUE(RunChecks(&check, &now, 30, 12, 10, true).empty());
    EXPECT_TRUE(RunChecks(&check, &now, 1500, 0, 10, true).empty());
}

TEST(LowVolumeCheck, PausedTimeIsNotCounted) {
    CLowVolumeCheck check;
    uint32_t now = 1000;
    check.Start(now);
    auto posts = RunChecks(&check, &now, 70, 0, 10, true);
    ASSERT_EQ(1u, posts.size());
    const double firstAt = posts[0].first;
    // Record 5 minutes, pause 5 minutes, record on: the next check starts 10 recorded minutes
    // after the first, not 10 wall-clock minutes, and takes its usual minute.
    RunChecks(&check, &now, 300, 0, 10, true);
    check.OnPauseBegin(now);
    now += 300000;
    check.OnPauseEnd(now);
    check.OnResumed(now);
    posts = RunChecks(&check, &now, 800, 0, 10, true);
    ASSERT_FALSE(posts.empty());
    EXPECT_NEAR(firstAt + 600 + 300 + 62, posts[0].first, 3);
}

}  // namespace
