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

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Runs a given body as its thread.
class BodyThread : public CCmThread {
  public:
    explicit BodyThread(std::function<void(BodyThread&)> body) : m_body(std::move(body)) {}
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

// Turns the lifecycle markers on so that the tests can read them from standard error.
void EnableDebugOutput() {
    setenv("VISTREC_DEBUG_OUTPUT", "1", 1);
}

}  // namespace

TEST(CmThread, StopWithoutThreadAndFromInsideRun) {
    EnableDebugOutput();
    std::atomic<int> runs{0};
    BodyThread idle([&](BodyThread&) { ++runs; });
    testing::internal::CaptureStderr();
    EXPECT_TRUE(idle.Stop(CEvent::kInfinite));
    EXPECT_TRUE(idle.Stop(0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(idle.IsRunning());
    EXPECT_EQ(runs.load(), 0);

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
    EnableDebugOutput();
    std::atomic<int> finished{0};
    BodyThread worker([&](BodyThread&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        ++finished;
    });
    for (int round = 1; round <= 3; ++round) {
        testing::internal::CaptureStderr();
        ASSERT_TRUE(worker.Start());
        EXPECT_TRUE(worker.IsRunning());
        EXPECT_TRUE(worker.Stop(CEvent::kInfinite));
        const std::string markers = testing::internal::GetCapturedStderr();
        // Each Stop waited for its own run, not for an earlier run's exit.
        EXPECT_EQ(finished.load(), round);
        EXPECT_FALSE(worker.IsRunning());
        EXPECT_EQ(markers,
                  "stopevent wait start-----------------"
                  "stopevent wait end noraml-----------------");
    }

    // A run that ended on its own is joined by the next Start.
    ASSERT_TRUE(worker.Start());
    while (worker.IsRunning())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(worker.Start());
    EXPECT_TRUE(worker.Stop(CEvent::kInfinite));
    EXPECT_EQ(finished.load(), 5);
}

TEST(CmThread, StartWhileRunningAndStopTimeout) {
    EnableDebugOutput();
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
    const long long waitedMs = MsSince(start);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "stopevent wait start-----------------"
              "stopevent wait end exception-----------------");
    EXPECT_GE(waitedMs, 55);
    EXPECT_TRUE(blocked.IsRunning());
    // Still running, even though no longer joined: no second thread.
    EXPECT_FALSE(blocked.Start());

    release.Set();
    while (blocked.IsRunning())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(runs.load(), 1);
    // The object is usable again.
    ASSERT_TRUE(blocked.Start());
    EXPECT_TRUE(blocked.Stop(CEvent::kInfinite));
    EXPECT_EQ(runs.load(), 2);
}
