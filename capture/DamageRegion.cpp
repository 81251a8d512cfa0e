#include "DamageRegion.h"

#include <algorithm>

namespace damage {
namespace {

// Pixels the bounding box of a and b covers that neither of them does.
int64_t MergeCost(const Box& a, const Box& b) {
    return BoundingBox(a, b).Area() - (a.Area() + b.Area() - Intersection(a, b).Area());
}

// Many small rectangles (text drawn glyph by glyph): the tiles they touch, one box per run of
// touched tiles in a row of tiles.
std::vector<Box> GatherOnTiles(const std::vector<Box>& boxes, int width, int height) {
    const int cols = (width + kTile - 1) / kTile, rows = (height + kTile - 1) / kTile;
    std::vector<uint8_t> touched(static_cast<size_t>(cols) * rows, 0);
    for (const Box& b : boxes) {
        for (int ty = b.y / kTile; ty <= (b.y + b.h - 1) / kTile; ++ty)
            for (int tx = b.x / kTile; tx <= (b.x + b.w - 1) / kTile; ++tx)
                touched[static_cast<size_t>(ty) * cols + tx] = 1;
    }
    std::vector<Box> out;
    const Box picture{0, 0, width, height};
    for (int ty = 0; ty < rows; ++ty) {
        for (int tx = 0; tx < cols;) {
            if (!touched[static_cast<size_t>(ty) * cols + tx]) {
                ++tx;
                continue;
            }
            const int start = tx;
            while (tx < cols && touched[static_cast<size_t>(ty) * cols + tx])
                ++tx;
            out.push_back(
                Intersection(Box{start * kTile, ty * kTile, (tx - start) * kTile, kTile}, picture));
        }
    }
    return out;
}

}  // namespace

Box Intersection(const Box& a, const Box& b) {
    const int x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
    const int x1 = std::min(a.x + a.w, b.x + b.w), y1 = std::min(a.y + a.h, b.y + b.h);
    if (x1 <= x0 || y1 <= y0)
        return Box{};
    return Box{x0, y0, x1 - x0, y1 - y0};
}

Box BoundingBox(const Box& a, const Box& b) {
    if (a.Empty())
        return b;
    if (b.Empty())
        return a;
    const int x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
    const int x1 = std::max(a.x + a.w, b.x + b.w), y1 = std::max(a.y + a.h, b.y + b.h);
    return Box{x0, y0, x1 - x0, y1 - y0};
}

Box AlignToChroma(const Box& b, int width, int height) {
    if (b.Empty())
        return Box{};
    // Floor of the near corner and ceiling of the far one to even numbers.
    const int x0 = b.x & ~1, y0 = b.y & ~1;
    const int x1 = (b.x + b.w + 1) & ~1, y1 = (b.y + b.h + 1) & ~1;
    return Intersection(Box{x0, y0, x1 - x0, y1 - y0}, Box{0, 0, width, height});
}

std::vector<Box> Merge(const std::vector<Box>& reported, int width, int height) {
    std::vector<Box> boxes;
    boxes.reserve(reported.size());
    for (const Box& r : reported) {
        const Box b = AlignToChroma(r, width, height);
        if (!b.Empty())
            boxes.push_back(b);
    }
    if (boxes.size() > kExactLimit)
        boxes = GatherOnTiles(boxes, width, height);
    // Merges overlapping and nearly touching boxes, then the cheapest pairs until few are left.
    for (;;) {
        size_t bestI = 0, bestJ = 0;
        int64_t bestCost = INT64_MAX;
        for (size_t i = 0; i < boxes.size(); ++i) {
            for (size_t j = i + 1; j < boxes.size(); ++j) {
                const int64_t cost =
                    Intersects(boxes[i], boxes[j]) ? INT64_MIN : MergeCost(boxes[i], boxes[j]);
                if (cost < bestCost)
                    bestCost = cost, bestI = i, bestJ = j;
            }
        }
        if (bestCost == INT64_MAX || (bestCost > kMergeSlack && boxes.size() <= kMaxBoxes))
            break;
        boxes[bestI] = BoundingBox(boxes[bestI], boxes[bestJ]);
        boxes.erase(boxes.begin() + static_cast<std::ptrdiff_t>(bestJ));
    }
    int64_t area = 0;
    for (const Box& b : boxes)
        area += b.Area();
    if (area > kWholeShare * static_cast<double>(width) * height)
        return {Box{0, 0, width, height}};
    return boxes;
}

}  // namespace damage
