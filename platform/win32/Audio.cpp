// Sound capture on Windows is not built yet: every capture fails to connect with kNoSoundBackend,
// and the recorder then records a silent track.
#include <windows.h>

#include "platform/PlatformAudio.h"

namespace vistrec {
namespace platform {

namespace {
constexpr int kNoSoundBackend = -1;
}  // namespace

int DefaultAudioDeviceName(AudioDeviceKind, std::string* name) {
    if (name)
        name->clear();
    return kNoSoundBackend;
}

std::string AudioErrorText(int error) {
    if (error == 0)
        return "success";
    if (error == kNoSoundBackend)
        return "no sound capture in this Windows build";
    return "sound error " + std::to_string(error);
}

int RaiseAudioThreadPriority() {
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST)
               ? 0
               : static_cast<int>(GetLastError());
}

int ConnectAudioCapture(AudioDeviceKind, std::unique_ptr<AudioCaptureStream>* out, unsigned) {
    if (out)
        out->reset();
    return kNoSoundBackend;
}

}  // namespace platform
}  // namespace vistrec
