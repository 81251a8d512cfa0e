#include "Version.h"

#include <mutex>

#include "VistrecVersion.h"
#include "platform/Platform.h"
#include "support/Log.h"

namespace vistrec {

// Also in the binary as plain text, for `strings libvistrec.so | grep vistrec-version`.
extern const char kVersionTag[] = "vistrec-version " VISTREC_VERSION " " VISTREC_GIT_COMMIT;

const char* LibraryVersion() {
    return VISTREC_VERSION;
}

const char* LibraryCommit() {
    return VISTREC_GIT_COMMIT;
}

std::string VersionText() {
    return std::string(VISTREC_VERSION) + " (commit " + VISTREC_GIT_COMMIT + ")";
}

void LogVersionOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        VLOG_INFO("vistrec " << VersionText().c_str() << " in " << platform::LibraryDir().c_str());
    });
}

}  // namespace vistrec
