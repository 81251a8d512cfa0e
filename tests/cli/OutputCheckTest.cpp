#include "OutputCheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/TempDir.h"

using namespace vistrec_cli;

namespace {

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace

TEST(OutputCheck, WritablePathsPassAndLeaveNoTrace) {
    vistrec::test::TempDir dir;
    const std::string fresh = dir.File("new.mp4");
    EXPECT_EQ(CheckOutputWritable(fresh), "");
    EXPECT_EQ(FileSize(fresh), -1) << "the probe file must be removed";

    // An existing file is writable and keeps its content until the recorder replaces it.
    const std::string existing = dir.Write("old.mp4", "previous take");
    EXPECT_EQ(CheckOutputWritable(existing), "");
    EXPECT_EQ(Contents(existing), "previous take");
    EXPECT_EQ(FileSize(existing), 13);

    // A bare name is checked in the current folder.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.File("").c_str()), 0);
    EXPECT_EQ(CheckOutputWritable("bare.mp4"), "");
    EXPECT_EQ(FileSize("bare.mp4"), -1);
    ASSERT_EQ(chdir(cwd), 0);
}

TEST(OutputCheck, UnwritablePathsAreRefusedWithTheReason) {
    vistrec::test::TempDir dir;
    ASSERT_EQ(mkdir(dir.File("sub.mp4").c_str(), 0755), 0);
    EXPECT_NE(CheckOutputWritable(dir.File("sub.mp4")).find("is a folder"), std::string::npos);

    std::string error = CheckOutputWritable(dir.File("nowhere/x.mp4"));
    EXPECT_NE(error.find("nowhere"), std::string::npos) << error;
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;

    dir.Write("plain", "x");
    error = CheckOutputWritable(dir.File("plain/x.mp4"));
    EXPECT_NE(error.find("is not a folder"), std::string::npos) << error;

    EXPECT_NE(CheckOutputWritable("/dev/null").find("not a regular file"), std::string::npos);
}

TEST(OutputCheck, FilesAndFoldersWithoutWritePermissionAreRefused) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "permission checks do not apply to root";
    }
    vistrec::test::TempDir dir;
    ASSERT_EQ(mkdir(dir.File("locked").c_str(), 0555), 0);
    std::string error = CheckOutputWritable(dir.File("locked/x.mp4"));
    EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
    const std::string readOnly = dir.Write("ro.mp4", "x");
    ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
    error = CheckOutputWritable(readOnly);
    EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
}
