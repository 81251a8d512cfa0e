// Putting a file's data on the disk while another handle (the muxer's) writes it.
#include <windows.h>

#include "platform/Platform.h"
#include "platform/win32/Win32Support.h"

namespace vistrec {
namespace platform {

int SyncFileToDisk(const std::string& path) {
    // FlushFileBuffers needs write access; the sharing flags leave the muxer's handle alone.
    win32::Handle file(CreateFileW(win32::Widen(path).c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return static_cast<int>(GetLastError());
    return FlushFileBuffers(file.get()) ? 0 : static_cast<int>(GetLastError());
}

}  // namespace platform
}  // namespace vistrec
