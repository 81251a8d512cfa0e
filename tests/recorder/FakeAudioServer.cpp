// The scripted sound server: defines the functions of platform/PlatformAudio.h, so the real
// backend's object is not linked into this program.
#include "FakeAudioServer.h"

#include <chrono>
#include <memory>
#include <vector>

#include "platform/PlatformAudio.h"

namespace vistrec {
namespace test {

namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr size_t kPacketBytes = kRate / 50 * kChannels * 2;  // 20 ms

class FakeStream final : public platform::AudioCaptureStream {
  public:
    FakeStream() { FakeAudioServer::Get().StreamCreated(); }
    ~FakeStream() override { FakeAudioServer::Get().StreamDestroyed(); }

    int DefaultDeviceName(std::string* name) override {
        *name = "fake";
        return 0;
    }
    int ReadDeviceFormat(const std::string&, platform::AudioDeviceFormat* format) override {
        format->isFloat = false;
        format->bitsPerSample = 16;
        format->channels = kChannels;
        format->rate = kRate;
        return 0;
    }
    int Open(const std::string&, int, int) override {
        return FakeAudioServer::Get().TakeOpenFailure() ? 1 : 0;
    }
    int Start() override {
        FakeAudioServer::Get().PassPoint(FakeAudioServer::HoldAt::kStart);
        return 0;
    }
    int Stop() override { return 0; }
    // One packet per pass: ready, then empty after it was read.
    int Readable(size_t* bytes) override {
        *bytes = m_justRead ? 0 : kPacketBytes;
        m_justRead = false;
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

FakeAudioServer& FakeAudioServer::Get() {
    static FakeAudioServer server;
    return server;
}

void FakeAudioServer::Reset() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_holdAt = HoldAt::kNone;
    m_held = m_released = m_failOpen = false;
}

void FakeAudioServer::Hold(HoldAt at) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_holdAt = at;
    m_held = m_released = false;
}

bool FakeAudioServer::WaitHeld(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this] { return m_held; });
}

void FakeAudioServer::Release() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_released = true;
    m_changed.notify_all();
}

void FakeAudioServer::FailNextOpen() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_failOpen = true;
}

bool FakeAudioServer::WaitStreamsAlive(int count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_alive == count; });
}

void FakeAudioServer::StreamCreated() {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_alive;
    m_changed.notify_all();
}

void FakeAudioServer::StreamDestroyed() {
    std::lock_guard<std::mutex> lock(m_lock);
    --m_alive;
    m_changed.notify_all();
}

bool FakeAudioServer::TakeOpenFailure() {
    std::lock_guard<std::mutex> lock(m_lock);
    const bool fail = m_failOpen;
    m_failOpen = false;
    return fail;
}

void FakeAudioServer::PassPoint(HoldAt at) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (at != m_holdAt || m_held)
        return;
    m_held = true;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return m_released; });
}

}  // namespace test

namespace platform {

int DefaultAudioDeviceName(AudioDeviceKind, std::string* name) {
    *name = "fake";
    return 0;
}

std::string AudioErrorText(int error) {
    return "fake server error " + std::to_string(error);
}

int RaiseAudioThreadPriority() {
    return 0;
}

int ConnectAudioCapture(AudioDeviceKind, std::unique_ptr<AudioCaptureStream>* out) {
    *out = std::make_unique<test::FakeStream>();
    return 0;
}

}  // namespace platform
}  // namespace vistrec
