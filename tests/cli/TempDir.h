// A private temporary folder for one test, removed with everything in it afterwards.
#ifndef VISTREC_TESTS_CLI_TEMPDIR_H
#define VISTREC_TESTS_CLI_TEMPDIR_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vistrec-cli-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Writes `content` (which may hold zero bytes) to `name` and returns its path.
    std::string write(const std::string& name, const std::string& content) const {
        std::ofstream out(file(name), std::ios::binary);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        return file(name);
    }

  private:
    std::string path_;
};

#endif  // VISTREC_TESTS_CLI_TEMPDIR_H
