// The rules that turn the rectangles a damage tracker reports into the few boxes a frame grabs
// and converts: widened to the 2 x 2 chroma grid, clipped, merged where one larger box costs
// less than two, and the whole picture once most of it changed. Pure functions.
#ifndef VISTREC_CAPTURE_DAMAGEREGION_H
#define VISTREC_CAPTURE_DAMAGEREGION_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace damage {

struct Box {
    int x = 0, y = 0, w = 0, h = 0;
    bool Empty() const { return w <= 0 || h <= 0; }
    int64_t Area() const { return Empty() ? 0 : static_cast<int64_t>(w) * h; }
    bool operator==(const Box& o) const { return x == o.x && y == o.y && w == o.w && h == o.h; }
};

// Two boxes are merged when their bounding box covers at most this many pixels that neither
// covers: a grab and a conversion call cost about as much as converting that many pixels.
constexpr int64_t kMergeSlack = 64 * 64;
// Never more boxes than this per frame (each is one round trip to the display server).
constexpr size_t kMaxBoxes = 16;
// More reported rectangles than this are first gathered on a grid of kTile x kTile tiles.
constexpr size_t kExactLimit = 64;
constexpr int kTile = 64;
// Once the boxes cover more than this share of the picture, the whole picture is taken.
constexpr double kWholeShare = 0.5;

Box Intersection(const Box& a, const Box& b);
Box BoundingBox(const Box& a, const Box& b);
inline bool Intersects(const Box& a, const Box& b) {
    return !Intersection(a, b).Empty();
}

// Widens `b` to even corners (so that every 2 x 2 chroma block is whole) and clips it to the
// width x height picture.
Box AlignToChroma(const Box& b, int width, int height);

// The boxes to grab for the reported rectangles `boxes` on a width x height picture: aligned,
// clipped, merged; at most kMaxBoxes, no two overlapping; empty when nothing inside changed.
std::vector<Box> Merge(const std::vector<Box>& boxes, int width, int height);

}  // namespace damage

#endif  // VISTREC_CAPTURE_DAMAGEREGION_H
