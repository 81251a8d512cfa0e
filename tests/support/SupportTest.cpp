// The worker thread base, the sound FIFO, and "Vistrel.json" beside the executable.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/Platform.h"
#include "support/CmThread.h"
#include "support/Config.h"
#include "support/Event.h"
#include "support/MemoryBuffer.h"

using namespace std::string_literals;

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
    int run() override { return m_body(*this), 0; }
    std::function<void(BodyThread&)> m_body;
};

TEST(CmThread, StopWithoutThreadAndFromInsideRun) {
    BodyThread idle([](BodyThread&) {});
    EXPECT_TRUE(idle.Stop(CEvent::kInfinite) && idle.Stop(0));
    // From inside its run, Stop returns at once and Start makes no second thread.
    std::atomic<bool> selfStop{true}, selfStart{true};
    BodyThread self(
        [&](BodyThread& t) { selfStop = t.Stop(CEvent::kInfinite), selfStart = t.Start(); });
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(self.Start());
    EXPECT_TRUE(self.Stop(CEvent::kInfinite));
    EXPECT_LT(MsSince(start), 500);
    EXPECT_FALSE(selfStop || selfStart || self.IsRunning());
}

TEST(CmThread, StopWaitsForEveryRunOfARestartedObject) {
    std::atomic<int> finished{0};
    BodyThread worker([&](BodyThread&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        ++finished;
    });
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(worker.Start());
        EXPECT_TRUE(worker.Stop(CEvent::kInfinite));
        // Each Stop waited for its own run, not for an earlier run's exit.
        EXPECT_EQ(std::make_pair(round, false),
                  std::make_pair(finished.load(), worker.IsRunning()));
    }
    // A run that ended on its own is joined by the next Start.
    ASSERT_TRUE(worker.Start());
    while (worker.IsRunning())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(worker.Start());
    EXPECT_TRUE(worker.Stop(CEvent::kInfinite));
    EXPECT_EQ(5, finished.load());
}

TEST(CmThread, StartWhileRunningAndStopTimeout) {
    // Static: a thread left running by a timed-out Stop must not outlive what it uses.
    static CEvent release(true, false);
    static std::atomic<int> runs{0};
    static BodyThread blocked([](BodyThread&) {
        ++runs;
        release.Wait();
    });
    ASSERT_TRUE(blocked.Start());
    EXPECT_FALSE(blocked.Start());
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(blocked.Stop(60));
    EXPECT_GE(MsSince(start), 55);
    // Still running, even though no longer joined: no second thread.
    EXPECT_TRUE(blocked.IsRunning() && !blocked.Start());
    release.Set();
    while (blocked.IsRunning())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(1, runs.load());
    ASSERT_TRUE(blocked.Start());  // usable again
    EXPECT_TRUE(blocked.Stop(CEvent::kInfinite));
    EXPECT_EQ(2, runs.load());
}

TEST(MemoryBuffer, ReadsFromTheFrontAndGrowsOnlyWhenFull) {
    std::vector<uint8_t> a(3000), out(5001, 0xEE);
    for (size_t i = 0; i < a.size(); ++i)
        a[i] = static_cast<uint8_t>(i % 251);
    CMemoryBuffer fifo;
    fifo.Append(a.data(), 3000);
    EXPECT_EQ(2900, fifo.Read(out.data(), 2900));
    EXPECT_EQ(0, memcmp(out.data(), a.data(), 2900));
    EXPECT_EQ(0, memcmp(fifo.Data(), a.data() + 2900, 100));  // the rest moved to the start
    fifo.Append(a.data(), 500);                               // 600 fits in 3000: no growth
    EXPECT_EQ(3000, fifo.Capacity());
    fifo.Append(a.data(), 3000);  // 3600 does not: exactly that, in order
    EXPECT_EQ(3600, fifo.Capacity());
    EXPECT_EQ(3600, fifo.Read(out.data(), 5000));  // asking for more takes what there is
    EXPECT_EQ(0, memcmp(out.data() + 600, a.data(), 3000));
    EXPECT_EQ(0xEE, out[3600]);
    // Empty, a length of zero or less, or no source: nothing taken, nothing changed.
    EXPECT_EQ(0, fifo.Read(out.data(), 100));
    fifo.Append(a.data(), -1);
    fifo.Append(nullptr, 10);
    fifo.Append(a.data(), 10);
    EXPECT_EQ(0, fifo.Read(out.data(), 0) + fifo.Read(out.data(), -5));
    EXPECT_EQ(10, fifo.Size());
    fifo.Clear();  // drops the storage
    EXPECT_EQ(std::make_tuple(0, 0, true),
              std::make_tuple(fifo.Size(), fifo.Capacity(), !fifo.Data()));
}

