// Clocks, sleeping, the executable's folder, files by UTF-8 path, debugger output and the
// immediate exit.
#include <windows.h>

#include <mmsystem.h>

#include <errno.h>
#include <stdio.h>

#include <mutex>

#include "platform/Platform.h"
#include "platform/win32/Win32Support.h"

namespace vistrec {
namespace platform {

namespace {

// Milliseconds of the performance counter: monotonic and finer than the tick count, whose
// 10-16 ms steps would be a third of a frame interval.
int64_t CounterMs() {
    static const int64_t frequency = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return static_cast<int64_t>(f.QuadPart);
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const int64_t ticks = static_cast<int64_t>(now.QuadPart);
    return ticks / frequency * 1000 + ticks % frequency * 1000 / frequency;
}

}  // namespace

uint32_t TickCount32() {
    return static_cast<uint32_t>(CounterMs());
}

int64_t GetMsTime() {
    return CounterMs();
}

void SleepMs(unsigned ms) {
    // The recording loop sleeps 1 ms between its checks: the system timer is asked for 1 ms
    // steps once (for the rest of the process), else a Sleep(1) lasts up to 16 ms.
    static std::once_flag fineTimer;
    std::call_once(fineTimer, [] { timeBeginPeriod(1); });
    Sleep(ms);
}

std::string ExecutableDir() {
    return win32::DirectoryOf(win32::ModulePath(nullptr));
}

FILE* OpenFile(const std::string& path, const char* mode) {
    const std::wstring widePath = win32::Widen(path), wideMode = win32::Widen(mode);
    if (widePath.empty() || wideMode.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    return _wfopen(widePath.c_str(), wideMode.c_str());
}

void DebugOutput(const char* marker) {
    if (marker)
        OutputDebugStringA(marker);
}

[[noreturn]] void ExitProcessNow(int status) {
    // ExitProcess would detach the loaded DLLs, running their static destructors under the
    // host's other threads; ending the process outright runs nothing more.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    ExitProcess(static_cast<UINT>(status));  // not reached
}

}  // namespace platform
}  // namespace vistrec
