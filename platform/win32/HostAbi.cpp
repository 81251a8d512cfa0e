// The recorder interface as a Windows host's compiler lays it out.
//
// Hosts are built with the Microsoft compiler and call IRecordMp4's table by position: entry 0 is
// one scalar deleting destructor that takes a flags argument (bit 0: free the memory), entries 1
// to 24 are the operations in their order, and on 32-bit x86 every entry is __thiscall (the
// object in ECX, the arguments on the stack, popped by the callee). GCC gives a class with a
// virtual destructor two destructor entries and so shifts every operation by one. The create
// functions exported to hosts (vistrec.def) therefore hand out a small object of their own whose
// table is built here entry by entry, each entry forwarding to the recorder made by the core's
// create functions.
//
// IRecordCallback needs no such care: the core calls entry 2 of the host's table, where the host
// keeps onRecordEnd, and GCC calls member functions on 32-bit Windows with __thiscall as the
// Microsoft compiler does.
#include <new>

#include "vistrec/IRecordMp4.h"

#if defined(__i386__)
#define HOST_THISCALL __attribute__((thiscall))
#else
// On x86-64 Windows there is one calling convention: the object is the first argument.
#define HOST_THISCALL
#endif

namespace {

struct HostRecorder {
    const void* const* table;  // first, where the host's compiler looks for it
    IRecordMp4* recorder;
};

IRecordMp4* R(HostRecorder* self) {
    return self->recorder;
}

// Entry 0: the scalar deleting destructor. Destroys the recorder; bit 0 of the flags says
// whether the object's memory goes too (always set by `delete`).
void* HOST_THISCALL Destroy(HostRecorder* self, unsigned flags) noexcept {
    delete self->recorder;
    self->recorder = nullptr;
    if (flags & 1)
        delete self;
    return self;
}
void HOST_THISCALL SetCallback(HostRecorder* self, IRecordCallback* callback) noexcept {
    R(self)->setCallback(callback);
}
void HOST_THISCALL SetFileName(HostRecorder* self, const char* name) noexcept {
    R(self)->setFileName(name);
}
void HOST_THISCALL SetMp3FileName(HostRecorder* self, const char* name) noexcept {
    R(self)->setMp3FileName(name);
}
void HOST_THISCALL SetAudioFile(HostRecorder* self, const char* name) noexcept {
    R(self)->setAudioFile(name);
}
void HOST_THISCALL SetFrameRate(HostRecorder* self, int fps) noexcept {
    R(self)->setFrameRate(fps);
}
void HOST_THISCALL SetQuality(HostRecorder* self, int level, int unused) noexcept {
    R(self)->setQuality(level, unused);
}
int HOST_THISCALL SetCaptureRect(HostRecorder* self, bool region, const RECT* rect) noexcept {
    return R(self)->setCaptureRect(region, rect);
}
void HOST_THISCALL Reserved8(HostRecorder* self, int a, int b) noexcept {
    R(self)->reserved8(a, b);
}
void HOST_THISCALL SetDisplay(HostRecorder* self, int number) noexcept {
    R(self)->setDisplay(number);
}
void HOST_THISCALL SetFollowTarget(HostRecorder* self, bool follow) noexcept {
    R(self)->setFollowTarget(follow);
}
void HOST_THISCALL SetScale(HostRecorder* self, double scale) noexcept {
    R(self)->setScale(scale);
}
void HOST_THISCALL SetPreset(HostRecorder* self, const char* preset) noexcept {
    R(self)->setPreset(preset);
}
void HOST_THISCALL SetTune(HostRecorder* self, const char* tune) noexcept {
    R(self)->setTune(tune);
}
void HOST_THISCALL Reserved14(HostRecorder* self, bool flag) noexcept {
    R(self)->reserved14(flag);
}
void HOST_THISCALL SetGopSize(HostRecorder* self, int gopSize) noexcept {
    R(self)->setGopSize(gopSize);
}
void HOST_THISCALL SetAudioMode(HostRecorder* self, int mode) noexcept {
    R(self)->setAudioMode(mode);
}
void HOST_THISCALL PauseRecord(HostRecorder* self) noexcept {
    R(self)->pauseRecord();
}
int HOST_THISCALL ResumeRecord(HostRecorder* self) noexcept {
    return R(self)->resumeRecord();
}
void HOST_THISCALL SetText(HostRecorder* self, const char* font, const char* text, float x, float y,
                           BYTE red, BYTE green, BYTE blue, BYTE unused) noexcept {
    R(self)->setText(font, text, x, y, red, green, blue, unused);
}
void HOST_THISCALL StartRecord(HostRecorder* self) noexcept {
    R(self)->startRecord();
}
unsigned HOST_THISCALL StopRecord(HostRecorder* self) noexcept {
    return R(self)->stopRecord();
}
void HOST_THISCALL Reserved22(HostRecorder* self, uint32_t a, uint32_t b, uint32_t c,
                              uint32_t d) noexcept {
    R(self)->reserved22(a, b, c, d);
}
void HOST_THISCALL SetMouseShow(HostRecorder* self, int mouseShow, int clickShow, int lightShow,
                                int mouseSize) noexcept {
    R(self)->setMouseShow(mouseShow, clickShow, lightShow, mouseSize);
}
void HOST_THISCALL SetMouseEvent(HostRecorder* self, int message) noexcept {
    R(self)->setMouseEvent(message);
}

template <typename F>
const void* Entry(F f) {
    return reinterpret_cast<const void*>(f);
}

// The table in the binding order of the slots.
const void* const kTable[25] = {
    Entry(&Destroy),       Entry(&SetCallback),  Entry(&SetFileName),     Entry(&SetMp3FileName),
    Entry(&SetAudioFile),  Entry(&SetFrameRate), Entry(&SetQuality),      Entry(&SetCaptureRect),
    Entry(&Reserved8),     Entry(&SetDisplay),   Entry(&SetFollowTarget), Entry(&SetScale),
    Entry(&SetPreset),     Entry(&SetTune),      Entry(&Reserved14),      Entry(&SetGopSize),
    Entry(&SetAudioMode),  Entry(&PauseRecord),  Entry(&ResumeRecord),    Entry(&SetText),
    Entry(&StartRecord),   Entry(&StopRecord),   Entry(&Reserved22),      Entry(&SetMouseShow),
    Entry(&SetMouseEvent),
};

// Wraps a recorder of the core; null stays null (and a wrapper that cannot be allocated gives
// null after destroying the recorder).
HostRecorder* Wrap(IRecordMp4* recorder) {
    if (!recorder)
        return nullptr;
    HostRecorder* host = new (std::nothrow) HostRecorder{kTable, recorder};
    if (!host)
        delete recorder;
    return host;
}

}  // namespace

extern "C" {

// Exported as create_screen_record and create_screen_h246_record (vistrec.def).
void* vistrec_host_create_screen_record(HWND hostWnd) {
    return Wrap(create_screen_record(hostWnd));
}

void* vistrec_host_create_screen_h246_record(HWND hostWnd) {
    return Wrap(create_screen_h246_record(hostWnd));
}

}  // extern "C"
