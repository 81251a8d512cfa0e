// Up-front checks on the output file, so that a recording never starts for a file that cannot
// be written.
#ifndef VISTREC_CLI_OUTPUTCHECK_H
#define VISTREC_CLI_OUTPUTCHECK_H

#include <cstdint>
#include <string>

namespace vistrec_cli {

// Empty when `path` can be written; otherwise a one-line reason. A missing file is created
// and removed again; an existing file is opened for writing and left unchanged.
std::string CheckOutputWritable(const std::string& path);

// Size of the file in bytes, or -1 when it does not exist.
int64_t FileSize(const std::string& path);

}  // namespace vistrec_cli

#endif  // VISTREC_CLI_OUTPUTCHECK_H
