// The ".ico" decoder behind LoadIconFile, on bytes in memory so that tests and the fuzz target
// can drive it without files.
#ifndef VISTREC_PLATFORM_LINUX_ICONFILE_H
#define VISTREC_PLATFORM_LINUX_ICONFILE_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

#include "platform/Platform.h"

namespace vistrec {
namespace platform {
namespace ico {

// Largest icon file read; anything larger is refused before it is read. A file holding every
// common size from 16 to 256 pixels at 32 bits stays well below this.
constexpr size_t kMaxFileBytes = 4u << 20;
// Largest side of an icon entry, as the file format itself allows.
constexpr int kMaxSide = 256;

// Decodes the entry that the size rule picks (see IconFile.cpp). Null, with the reason in
// `error` when given, for anything truncated, oversized or malformed.
std::unique_ptr<IconImage> DecodeIcon(const uint8_t* data, size_t size, std::string* error);

}  // namespace ico
}  // namespace platform
}  // namespace vistrec

#endif
