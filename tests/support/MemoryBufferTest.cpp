#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "support/MemoryBuffer.h"

namespace {

std::vector<uint8_t> Pattern(int n, int start = 0) {
    std::vector<uint8_t> bytes(n);
    for (int i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>((start + i) % 251);
    return bytes;
}

}  // namespace

TEST(MemoryBuffer, ReadsFromTheFrontAndKeepsCapacity) {
    CMemoryBuffer fifo;
    EXPECT_EQ(fifo.Capacity(), 0);
    EXPECT_EQ(fifo.Data(), nullptr);

    const std::vector<uint8_t> in = Pattern(3200);
    fifo.Append(in.data(), 3200);
    EXPECT_EQ(fifo.Size(), 3200);
    EXPECT_EQ(fifo.Capacity(), 3200);

    std::vector<uint8_t> out(5000, 0xEE);
    EXPECT_EQ(fifo.Read(out.data(), 1000), 1000);
    EXPECT_EQ(0, memcmp(out.data(), in.data(), 1000));
    EXPECT_EQ(fifo.Size(), 2200);
    EXPECT_EQ(fifo.Capacity(), 3200);
    // The next 1000 bytes have moved to the start.
    EXPECT_EQ(0, memcmp(fifo.Data(), in.data() + 1000, 1000));

    // Asking for more than is buffered takes what there is.
    EXPECT_EQ(fifo.Read(out.data(), 5000), 2200);
    EXPECT_EQ(0, memcmp(out.data(), in.data() + 1000, 2200));
    EXPECT_EQ(out[2200], 0xEE);
    EXPECT_EQ(fifo.Size(), 0);
    EXPECT_EQ(fifo.Capacity(), 3200);

    // Empty buffer, or a length of zero or less: nothing taken, nothing changed.
    EXPECT_EQ(fifo.Read(out.data(), 100), 0);
    fifo.Append(in.data(), 10);
    EXPECT_EQ(fifo.Read(out.data(), 0), 0);
    EXPECT_EQ(fifo.Read(out.data(), -5), 0);
    EXPECT_EQ(fifo.Size(), 10);
}

TEST(MemoryBuffer, GrowsToExactlyWhatIsNeeded) {
    CMemoryBuffer fifo;
    const std::vector<uint8_t> a = Pattern(3000);
    const std::vector<uint8_t> b = Pattern(500, 77);
    fifo.Append(a.data(), 3000);
    std::vector<uint8_t> out(4000);
    fifo.Read(out.data(), 2900);

    // 100 used + 500 fits in 3000: no growth.
    fifo.Append(b.data(), 500);
    EXPECT_EQ(fifo.Capacity(), 3000);
    // 600 used + 3000 does not: capacity becomes exactly 3600, contents kept in order.
    fifo.Append(a.data(), 3000);
    EXPECT_EQ(fifo.Capacity(), 3600);
    EXPECT_EQ(fifo.Size(), 3600);
    ASSERT_EQ(fifo.Read(out.data(), 4000), 3600);
    EXPECT_EQ(0, memcmp(out.data(), a.data() + 2900, 100));
    EXPECT_EQ(0, memcmp(out.data() + 100, b.data(), 500));
    EXPECT_EQ(0, memcmp(out.data() + 600, a.data(), 3000));

    // Negative or empty appends change nothing.
    fifo.Append(a.data(), -1);
    fifo.Append(nullptr, 10);
    EXPECT_EQ(fifo.Size(), 0);

    // Clear drops the storage; the next append allocates afresh.
    fifo.Append(a.data(), 20);
    fifo.Clear();
    EXPECT_EQ(fifo.Size(), 0);
    EXPECT_EQ(fifo.Capacity(), 0);
    EXPECT_EQ(fifo.Data(), nullptr);
    fifo.Append(b.data(), 7);
    EXPECT_EQ(fifo.Capacity(), 7);
    EXPECT_EQ(0, memcmp(fifo.Data(), b.data(), 7));
}
