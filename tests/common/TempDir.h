// A private temporary folder for one test, removed with everything in it afterwards (kept when
// VISTREC_TEST_KEEP is set in the environment, to look at the recordings).
#ifndef VISTREC_TESTS_COMMON_TEMPDIR_H
#define VISTREC_TESTS_COMMON_TEMPDIR_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace vistrec {
namespace test {

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vistrec-test-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        if (getenv("VISTREC_TEST_KEEP"))
            return;
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    // Writes `content` (which may hold zero bytes) to `name` and returns its path.
    std::string Write(const std::string& name, const std::string& content) const {
        std::ofstream out(File(name), std::ios::binary);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        return File(name);
    }

  private:
    std::string path_;
};

}  // namespace test
}  // namespace vistrec

#endif  // VISTREC_TESTS_COMMON_TEMPDIR_H
