// The sound server check answers within its time limit, whether the server runs, is gone or
// hangs.
#include "SoundServerCheck.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "common/TempDir.h"
#include "common/PulseFixture.h"

using namespace vistrec_cli;
using vistrec::test::PulseServer;

namespace {

// Sets PULSE_SERVER for one scope and restores it afterwards.
class PulseServerVariable {
  public:
    explicit PulseServerVariable(const std::string& value) {
        const char* old = std::getenv("PULSE_SERVER");
        hadOld_ = old != nullptr;
        old_ = old ? old : "";
        setenv("PULSE_SERVER", value.c_str(), 1);
    }
    ~PulseServerVariable() {
        if (hadOld_) {
            setenv("PULSE_SERVER", old_.c_str(), 1);
        } else {
            unsetenv("PULSE_SERVER");
        }
    }
    PulseServerVariable(const PulseServerVariable&) = delete;
    PulseServerVariable& operator=(const PulseServerVariable&) = delete;

  private:
    bool hadOld_ = false;
    std::string old_;
};

int64_t MillisecondsOf(const std::function<void()>& work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

}  // namespace

TEST(SoundServerCheck, ARunningServerIsReachableAndAStoppedOneIsNot) {
    PulseServer server;
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    server.ExportServer();
    EXPECT_EQ(CheckSoundServer(), "");

    // A server that has gone: the socket is left behind and refuses at once.
    server.Kill();
    std::string reason;
    int64_t ms = MillisecondsOf([&] { reason = CheckSoundServer(); });
    EXPECT_FALSE(reason.empty());
    EXPECT_LT(ms, kSoundServerTimeoutMs);
    server.Stop();
}

TEST(SoundServerCheck, NoServerOrAHungOneIsReportedWithinTheTimeLimit) {
    vistrec::test::TempDir dir;
    {
        PulseServerVariable missing("unix:" + dir.File("no-server"));
        std::string reason = CheckSoundServer();
        EXPECT_FALSE(reason.empty());
    }

    // A socket that takes connections but never answers, as a stopped server does.
    const std::string path = dir.File("hung");
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    {
        PulseServerVariable hung("unix:" + path);
        std::string reason;
        int64_t ms = MillisecondsOf([&] { reason = CheckSoundServer(300); });
        EXPECT_NE(reason.find("300 ms"), std::string::npos) << reason;
        EXPECT_GE(ms, 300);
        EXPECT_LT(ms, 1500);
    }
    close(listener);
}
