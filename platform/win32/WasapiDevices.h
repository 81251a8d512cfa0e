// Core Audio helpers of the Win32 sound backend: owners of COM objects, the thread's COM
// apartment, the error codes the backend hands to the core, and the endpoint watcher (device
// enumerator, default endpoints and their friendly names, a count of device changes).
#ifndef VISTREC_PLATFORM_WIN32_WASAPIDEVICES_H
#define VISTREC_PLATFORM_WIN32_WASAPIDEVICES_H

#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>

#include <atomic>
#include <memory>
#include <string>

#include "platform/PlatformAudio.h"

namespace vistrec {
namespace platform {
namespace win32 {

// Error codes of the sound backend (0 is success, every error is positive):
// - a failed HRESULT hr is -hr (the core logs codes negated, so the log shows the HRESULT as the
//   signed number Windows documents);
// - a waveIn MMRESULT r is kWaveInErrorBase + r;
// - the backend's own conditions are the small numbers below.
constexpr int kWaveInErrorBase = 0x1000;
constexpr int kNoComObject = 1;         // a Core Audio call gave no object and no error
constexpr int kStreamExists = 2;        // Open on a stream that is open already
constexpr int kStreamNotOpen = 3;       // Start, Stop or a read before Open
constexpr int kInvalidFormat = 4;       // Open with a rate or channel count out of range
constexpr int kDeviceNotFound = 5;      // no active endpoint has the name asked for
constexpr int kWaveInOverrun = 6;       // the reader fell so far behind that sound was dropped
constexpr int kWaveInDeviceClosed = 7;  // the wave device closed by itself
constexpr int kWaveInThreadFailed = 8;  // the message thread could not be started
int HresultError(HRESULT hr);
std::string BackendErrorText(int error);

// Owns one reference to a COM interface.
template <typename T>
class ComPtr {
  public:
    ComPtr() = default;
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    // The address to receive a new reference; drops the old one first.
    T** Receive() {
        Reset();
        return &ptr_;
    }
    void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }
    void Reset() {
        if (ptr_)
            ptr_->Release();
        ptr_ = nullptr;
    }
    void Swap(ComPtr& other) { std::swap(ptr_, other.ptr_); }

  private:
    T* ptr_ = nullptr;
};

// Memory from CoTaskMemAlloc (a mix format, an endpoint id).
template <typename T>
class CoTaskMem {
  public:
    CoTaskMem() = default;
    ~CoTaskMem() { CoTaskMemFree(ptr_); }
    CoTaskMem(const CoTaskMem&) = delete;
    CoTaskMem& operator=(const CoTaskMem&) = delete;
    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    T** Receive() {
        CoTaskMemFree(ptr_);
        ptr_ = nullptr;
        return &ptr_;
    }

  private:
    T* ptr_ = nullptr;
};

// COM on the calling thread for the owner's lifetime, in the multithreaded apartment; a thread
// that is in an apartment already keeps it (and is not uninitialised here). Owned by the thread
// that created it.
class ComApartment {
  public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    // 0, or the error of CoInitializeEx.
    int error() const { return error_; }

  private:
    bool owned_ = false;
    int error_ = 0;
};

// The device enumerator with a notification client that counts changes of the endpoints of one
// data flow (a new default, an endpoint added, removed, enabled or disabled). Created and used
// on one thread with COM initialised; the count may be read on any thread.
class EndpointWatcher {
  public:
    explicit EndpointWatcher(EDataFlow flow) : flow_(flow) {}
    ~EndpointWatcher();
    EndpointWatcher(const EndpointWatcher&) = delete;
    EndpointWatcher& operator=(const EndpointWatcher&) = delete;

    // Creates the enumerator and registers for notifications (without them the count stays 0).
    int Create();
    // The default endpoint of the flow for the console role, and its friendly name.
    int DefaultEndpoint(ComPtr<IMMDevice>* device, std::string* name);
    // The endpoint called `name`: the default one when its name is that, else the first active
    // endpoint of the flow with that name.
    int FindEndpoint(const std::string& name, ComPtr<IMMDevice>* device);
    uint32_t ChangeCount() const;

  private:
    class Counter;
    EDataFlow flow_;
    ComPtr<IMMDeviceEnumerator> enumerator_;
    Counter* counter_ = nullptr;  // one reference, held while registered
};

// What the backend's two kinds of stream share: the thread's COM apartment and the watcher of
// the endpoints of one data flow. Being base members, both outlive every COM object a stream
// holds: they are released first.
class EndpointStream : public AudioCaptureStream {
  public:
    explicit EndpointStream(EDataFlow flow) : watcher_(flow) {}

    int Connect() { return com_.error() ? com_.error() : watcher_.Create(); }
    int DefaultDeviceName(std::string* name) override {
        ComPtr<IMMDevice> device;
        return watcher_.DefaultEndpoint(&device, name);
    }
    uint32_t ServerChangeCount() const override { return watcher_.ChangeCount(); }

  protected:
    ComApartment com_;
    EndpointWatcher watcher_;
};

// The friendly name of an endpoint in UTF-8.
int FriendlyName(IMMDevice* device, std::string* name);
// The engine's mix format of an activated client, as the seam describes formats.
int MixFormat(IAudioClient* client, AudioDeviceFormat* format);

// The two kinds of stream (WasapiCapture.cpp, WaveInRecorder.cpp); ConnectAudioCapture and
// ConnectMicrophoneRecorder hand them out.
int ConnectWasapiCapture(AudioDeviceKind kind, std::unique_ptr<AudioCaptureStream>* out,
                         unsigned fragmentMs);
int ConnectWaveInRecorder(std::unique_ptr<AudioCaptureStream>* out);

}  // namespace win32
}  // namespace platform
}  // namespace vistrec

#endif  // VISTREC_PLATFORM_WIN32_WASAPIDEVICES_H
