// A Windows host in C++ built with Clang for the Microsoft ABI (x86_64-pc-windows-msvc), as a
// host built with the Microsoft compiler is: it includes vistrec/IRecordMp4.h, links vistrec.dll
// through an import library and calls the recorder through the interface's virtual functions,
// `delete` included, with a callback object of its own.
//
//   vistrec_cpp_host OUT.mp4
//
// Records 2 s at scale 0.5; prints "desktop-width W" and "desktop-height H" (from
// get_desktop_size), "recorded MS" and "callbacks N" (onRecordEnd calls). (Pause and resume sit
// between slots this host calls; the C host checks their numbers.) There is
// no C runtime here (no Windows SDK on the build machine): the program starts at mainCRTStartup
// and uses a few kernel32 functions; tests/windows/msvc/windef.h gives the three Windows types
// the interface header needs.
#include "vistrec/IRecordMp4.h"

extern "C" {
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) const char* __stdcall GetCommandLineA();
__declspec(dllimport) void __stdcall Sleep(unsigned long ms);
__declspec(dllimport) void* __stdcall GetProcessHeap();
__declspec(dllimport) int __stdcall HeapFree(void* heap, unsigned long flags, void* block);
__declspec(dllimport) void __stdcall ExitProcess(unsigned status);
// The compiler's marker that the program uses floating point (the C runtime defines it).
int _fltused = 0;
}

// The deleting destructor of the callback class refers to these; the objects here live on the
// stack, so nothing ever reaches them.
void operator delete(void* p) noexcept {
    HeapFree(GetProcessHeap(), 0, p);
}
void operator delete(void* p, decltype(sizeof 0)) noexcept {
    HeapFree(GetProcessHeap(), 0, p);
}

namespace {

void Print(const char* name, long long value) {
    char line[64], digits[24];
    int n = 0, d = 0;
    while (*name)
        line[n++] = *name++;
    line[n++] = ' ';
    for (unsigned long long v = value; d == 0 || v; v /= 10)  // the values are never negative
        digits[d++] = static_cast<char>('0' + v % 10);
    while (d)
        line[n++] = digits[--d];
    line[n++] = '\n';
    unsigned long written = 0;
    WriteFile(GetStdHandle(static_cast<unsigned long>(-11)), line, n, &written, nullptr);
}

// The first argument of the command line (no quotes inside it).
const char* FirstArgument() {
    const char* p = GetCommandLineA();
    if (*p == '"') {
        for (++p; *p && *p != '"'; ++p) {
        }
        if (*p)
            ++p;
    } else {
        while (*p && *p != ' ')
            ++p;
    }
    while (*p == ' ')
        ++p;
    return p;
}

class EndCounter : public IRecordCallback {
  public:
    void onRecordEnd() override { ++calls; }
    int calls = 0;
};

}  // namespace

extern "C" void mainCRTStartup() {
    const char* file = FirstArgument();
    if (!*file)
        ExitProcess(2);
    EndCounter counter;
    IRecordMp4* recorder = create_screen_record(nullptr);
    if (!recorder)
        ExitProcess(1);
    // The recorder has set the capture to the first display.
    const uint64_t size = get_desktop_size();
    Print("desktop-width", static_cast<long long>(size & 0xFFFFFFFFu));
    Print("desktop-height", static_cast<long long>(size >> 32));
    recorder->setCallback(&counter);
    recorder->setFileName(file);
    recorder->setFrameRate(20);
    recorder->setScale(0.5);
    recorder->setAudioMode(0);
    recorder->startRecord();
    Sleep(2000);
    Print("recorded", recorder->stopRecord());
    delete recorder;
    Print("callbacks", counter.calls);
    ExitProcess(0);
}