TEST(Config, KeysBesideTheExecutable) {
    const std::string path = vistrec::platform::ExecutableDir() + "Vistrel.json";
    const std::string rate = "{\"VISTREL_CONFIG\": {\"framerate\": ";
    struct Row {
        std::string text;  // "-": no file
        int rate, minVolume;
        bool rejected;  // said on standard output; the file counts as absent
        bool crashSafe = true;
    };
    const std::string rate15 = rate + "15}";
    std::string flat;  // 100000 members
    for (int i = 0; i < 100000; ++i)
        flat += "0,";
    std::vector<Row> rows = {
        {"-", 25, 0, false},
        {rate + "14}, \"UPLOAD_CONFIG\": {\"minVolumValue\": 5}}\n", 14, 5, false},
        {rate + "12}}\0"s + rate + "30}}", 12, 0, false},  // the text ends at a zero byte
        {rate + "\0 12}}"s, 25, 0, true},
        // A comment, a bare number root, an empty or broken file.
        {"// tuned\n" + rate + "15}}", 25, 0, true},
        {"15", 25, 0, true},
        {"", 25, 0, true},
        {rate + "}}", 25, 0, true},
        // Sections that are empty, null, not objects, or a root without members.
        {"{\"UPLOAD_CONFIG\": {}, \"VISTREL_CONFIG\": {}}", 25, 0, false},
        {"{\"UPLOAD_CONFIG\": null, \"VISTREL_CONFIG\": null}", 25, 0, false},
        {"{\"UPLOAD_CONFIG\": 5, \"VISTREL_CONFIG\": [15]}", 25, 0, false},
        {"{\"upload_config\": {\"minVolumValue\": 5}, \"framerate\": 15}", 25, 0, false},
        {"[{\"UPLOAD_CONFIG\": {\"minVolumValue\": 5}}]", 25, 0, false},
        // "crashSafe" of every type; files that are large, deeply nested or hold large members.
        {"{\"crashSafe\": false}", 25, 0, false, false},
        {rate + "15, \"crashSafe\": false}}", 15, 0, false, false},
        {"{\"crashSafe\": false, \"VISTREL_CONFIG\": {\"crashSafe\": true}}", 25, 0, false, true},
        {"[{\"crashSafe\": false}]", 25, 0, false},
        {"{\"crashSafe\": false", 25, 0, true},
        {std::string(1 << 20, ' ') + rate15 + ", \"crashSafe\": false}", 15, 0, false, false},
        {"{\"" + std::string(1 << 20, 'k') + "\": 1, " + rate15.substr(1) + "}", 15, 0, false},
        {std::string(100000, '[') + std::string(100000, ']'), 25, 0, true},
        {"{\"crashSafe\": [" + flat + "0]}", 25, 0, false}};
    // "crashSafe" other than a boolean, and values that do not count as a 32-bit integer, leave
    // the settings alone.
    for (const char* v : {"0", "\"false\"", "null", "[false]"})
        rows.push_back({"{\"crashSafe\": "s + v + "}", 25, 0, false});
    for (const char* v : {"15.0", "\"15\"", "true", "1e1", "2147483648", "4294967296", "null",
                          "[15]", "{\"v\": 15}"})
        rows.push_back(
            {rate + v + "}, \"UPLOAD_CONFIG\": {\"minVolumValue\": " + v + "}}", 25, 0, false});
    // 0 and the rates a recording can use are taken as they are; other integers give 20.
    for (const int r : {0, 2, 15, 30, 1, -1, 31, 60, 1000, -30, INT32_MAX, INT32_MIN})
        rows.push_back(
            {rate + std::to_string(r) + "}}", r == 0 || (r >= 2 && r <= 30) ? r : 20, 0, false});
    const std::string prefix = "Failed to parse file:" + path + " err: ";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text.substr(0, 80));
        std::filesystem::remove(path);
        if (row.text != "-")
            std::ofstream(path, std::ios::binary) << row.text;
        testing::internal::CaptureStdout();
        int got = 25;
        GetConfigFrameRate(nullptr, &got);
        EXPECT_EQ(row.rate, got);
        EXPECT_EQ(row.minVolume, GetConfigMinVolumeValue());
        EXPECT_EQ(row.crashSafe, GetConfigCrashSafe());
        // A rejected file is said on standard output with the parser's reason; others silently.
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(row.rejected, out.rfind(prefix, 0) == 0 && out.find('\n') > prefix.size()) << out;
        EXPECT_EQ(row.rejected, !out.empty()) << out;
    }
    std::filesystem::remove(path);
}

}  // namespace
