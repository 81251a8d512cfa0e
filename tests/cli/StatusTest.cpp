// The status line's figures: recorded time without the pauses, and the published level read
// only when it is one.
#include "Status.h"

#include <gtest/gtest.h>

using namespace vistrec_cli;

TEST(Status, RecordedTimeLeavesPausesOutAndIgnoresRepeatedRequests) {
    using std::chrono::milliseconds;
    const RecordingClock::Clock::time_point t0{};
    RecordingClock clock(t0);
    clock.pause(t0 + milliseconds(2000));
    EXPECT_EQ(clock.recordedMs(t0 + milliseconds(3000)), 2000);  // frozen while paused
    clock.pause(t0 + milliseconds(3500));                        // a second pause is ignored
    clock.resume(t0 + milliseconds(4000));
    EXPECT_EQ(clock.recordedMs(t0 + milliseconds(5000)), 3000);
    clock.resume(t0 + milliseconds(6000));  // resume while running is ignored
    EXPECT_EQ(clock.recordedMs(t0 + milliseconds(6000)), 4000);
}

TEST(Status, LevelTextIsReadOnlyWhenItIsALevel) {
    const std::pair<std::string, std::optional<int>> cases[] = {
        {std::string("31\0\0\0", 5), 31},  // as the library writes it
        {std::string("100\0", 4), 100},
        {std::string("7\00099", 4), 7},         // left-overs of a longer text after the zero
        {"42", 42},                             // read ended before the zero
        {std::string(16, '\0'), std::nullopt},  // a fresh block
        {"", std::nullopt},
        {"101", std::nullopt},
        {"0100", std::nullopt},
        {"-1", std::nullopt},
        {" 5", std::nullopt},
        {"5x", std::nullopt}};
    for (const auto& [bytes, level] : cases)
        EXPECT_EQ(ParseLevelText(bytes.data(), bytes.size()), level) << bytes;
}
