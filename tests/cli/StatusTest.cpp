#include "Status.h"

#include <gtest/gtest.h>

using namespace vistrec_cli;

TEST(Status, ElapsedTimeFramesAndSizeAreFormattedAsShown) {
    EXPECT_EQ(FormatElapsed(0), "00:00.0");
    EXPECT_EQ(FormatElapsed(99), "00:00.0");  // tenths are truncated
    EXPECT_EQ(FormatElapsed(61234), "01:01.2");
    EXPECT_EQ(FormatElapsed(5999999), "99:59.9");
    EXPECT_EQ(FormatElapsed(6000000), "100:00.0");
    EXPECT_EQ(FormatElapsed(-5), "00:00.0");

    // The frame index the recorder has reached: elapsed x rate / 1000, truncated.
    EXPECT_EQ(FramesDue(5000, 20), 100);
    EXPECT_EQ(FramesDue(49, 20), 0);
    EXPECT_EQ(FramesDue(50, 20), 1);
    EXPECT_EQ(FramesDue(1000LL * 3600 * 24 * 365, 30), 946080000LL);
    EXPECT_EQ(FramesDue(5000, 0), 0);
    EXPECT_EQ(FramesDue(-1, 20), 0);

    EXPECT_EQ(FormatMegabytes(0), "0.00 MB");
    EXPECT_EQ(FormatMegabytes(1250000), "1.25 MB");
    EXPECT_EQ(FormatMegabytes(-1), "0.00 MB");

    EXPECT_EQ(StatusLine(62300, 20, 1250000, false),
              "REC 01:02.3  frames due 1246 @ 20 fps  1.25 MB");
    EXPECT_EQ(StatusLine(62300, 20, 1250000, true),
              "PAUSED 01:02.3  frames due 1246 @ 20 fps  1.25 MB");
    EXPECT_EQ(StatusLine(1000, 0, 0, false), "REC 00:01.0  frames due ?  0.00 MB");
}

TEST(Status, RecordingClockLeavesPausesOut) {
    using std::chrono::milliseconds;
    const RecordingClock::Clock::time_point t0{};
    RecordingClock clock(t0);
    EXPECT_EQ(clock.recordedMs(t0 + milliseconds(1500)), 1500);

    clock.pause(t0 + milliseconds(2000));
    EXPECT_TRUE(clock.paused());
    EXPECT_EQ(clock.recordedMs(t0 + milliseconds(3000)), 2000);  // frozen while paused
    clock.pause(t0 + milliseconds(3500));                        // a second pause is ignored
    clock.resume(t0 + milliseconds(4000));
    EXPECT_FALSE(clock.paused());
    EXPECT_EQ(clock.recordedMs(t0 + milliseconds(5000)), 3000);
    clock.resume(t0 + milliseconds(6000));  // resume while running is ignored
    EXPECT_EQ(clock.recordedMs(t0 + milliseconds(6000)), 4000);

    // A 10 s run with one 2 s pause has recorded 8 s.
    RecordingClock run(t0);
    run.pause(t0 + milliseconds(3000));
    run.resume(t0 + milliseconds(5000));
    EXPECT_EQ(run.recordedMs(t0 + milliseconds(10000)), 8000);
}

TEST(Status, LevelTextIsReadOnlyWhenItIsALevel) {
    auto parse = [](const std::string& bytes) {
        return ParseLevelText(bytes.data(), bytes.size());
    };
    // As the library writes it: the decimal text and its zero, at the start of the block.
    EXPECT_EQ(parse(std::string("31\0\0\0", 5)), 31);
    EXPECT_EQ(parse(std::string("0\0", 2)), 0);
    EXPECT_EQ(parse(std::string("100\0", 4)), 100);
    EXPECT_EQ(parse(std::string("7\0"
                                "99",
                                4)),
              7);                // bytes after the zero are left-overs
    EXPECT_EQ(parse("42"), 42);  // read ended before the zero
    EXPECT_EQ(parse("007"), 7);
    // A fresh block, a foreign or torn text: no level.
    EXPECT_FALSE(parse(std::string(16, '\0')));
    EXPECT_FALSE(parse(""));
    EXPECT_FALSE(parse("101"));
    EXPECT_FALSE(parse("0100"));
    EXPECT_FALSE(parse("-1"));
    EXPECT_FALSE(parse(" 5"));
    EXPECT_FALSE(parse("5x"));
    EXPECT_FALSE(parse("999"));

    EXPECT_EQ(FormatLevelMeter(std::nullopt), "level [          ] --");
    EXPECT_EQ(FormatLevelMeter(0), "level [          ] 0");
    EXPECT_EQ(FormatLevelMeter(4), "level [          ] 4");  // under half a cell
    EXPECT_EQ(FormatLevelMeter(5), "level [#         ] 5");
    EXPECT_EQ(FormatLevelMeter(31), "level [###       ] 31");
    EXPECT_EQ(FormatLevelMeter(95), "level [##########] 95");
    EXPECT_EQ(FormatLevelMeter(100), "level [##########] 100");
}
