// The rules that turn reported damage into the boxes a frame grabs.
#include <gtest/gtest.h>

#include "capture/DamageRegion.h"

namespace {

using damage::Box;

struct AlignCase {
    Box in, out;
};
TEST(DamageRegion, AlignsOutwardsToTheChromaGridAndClips) {
    const AlignCase cases[] = {
        {{3, 5, 1, 1}, {2, 4, 2, 2}},               // one odd pixel: its whole 2x2 block
        {{2, 4, 2, 2}, {2, 4, 2, 2}},               // already aligned
        {{1, 1, 4, 4}, {0, 0, 6, 6}},               // both corners widened
        {{-3, -3, 6, 6}, {0, 0, 4, 4}},             // clipped at the near edges
        {{1270, 715, 40, 40}, {1270, 714, 10, 6}},  // and at the far ones
        {{10, 10, 0, 5}, {}},                       // empty
        {{2000, 10, 5, 5}, {}},                     // outside
    };
    for (const AlignCase& c : cases)
        EXPECT_EQ(damage::AlignToChroma(c.in, 1280, 720), c.out)
            << c.in.x << "," << c.in.y << " " << c.in.w << "x" << c.in.h;
}

struct MergeCase {
    const char* what;
    std::vector<Box> in, out;
};
TEST(DamageRegion, MergesOverlappingAndNearBoxesOnly) {
    const MergeCase cases[] = {
        {"nothing", {}, {}},
        {"overlapping", {{0, 0, 100, 100}, {50, 50, 100, 100}}, {{0, 0, 150, 150}}},
        {"contained", {{0, 0, 100, 100}, {10, 10, 10, 10}}, {{0, 0, 100, 100}}},
        {"side by side", {{0, 0, 100, 50}, {100, 0, 100, 50}}, {{0, 0, 200, 50}}},
        {"a small gap", {{0, 0, 100, 100}, {110, 0, 100, 100}}, {{0, 0, 210, 100}}},
        {"far apart",
         {{0, 0, 100, 100}, {600, 400, 100, 100}},
         {{0, 0, 100, 100}, {600, 400, 100, 100}}},
        {"glyphs of a line",
         {{10, 10, 7, 12}, {19, 10, 7, 12}, {28, 10, 7, 12}},
         {{10, 10, 26, 12}}},
        {"most of the picture", {{0, 0, 1000, 500}}, {{0, 0, 1280, 720}}},
    };
    for (const MergeCase& c : cases)
        EXPECT_EQ(damage::Merge(c.in, 1280, 720), c.out) << c.what;
}

TEST(DamageRegion, ManyBoxesAreBoundedAndCoverEveryChange) {
    // A grid of far-apart dots, then thousands of glyph-sized rectangles.
    for (const int count : {40, 3000}) {
        std::vector<Box> in;
        for (int i = 0; i < count; ++i)
            in.push_back(Box{(i * 97) % 1270, (i * 53) % 710, 5, 7});
        const std::vector<Box> out = damage::Merge(in, 1280, 720);
        EXPECT_LE(out.size(), damage::kMaxBoxes) << count;
        for (size_t i = 0; i < out.size(); ++i)
            for (size_t j = i + 1; j < out.size(); ++j)
                EXPECT_FALSE(damage::Intersects(out[i], out[j])) << count;
        for (const Box& b : in) {
            int64_t covered = 0;
            for (const Box& o : out)
                covered += damage::Intersection(b, o).Area();
            EXPECT_EQ(covered, b.Area()) << count << ": " << b.x << "," << b.y;
        }
    }
}

}  // namespace
