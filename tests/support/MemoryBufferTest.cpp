// The sound FIFO: reads from the front, grows to exactly what it needs, keeps its capacity.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "support/MemoryBuffer.h"

namespace {

std::vector<uint8_t> Pattern(int n, int start = 0) {
    std::vector<uint8_t> bytes(n);
    for (int i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>((start + i) % 251);
    return bytes;
}

std::vector<uint8_t> Take(CMemoryBuffer* fifo, int ask, int expect) {
    std::vector<uint8_t> out(std::max(ask, 0) + 1, 0xEE);
    EXPECT_EQ(expect, fifo->Read(out.data(), ask));
    EXPECT_EQ(0xEE, out[expect]) << "wrote past what it gave";
    out.resize(expect);
    return out;
}

TEST(MemoryBuffer, ReadsFromTheFrontGrowsExactlyAndKeepsCapacity) {
    CMemoryBuffer fifo;
    const std::vector<uint8_t> a = Pattern(3000), b = Pattern(500, 77);
    fifo.Append(a.data(), 3000);
    EXPECT_EQ(std::vector<uint8_t>(a.begin(), a.begin() + 2900), Take(&fifo, 2900, 2900));
    EXPECT_EQ(0, memcmp(fifo.Data(), a.data() + 2900, 100));  // the rest moved to the start
    fifo.Append(b.data(), 500);  // 100 used + 500 fits in 3000: no growth
    EXPECT_EQ(3000, fifo.Capacity());
    fifo.Append(a.data(), 3000);  // 600 used + 3000 does not: exactly 3600, in order
    EXPECT_EQ(3600, fifo.Capacity());
    std::vector<uint8_t> all(a.begin() + 2900, a.end());
    all.insert(all.end(), b.begin(), b.end());
    all.insert(all.end(), a.begin(), a.end());
    EXPECT_EQ(all, Take(&fifo, 5000, 3600));  // asking for more takes what there is
    EXPECT_EQ(3600, fifo.Capacity());

    // Empty, a length of zero or less, or no source: nothing taken, nothing changed.
    Take(&fifo, 100, 0);
    fifo.Append(a.data(), -1);
    fifo.Append(nullptr, 10);
    fifo.Append(a.data(), 10);
    Take(&fifo, 0, 0);
    Take(&fifo, -5, 0);
    EXPECT_EQ(10, fifo.Size());
    // Clear drops the storage; the next append allocates afresh.
    fifo.Clear();
    EXPECT_EQ(0, fifo.Size());
    EXPECT_EQ(0, fifo.Capacity());
    EXPECT_EQ(nullptr, fifo.Data());
    fifo.Append(b.data(), 7);
    EXPECT_EQ(7, fifo.Capacity());
}

}  // namespace
