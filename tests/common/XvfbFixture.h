// A private X server (Xvfb, 1920x1080x24 unless told): Start, ExportDisplay (points DISPLAY
// at it), Stop (restores DISPLAY). XvfbEnvironment: one server for a whole test program.
#ifndef VISTREC_TESTS_COMMON_XVFBFIXTURE_H
#define VISTREC_TESTS_COMMON_XVFBFIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include "Process.h"

namespace vistrec {
namespace test {

class XvfbServer {
  public:
    struct Options {
        std::string screen = "1920x1080x24";
        int display = -1;                    // -1: the first free number
        std::vector<std::string> extraArgs;  // e.g. {"-extension", "DAMAGE"}
    };
    XvfbServer() = default;
    explicit XvfbServer(Options o) : options_(std::move(o)), number_(options_.display) {}
    ~XvfbServer() { Stop(); }

    bool Start(std::string* error = nullptr) {
        std::vector<std::string> args = {"Xvfb",          "-screen",    "0",
                                         options_.screen, "-noreset",   "-nolisten",
                                         "tcp",           "-displayfd", "1"};
        if (options_.display >= 0)
            args.insert(args.begin() + 1, ":" + std::to_string(options_.display));
        args.insert(args.end(), options_.extraArgs.begin(), options_.extraArgs.end());
        std::string line;
        if (server_.Spawn(args, nullptr, "|", "/dev/null") && server_.ReadLine(&line, 15000) &&
            !line.empty()) {
            number_ = atoi(line.c_str());
            return true;
        }
        server_.Terminate();
        if (error)
            *error = "Xvfb did not come up";
        return false;
    }
    void ExportDisplay() { env_.Set("DISPLAY", name()); }
    void Stop() {
        server_.Terminate();
        env_.Restore();
    }
    std::string name() const { return ":" + std::to_string(number_); }

  private:
    Options options_;
    Child server_;
    int number_ = -1;
    ScopedEnv env_;
};

class XvfbEnvironment : public ::testing::Environment {
  public:
    explicit XvfbEnvironment(XvfbServer::Options options = {}) : server_(std::move(options)) {}
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server_.Start(&error)) << error;
        server_.ExportDisplay();
    }
    void TearDown() override { server_.Stop(); }

  private:
    XvfbServer server_;
};

}  // namespace test
}  // namespace vistrec

#endif  // VISTREC_TESTS_COMMON_XVFBFIXTURE_H
