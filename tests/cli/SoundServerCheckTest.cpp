// The sound server check answers in time whether the server runs, is gone or hangs.
#include "SoundServerCheck.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "common/PulseFixture.h"
#include "common/TempDir.h"

using namespace vistrec_cli;
using namespace vistrec::test;

TEST(SoundServerCheck, ARunningServerIsReachableAndAStoppedOneIsNot) {
    PulseServer server;
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    server.ExportServer();
    EXPECT_EQ(CheckSoundServer(), "");
    // A server that has gone: the socket is left behind and refuses at once.
    server.Kill();
    const int64_t start = MonotonicMs();
    EXPECT_NE(CheckSoundServer(), "");
    EXPECT_LT(MonotonicMs() - start, kSoundServerTimeoutMs);
}

TEST(SoundServerCheck, NoServerOrAHungOneIsReportedWithinTheTimeLimit) {
    TempDir dir;
    const std::string path = dir.File("hung");
    setenv("PULSE_SERVER", ("unix:" + dir.File("no-server")).c_str(), 1);
    EXPECT_NE(CheckSoundServer(), "");
    // A socket that takes connections but never answers, as a stopped server does.
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{AF_UNIX, {}};
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    setenv("PULSE_SERVER", ("unix:" + path).c_str(), 1);
    const int64_t start = MonotonicMs();
    const std::string reason = CheckSoundServer(300);
    const int64_t ms = MonotonicMs() - start;
    unsetenv("PULSE_SERVER");
    close(listener);
    EXPECT_NE(reason.find("300 ms"), std::string::npos) << reason;
    EXPECT_GE(ms, 300);
    EXPECT_LT(ms, 1500);
}
