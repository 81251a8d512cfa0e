#include "NoiseSuppressor.h"

#include <stdlib.h>
#include <string.h>

namespace {

constexpr char kLibraryBase[] = "nuvra";
constexpr char kDisableVariable[] = "VISTREC_NO_NUVRA";

bool LoadingDisabled() {
    const char* value = getenv(kDisableVariable);
    return value && strcmp(value, "1") == 0;
}

}  // namespace

CNoiseSuppressor::CNoiseSuppressor() {
    namespace platform = vistrec::platform;
    if (LoadingDisabled())
        return;
    const std::string file = platform::SharedLibraryFileName(kLibraryBase);
    const std::string libraryDir = platform::LibraryDir();
    const std::string executableDir = platform::ExecutableDir();
    const std::string candidates[] = {
        libraryDir.empty() ? std::string() : libraryDir + file,
        executableDir.empty() ? std::string() : executableDir + file,
        file,  // the system's search path
    };
    for (const std::string& name : candidates) {
        if (name.empty())
            continue;
        std::unique_ptr<platform::SharedLibrary> library = platform::SharedLibrary::Open(name);
        if (!library)
            continue;
        auto init = reinterpret_cast<nuvra_init_fn>(library->Symbol("nuvra_init"));
        auto process = reinterpret_cast<nuvra_process_fn>(library->Symbol("nuvra_process"));
        if (!init || !process || init() != 0)
            continue;
        m_library = std::move(library);
        m_process = process;
        m_loadedFrom = name;
        return;
    }
}

int CNoiseSuppressor::Process(const uint8_t* in, int inLength, uint8_t* out, int outLength) {
    if (!m_process)
        return -1;
    return m_process(in, inLength, out, outLength);
}
