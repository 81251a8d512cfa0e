// Output that fails during a recording: a full disk (a 1 MiB tmpfs) and an output folder removed
// under the recorder. The host window hears of it once with the error code, the recording ends
// by itself, stopRecord returns, and the process's memory stays flat afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Harness.h"
#include "vistrec/IRecordMp4.h"

namespace {

const char kPreset[] = "ultrafast";
const char kTune[] = "zerolatency";

// Resident memory of this process in bytes, from /proc/self/statm.
long ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

class EndFlag : public IRecordCallback {
  public:
    void onRecordEnd() override { ended = true; }
    std::atomic<bool> ended{false};
};

// A 1 MiB tmpfs mounted on `dir` when `mount` is true, unmounted again by the destructor.
class SmallDisk {
  public:
    SmallDisk(std::string dir, bool mount) : dir_(std::move(dir)) {
        mounted_ =
            mount && it::RunCommand({"mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", dir_}) == 0;
    }
    ~SmallDisk() {
        if (mounted_)
            it::RunCommand({"umount", "-l", dir_});
    }
    bool mounted() const { return mounted_; }

  private:
    std::string dir_;
    bool mounted_ = false;
};

TEST(WriteError, HostHearsOnceRecordingEndsMemoryStaysFlat) {
    struct Case {
        const char* name;
        bool fullDisk;  // else the output folder is removed 1.5 s in
        int code;
    };
    const Case cases[] = {{"full disk", true, -ENOSPC}, {"folder removed", false, -ENOENT}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        it::TempDir dir;
        const std::string folder = dir.File("out");
        std::filesystem::create_directory(folder);
        SmallDisk disk(folder, c.fullDisk);
        if (c.fullDisk && !disk.mounted()) {
            std::printf("[ skipped  ] %s: cannot mount a tmpfs here\n", c.name);
            continue;
        }
        it::XClient x;
        ASSERT_TRUE(x.ok());
        ASSERT_NE(x.CreateWindow(0, 0, 0, 10, 10, "Vistrel"), 0ul);
        it::Scene scene;
        ASSERT_TRUE(scene.Start(30));

        std::unique_ptr<IRecordMp4> r(create_screen_record(nullptr));
        ASSERT_TRUE(r);
        EndFlag end;
        r->setCallback(&end);
        const std::string file = folder + "/out.mp4";
        r->setFileName(file.c_str());
        r->setFrameRate(20);
        r->setPreset(kPreset);
        r->setTune(kTune);
        r->setMouseShow(0, 0, 0, 100);
        r->setScale(1.0);
        r->setQuality(1, 0);  // crf 23: a busy picture fills 1 MiB within seconds
        const int64_t startMs = it::MonotonicMs();
        r->startRecord();
        if (!c.fullDisk) {
            it::SleepMs(1500);
            std::filesystem::remove_all(folder);
        }
        std::vector<it::XMessage> messages;
        while (messages.empty() && it::MonotonicMs() - startMs < 30000)
            messages = x.CollectClientMessages(50, 1);
        ASSERT_EQ(messages.size(), 1u) << "no message within 30 s";
        const double heardAfter = (it::MonotonicMs() - startMs) / 1000.0;
        EXPECT_EQ(messages[0].type, "WM_RECORDER_NOTIFY");
        EXPECT_EQ(messages[0].data[2], c.code);

        // The recorder object stays; nothing it holds may grow.
        const long rssAtError = ResidentBytes();
        long rssMax = rssAtError;
        for (int i = 0; i < 30; ++i) {
            it::SleepMs(100);
            rssMax = std::max(rssMax, ResidentBytes());
        }
        const std::vector<it::XMessage> more = x.CollectClientMessages(200, 0);
        const int64_t stopMs = it::MonotonicMs();
        r->stopRecord();
        const int64_t stopTookMs = it::MonotonicMs() - stopMs;
        r.reset();
        std::printf(
            "[ measured ] %s: heard after %.1f s, RSS %.1f MiB then at most %.1f MiB over "
            "3 s, stopRecord %lld ms\n",
            c.name, heardAfter, rssAtError / 1048576.0, rssMax / 1048576.0,
            static_cast<long long>(stopTookMs));
        EXPECT_TRUE(end.ended) << "the recording went on after the error";
        EXPECT_TRUE(more.empty()) << "the error was posted more than once";
        EXPECT_LT(rssMax - rssAtError, 4L << 20);
        EXPECT_LT(stopTookMs, 1000);
    }
}

}  // namespace
