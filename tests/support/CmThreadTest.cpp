// The worker thread base: Stop from outside and from inside its run, restarts, and a Stop that
// times out, with the lifecycle markers written to standard error.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "support/CmThread.h"
#include "support/Event.h"

namespace {

using Clock = std::chrono::steady_clock;
const char kWaited[] =
    "stopevent wait start-----------------stopevent wait end noraml-----------------";
const char kTimedOut[] =
    "stopevent wait start-----------------stopevent wait end exception-----------------";

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Runs a given body as its thread, with the lifecycle markers on.
class BodyThread : public CCmThread {
  public:
    explicit BodyThread(std::function<void(BodyThread&)> body) : m_body(std::move(body)) {
        setenv("VISTREC_DEBUG_OUTPUT", "1", 1);
    }
    ~BodyThread() override { Stop(CEvent::kInfinite); }
    using CCmThread::Start;

  protected:
    int run() override {
        m_body(*this);
        return 0;
    }

  private:
    std::function<void(BodyThread&)> m_body;
};

void WaitUntilDone(const CCmThread& t) {
    while (t.IsRunning())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TEST(CmThread, StopWithoutThreadAndFromInsideRun) {
    BodyThread idle([](BodyThread&) {});
    testing::internal::CaptureStderr();
    EXPECT_TRUE(idle.Stop(CEvent::kInfinite));
    EXPECT_TRUE(idle.Stop(0));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());

    std::atomic<bool> selfStop{true}, selfStart{true};
    std::atomic<long long> selfStopMs{-1};
    BodyThread self([&](BodyThread& t) {
        const Clock::time_point start = Clock::now();
        selfStop = t.Stop(CEvent::kInfinite);
        selfStopMs = MsSince(start);
        selfStart = t.Start();
    });
    ASSERT_TRUE(self.Start());
    EXPECT_TRUE(self.Stop(CEvent::kInfinite));
    EXPECT_FALSE(selfStop.load());
    EXPECT_LT(selfStopMs.load(), 500);
    EXPECT_FALSE(selfStart.load());
    EXPECT_FALSE(self.IsRunning());
}

TEST(CmThread, StopWaitsForEveryRunOfARestartedObject) {
    std::atomic<int> finished{0};
    BodyThread worker([&](BodyThread&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        ++finished;
    });
    for (int round = 1; round <= 3; ++round) {
        testing::internal::CaptureStderr();
        ASSERT_TRUE(worker.Start());
        EXPECT_TRUE(worker.Stop(CEvent::kInfinite));
        EXPECT_EQ(kWaited, testing::internal::GetCapturedStderr());
        // Each Stop waited for its own run, not for an earlier run's exit.
        EXPECT_EQ(round, finished.load());
        EXPECT_FALSE(worker.IsRunning());
    }
    // A run that ended on its own is joined by the next Start.
    ASSERT_TRUE(worker.Start());
    WaitUntilDone(worker);
    ASSERT_TRUE(worker.Start());
    EXPECT_TRUE(worker.Stop(CEvent::kInfinite));
    EXPECT_EQ(5, finished.load());
}

TEST(CmThread, StartWhileRunningAndStopTimeout) {
    // Static: after a timed-out Stop the thread is left to finish on its own, so the object and
    // what its body uses must outlive it.
    static CEvent release(true, false);
    static std::atomic<int> runs{0};
    static BodyThread blocked([](BodyThread&) {
        ++runs;
        release.Wait();
    });
    ASSERT_TRUE(blocked.Start());
    EXPECT_FALSE(blocked.Start());
    testing::internal::CaptureStderr();
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(blocked.Stop(60));
    EXPECT_GE(MsSince(start), 55);
    EXPECT_EQ(kTimedOut, testing::internal::GetCapturedStderr());
    // Still running, even though no longer joined: no second thread.
    EXPECT_TRUE(blocked.IsRunning());
    EXPECT_FALSE(blocked.Start());
    release.Set();
    WaitUntilDone(blocked);
    EXPECT_EQ(1, runs.load());
    ASSERT_TRUE(blocked.Start());  // usable again
    EXPECT_TRUE(blocked.Stop(CEvent::kInfinite));
    EXPECT_EQ(2, runs.load());
}

}  // namespace
