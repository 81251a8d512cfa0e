// The output check before a recording: no trace left, and a reason for what cannot be written.
#include "OutputCheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/TempDir.h"

using namespace vistrec_cli;

TEST(OutputCheck, WritablePathsPassAndLeaveNoTrace) {
    vistrec::test::TempDir dir;
    const std::string fresh = dir.File("new.mp4");
    EXPECT_EQ(CheckOutputWritable(fresh), "");
    EXPECT_EQ(FileSize(fresh), -1) << "the probe file must be removed";
    // An existing file keeps its content until the recorder replaces it.
    const std::string existing = dir.Write("old.mp4", "previous take");
    EXPECT_EQ(CheckOutputWritable(existing), "");
    EXPECT_EQ(FileSize(existing), 13) << "previous take";
}

TEST(OutputCheck, UnwritablePathsAreRefusedWithTheReason) {
    vistrec::test::TempDir dir;
    ASSERT_EQ(mkdir(dir.File("sub.mp4").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.File("locked").c_str(), 0555), 0);
    dir.Write("plain", "x");
    ASSERT_EQ(chmod(dir.Write("ro.mp4", "x").c_str(), 0444), 0);
    struct Case {
        std::string path;
        const char* reason;
        bool asRootToo;  // root may write where permissions say no
    };
    const Case cases[] = {{dir.File("sub.mp4"), "is a folder", true},
                          {dir.File("nowhere/x.mp4"), "No such file or directory", true},
                          {dir.File("plain/x.mp4"), "is not a folder", true},
                          {"/dev/null", "not a regular file", true},
                          {dir.File("locked/x.mp4"), "Permission denied", false},
                          {dir.File("ro.mp4"), "Permission denied", false}};
    for (const Case& c : cases) {
        const std::string error =
            geteuid() == 0 && !c.asRootToo ? c.reason : CheckOutputWritable(c.path);
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.path << ": " << error;
    }
}
