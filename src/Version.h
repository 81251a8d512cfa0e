// The library's version and the commit it was built from.
#ifndef VISTREC_SRC_VERSION_H
#define VISTREC_SRC_VERSION_H

#include <string>

namespace vistrec {

// "0.1.0"
const char* LibraryVersion();
// `git describe` of the source tree ("e38773c0a1b2", "-dirty" added for uncommitted changes),
// or "unknown" for a tree that was not a git checkout.
const char* LibraryCommit();
// "0.1.0 (commit e38773c0a1b2)"
std::string VersionText();
// Logs "vistrec <version> (commit <commit>) in <directory>" once per process. The create
// functions call it: loading the library runs none of its code.
void LogVersionOnce();

}  // namespace vistrec

#endif
