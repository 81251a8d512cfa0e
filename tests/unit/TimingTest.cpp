// Clock rules with injected times: pause bookkeeping and the low-volume check.
#include <gtest/gtest.h>

#include "src/LowVolumeCheck.h"
#include "src/RecordClock.h"

namespace {

TEST(RecordClock, PausesAreCountedOnceAndExcludedFromTheDuration) {
    CRecordClock clock;
    clock.Begin(5000);
    EXPECT_EQ(0, clock.Resume(7000));  // no pause: nothing changes
    clock.Pause(100000);
    clock.Pause(100400);  // a second pause keeps the first start
    EXPECT_EQ(1500, clock.Resume(101500));
    EXPECT_EQ(1500, clock.PauseTotal());
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
    // A new recording forgets earlier pauses; the tick counter may wrap.
    clock.Begin(0xFFFFFF00u);
    EXPECT_EQ(0, clock.PauseTotal());
    EXPECT_FALSE(clock.m_pause);
    EXPECT_EQ(0x200u, clock.Duration(0x100u));
}

// Runs the check over `seconds` of unpaused passes every 100 ms, returning the times (s since
// start) of the warnings; every one must carry `code`.
std::vector<double> RunChecks(CLowVolumeCheck* check, uint32_t* now, int seconds, int level,
                              int threshold, bool delivered, int code = 0) {
    std::vector<double> posts;
    for (const uint32_t end = *now + seconds * 1000u; *now < end; *now += 100) {
        int lastLevel = level;
        const int got = check->Check(*now, &lastLevel, threshold, delivered);
        if (got) {
            posts.push_back(*now / 1000.0);
            EXPECT_EQ(code, got) << *now;
        }
    }
    return posts;
}

TEST(LowVolumeCheck, FirstAfterAMinuteThenEveryElevenMinutes) {
    const struct {
        int firstLevel, level, threshold;
        bool delivered;
        int seconds, code;
        std::vector<double> at;  // warnings, give or take 3 s
    } rows[] = {
        {0, 0, 10, true, 1000, -102, {62, 62 + 600 + 62}},  // 30 windows of just over 2 s
        {0, 0, 10, false, 70, -101, {62}},                  // no audio delivered at all
        {0, 0, 0, true, 700, 0, {}},                        // threshold 0 never warns
        {12, 0, 10, true, 1500, 0, {}},  // one loud window silences it for the recording
    };
    for (const auto& r : rows) {
        CLowVolumeCheck check;
        uint32_t now = 0;
        check.Start(now);
        auto posts = RunChecks(&check, &now, 30, r.firstLevel, r.threshold, r.delivered, r.code);
        const auto rest =
            RunChecks(&check, &now, r.seconds - 30, r.level, r.threshold, r.delivered, r.code);
        posts.insert(posts.end(), rest.begin(), rest.end());
        ASSERT_EQ(r.at.size(), posts.size()) << r.code << " " << r.threshold;
        for (size_t i = 0; i < posts.size(); ++i)
            EXPECT_NEAR(r.at[i], posts[i], 3);
    }
}

TEST(LowVolumeCheck, PausedTimeIsNotCounted) {
    CLowVolumeCheck check;
    uint32_t now = 1000;
    check.Start(now);
    auto posts = RunChecks(&check, &now, 70, 0, 10, true, -102);
    ASSERT_EQ(1u, posts.size());
    // Record 5 minutes, pause 5 minutes, record on: the next check starts 10 recorded minutes
    // after the first, not 10 wall-clock minutes, and takes its usual minute.
    RunChecks(&check, &now, 300, 0, 10, true, -102);
    check.OnPauseBegin(now);
    now += 300000;
    check.OnPauseEnd(now);
    check.OnResumed(now);
    const auto later = RunChecks(&check, &now, 800, 0, 10, true, -102);
    ASSERT_FALSE(later.empty());
    EXPECT_NEAR(posts[0] + 600 + 300 + 62, later[0], 3);
}

}  // namespace
