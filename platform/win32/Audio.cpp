// Sound on Windows: the capture streams of the two-input recorder on WASAPI (WasapiCapture.cpp),
// the single-microphone recorder on waveIn (WaveInRecorder.cpp), the default endpoints' names
// and the error texts.
#include <windows.h>

#include "platform/PlatformAudio.h"
#include "platform/win32/WasapiDevices.h"

namespace vistrec {
namespace platform {

namespace {

// The thread's registration with the multimedia class scheduler, undone when the thread ends.
// avrt.dll is looked up at run time: without it the thread gets a high priority instead.
struct MmcssTask {
    using Revert = BOOL(WINAPI*)(HANDLE);
    HANDLE task = nullptr;
    Revert revert = nullptr;
    ~MmcssTask() {
        if (task && revert)
            revert(task);
    }
};

int RegisterWithMmcss(MmcssTask* owner) {
    using Set = HANDLE(WINAPI*)(LPCWSTR, LPDWORD);
    HMODULE avrt = LoadLibraryW(L"avrt.dll");  // stays loaded: the revert runs at thread exit
    if (!avrt)
        return static_cast<int>(GetLastError());
    auto set = reinterpret_cast<Set>(
        reinterpret_cast<void*>(GetProcAddress(avrt, "AvSetMmThreadCharacteristicsW")));
    auto revert = reinterpret_cast<MmcssTask::Revert>(
        reinterpret_cast<void*>(GetProcAddress(avrt, "AvRevertMmThreadCharacteristics")));
    if (!set || !revert)
        return ERROR_PROC_NOT_FOUND;
    DWORD index = 0;
    HANDLE task = set(L"Audio", &index);
    if (!task)
        return static_cast<int>(GetLastError());
    owner->task = task;
    owner->revert = revert;
    return 0;
}

}  // namespace

int DefaultAudioDeviceName(AudioDeviceKind kind, std::string* name) {
    if (!name)
        return win32::kDeviceNotFound;
    name->clear();
    win32::ComApartment com;
    if (com.error())
        return com.error();
    win32::EndpointWatcher watcher(kind == AudioDeviceKind::kMicrophone ? eCapture : eRender);
    int err = watcher.Create();
    if (err)
        return err;
    win32::ComPtr<IMMDevice> device;
    return watcher.DefaultEndpoint(&device, name);
}

std::string AudioErrorText(int error) {
    return win32::BackendErrorText(error);
}

// The capture threads join the scheduler's "Audio" task; where that is refused they run at the
// highest normal priority.
int RaiseAudioThreadPriority() {
    thread_local MmcssTask mmcss;
    if (mmcss.task)
        return 0;
    const int err = RegisterWithMmcss(&mmcss);
    if (err == 0)
        return 0;
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST)
               ? 0
               : static_cast<int>(GetLastError());
}

int ConnectAudioCapture(AudioDeviceKind kind, std::unique_ptr<AudioCaptureStream>* out,
                        unsigned fragmentMs) {
    return win32::ConnectWasapiCapture(kind, out, fragmentMs == 0 ? 10 : fragmentMs);
}

int ConnectMicrophoneRecorder(std::unique_ptr<AudioCaptureStream>* out) {
    return win32::ConnectWaveInRecorder(out);
}

}  // namespace platform
}  // namespace vistrec
