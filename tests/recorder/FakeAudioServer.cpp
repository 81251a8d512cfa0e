// The scripted sound server: defines platform/PlatformAudio.h in place of the real backend.
#include "FakeAudioServer.h"

#include <algorithm>
#include <memory>

#include "platform/PlatformAudio.h"

namespace vistrec::platform {
namespace {

using test::FakeAudioServer;
constexpr size_t kPacketBytes = 48000 / 50 * 2 * 2;  // 20 ms of 48 kHz 16-bit stereo

class FakeStream final : public AudioCaptureStream {
  public:
    FakeStream() { FakeAudioServer::Get().Alive(1); }
    ~FakeStream() override { FakeAudioServer::Get().Alive(-1); }
    int DefaultDeviceName(std::string* name) override { return *name = "fake", 0; }
    int ReadDeviceFormat(const std::string&, AudioDeviceFormat* format) override {
        return *format = AudioDeviceFormat{false, 16, 2, 48000}, 0;
    }
    int Open(const std::string&, int, int) override {
        return FakeAudioServer::Get().TakeOpenFailure() ? 1 : 0;
    }
    int Start() override {
        return FakeAudioServer::Get().PassPoint(FakeAudioServer::HoldAt::kStart), 0;
    }
    int Stop() override { return 0; }
    // One packet per pass: ready, then empty after it was read.
    int Readable(size_t* bytes) override {
        *bytes = std::exchange(m_justRead, false) ? 0 : kPacketBytes;
        return 0;
    }
    int Read(void* dst, size_t capacity, size_t* got) override {
        FakeAudioServer::Get().PassPoint(FakeAudioServer::HoldAt::kRead);
        *got = std::min(capacity, kPacketBytes);
        std::fill_n(static_cast<uint8_t*>(dst), *got, uint8_t{0x11});
        m_justRead = true;
        return 0;
    }
    uint32_t ServerChangeCount() const override { return 0; }
    std::string DeviceName() const override { return "fake"; }

  private:
    bool m_justRead = false;
};

}  // namespace

int DefaultAudioDeviceName(AudioDeviceKind, std::string* name) {
    return *name = "fake", 0;
}
std::string AudioErrorText(int error) {
    return "fake server error " + std::to_string(error);
}
int RaiseAudioThreadPriority() {
    return 0;
}
int ConnectAudioCapture(AudioDeviceKind, std::unique_ptr<AudioCaptureStream>* out, unsigned) {
    *out = std::make_unique<FakeStream>();
    return 0;
}
int ConnectMicrophoneRecorder(std::unique_ptr<AudioCaptureStream>* out) {
    return ConnectAudioCapture(AudioDeviceKind::kMicrophone, out, 100);
}

}  // namespace vistrec::platform
