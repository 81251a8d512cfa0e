// A private temporary folder, removed with everything in it afterwards (kept when
// VISTREC_TEST_KEEP is set, to look at the recordings).
#ifndef VISTREC_TESTS_COMMON_TEMPDIR_H
#define VISTREC_TESTS_COMMON_TEMPDIR_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace vistrec {
namespace test {

class TempDir {
  public:
    TempDir() {
        path_ = std::filesystem::temp_directory_path() / "vistrec-test-XXXXXX";
        if (mkdtemp(path_.data()) == nullptr)
            throw std::filesystem::filesystem_error("mkdtemp", path_, std::error_code());
    }
    ~TempDir() {
        std::error_code ignored;
        if (!getenv("VISTREC_TEST_KEEP"))
            std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    // Writes `content` (which may hold zero bytes) to `name`; returns its path.
    std::string Write(const std::string& name, const std::string& content) const {
        std::ofstream(File(name), std::ios::binary) << content;
        return File(name);
    }

  private:
    std::string path_;
};

}  // namespace test
}  // namespace vistrec

#endif  // VISTREC_TESTS_COMMON_TEMPDIR_H
