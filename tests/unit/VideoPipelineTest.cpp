// The capture -> encoder hand-off: order, the queue's bound, drops, repeats of the last picture.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "src/VideoPipeline.h"

namespace {

TEST(VideoPipeline, ABusyEncoderDropsWhatTheQueueCannotHoldAndARepeatReusesTheLastPicture) {
    std::mutex mutex;
    std::condition_variable cv;
    bool busy = false, open = false;  // the encoder is held in its first frame
    std::vector<std::pair<int64_t, const AVFrame*>> encoded;
    CVideoPipeline pipeline;
    ASSERT_TRUE(
        pipeline.Start(AV_PIX_FMT_YUV420P, 64, 48, [&](AVFrame* picture, int64_t index, bool) {
            std::unique_lock<std::mutex> lock(mutex);
            busy = true;
            cv.notify_all();
            cv.wait(lock, [&] { return open; });
            encoded.emplace_back(index, picture);
            return static_cast<int>(index * 10);
        }));
    AVFrame* p0 = pipeline.Acquire();
    ASSERT_NE(nullptr, p0);
    EXPECT_EQ(0, p0->data[0][0]);  // pictures start zeroed
    pipeline.Submit(p0, 0);
    {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return busy; });
    }
    // Frame 0 is being encoded: two more fit in the queue, the third is dropped.
    AVFrame* p1 = pipeline.Acquire();
    ASSERT_NE(nullptr, p1);
    pipeline.Submit(p1, 1);
    AVFrame* p2 = pipeline.Acquire();
    ASSERT_NE(nullptr, p2);
    pipeline.Repeat(p2, 2);  // nothing new: frame 2 is frame 1's picture again
    EXPECT_EQ(nullptr, pipeline.Acquire());
    EXPECT_EQ(1, pipeline.Dropped());
    EXPECT_EQ(3u, std::set<const AVFrame*>({p0, p1, p2}).size());
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
    }
    cv.notify_all();
    pipeline.Finish();  // encodes what was queued
    const std::vector<std::pair<int64_t, const AVFrame*>> expected = {{0, p0}, {1, p1}, {2, p1}};
    EXPECT_EQ(expected, encoded);
    EXPECT_EQ(20, pipeline.LastResult());
}

}  // namespace
