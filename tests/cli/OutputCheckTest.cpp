// The output check before a recording: no trace left, and a reason for what cannot be written.
#include "OutputCheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/TempDir.h"

using namespace vistrec_cli;

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
    EXPECT_EQ(CheckOutputWritable(dir.File("new.mp4")), "");
    EXPECT_EQ(FileSize(dir.File("new.mp4")), -1) << "the probe file must be removed";
    for (const Case& c : cases) {
        const std::string error =
            geteuid() == 0 && !c.asRootToo ? c.reason : CheckOutputWritable(c.path);
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.path << ": " << error;
    }
}
