#include "platform/win32/WasapiDevices.h"

#include <mmsystem.h>
#include <mmreg.h>
#include <propidl.h>

#include <climits>

#include "platform/win32/Win32Support.h"

namespace vistrec {
namespace platform {
namespace win32 {

namespace {

// PKEY_Device_FriendlyName, spelt out so that no GUID library is needed for it.
const PROPERTYKEY kFriendlyNameKey = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};

// The tail every KSDATAFORMAT_SUBTYPE_* of a wave format tag shares: {tag-0000-0010-8000-00aa..}.
bool IsWaveSubtype(const GUID& subtype, WORD tag) {
    static const unsigned char kTail[8] = {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
    return subtype.Data1 == tag && subtype.Data2 == 0x0000 && subtype.Data3 == 0x0010 &&
           memcmp(subtype.Data4, kTail, sizeof kTail) == 0;
}

}  // namespace

int HresultError(HRESULT hr) {
    if (SUCCEEDED(hr))
        return 0;
    // INT_MIN has no positive counterpart; no Core Audio call returns it.
    return hr == INT_MIN ? INT_MAX : -static_cast<int>(hr);
}

std::string BackendErrorText(int error) {
    switch (error) {
        case 0:
            return "success";
        case kNoComObject:
            return "Core Audio gave no object";
        case kStreamExists:
            return "the stream is open already";
        case kStreamNotOpen:
            return "the stream is not open";
        case kInvalidFormat:
            return "invalid sample rate or channel count";
        case kDeviceNotFound:
            return "no active sound device has that name";
        case kWaveInOverrun:
            return "the microphone's sound was not read in time and was dropped";
        case kWaveInDeviceClosed:
            return "the wave device was closed (removed or disabled)";
        case kWaveInThreadFailed:
            return "the wave message thread could not be started";
        default:
            break;
    }
    if (error > kWaveInErrorBase && error < kWaveInErrorBase + 0x1000) {
        char text[MAXERRORLENGTH] = {};
        const MMRESULT result = static_cast<MMRESULT>(error - kWaveInErrorBase);
        if (waveInGetErrorTextA(result, text, sizeof text) == MMSYSERR_NOERROR)
            return "waveIn: " + std::string(text);
        return "waveIn error " + std::to_string(result);
    }
    const HRESULT hr = static_cast<HRESULT>(-static_cast<long long>(error));
    // Names of the Core Audio errors, which the system's message table does not hold.
    switch (hr) {
        case AUDCLNT_E_DEVICE_INVALIDATED:
            return "AUDCLNT_E_DEVICE_INVALIDATED: the device was removed or disabled";
        case AUDCLNT_E_UNSUPPORTED_FORMAT:
            return "AUDCLNT_E_UNSUPPORTED_FORMAT";
        case AUDCLNT_E_DEVICE_IN_USE:
            return "AUDCLNT_E_DEVICE_IN_USE";
        case AUDCLNT_E_SERVICE_NOT_RUNNING:
            return "AUDCLNT_E_SERVICE_NOT_RUNNING: the audio service does not run";
        case AUDCLNT_E_NOT_INITIALIZED:
            return "AUDCLNT_E_NOT_INITIALIZED";
        case AUDCLNT_E_ALREADY_INITIALIZED:
            return "AUDCLNT_E_ALREADY_INITIALIZED";
        case AUDCLNT_E_WRONG_ENDPOINT_TYPE:
            return "AUDCLNT_E_WRONG_ENDPOINT_TYPE";
        case E_NOTFOUND:
            return "E_NOTFOUND: no such sound device";
        default:
            break;
    }
    char buffer[512] = {};
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(hr), 0, buffer, sizeof buffer, nullptr);
    std::string text(buffer, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    char code[16];
    snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(hr));
    return text.empty() ? std::string("HRESULT ") + code : text + " (" + code + ")";
}

ComApartment::ComApartment() {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (hr == RPC_E_CHANGED_MODE)
        return;  // the thread is in a single-threaded apartment: usable, and not ours
    owned_ = SUCCEEDED(hr);
    error_ = HresultError(hr);
}

ComApartment::~ComApartment() {
    if (owned_)
        CoUninitialize();
}

// The notification client: counts what may have changed the default endpoint of its flow. The
// callbacks come on a thread of the audio service; the count is atomic.
class EndpointWatcher::Counter final : public IMMNotificationClient {
  public:
    explicit Counter(EDataFlow flow) : flow_(flow) {}
    uint32_t count() const { return count_.load(); }

    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IMMNotificationClient)) {
            *out = static_cast<IMMNotificationClient*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return Bump(); }
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return Bump(); }
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return Bump(); }
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) override {
        return flow == flow_ && role == eConsole ? Bump() : S_OK;
    }
    // Property changes (volume, names of other devices) come often and change no default.
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
        return S_OK;
    }

  private:
    ~Counter() = default;
    HRESULT Bump() {
        ++count_;
        return S_OK;
    }
    EDataFlow flow_;
    std::atomic<ULONG> refs_{1};
    std::atomic<uint32_t> count_{0};
};

EndpointWatcher::~EndpointWatcher() {
    if (counter_) {
        if (enumerator_)
            enumerator_->UnregisterEndpointNotificationCallback(counter_);
        counter_->Release();
    }
}

int EndpointWatcher::Create() {
    HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                  __uuidof(IMMDeviceEnumerator), enumerator_.ReceiveVoid());
    if (FAILED(hr))
        return HresultError(hr);
    if (!enumerator_)
        return kNoComObject;
    counter_ = new Counter(flow_);
    hr = enumerator_->RegisterEndpointNotificationCallback(counter_);
    if (FAILED(hr)) {
        // Capture works without the notices; only a new default goes unnoticed until the
        // device fails.
        counter_->Release();
        counter_ = nullptr;
    }
    return 0;
}

int EndpointWatcher::DefaultEndpoint(ComPtr<IMMDevice>* device, std::string* name) {
    if (!enumerator_)
        return kNoComObject;
    const HRESULT hr = enumerator_->GetDefaultAudioEndpoint(flow_, eConsole, device->Receive());
    if (FAILED(hr))
        return HresultError(hr);
    if (!*device)
        return kNoComObject;
    return name ? FriendlyName(device->get(), name) : 0;
}

int EndpointWatcher::FindEndpoint(const std::string& name, ComPtr<IMMDevice>* device) {
    std::string found;
    if (DefaultEndpoint(device, &found) == 0 && found == name)
        return 0;
    device->Reset();
    if (!enumerator_)
        return kNoComObject;
    ComPtr<IMMDeviceCollection> all;
    HRESULT hr = enumerator_->EnumAudioEndpoints(flow_, DEVICE_STATE_ACTIVE, all.Receive());
    if (FAILED(hr))
        return HresultError(hr);
    UINT count = 0;
    if (FAILED(hr = all->GetCount(&count)))
        return HresultError(hr);
    for (UINT i = 0; i < count; ++i) {
        ComPtr<IMMDevice> candidate;
        if (FAILED(all->Item(i, candidate.Receive())) || !candidate)
            continue;
        if (FriendlyName(candidate.get(), &found) == 0 && found == name) {
            device->Swap(candidate);
            return 0;
        }
    }
    return kDeviceNotFound;
}

uint32_t EndpointWatcher::ChangeCount() const {
    return counter_ ? counter_->count() : 0;
}

int FriendlyName(IMMDevice* device, std::string* name) {
    ComPtr<IPropertyStore> store;
    HRESULT hr = device->OpenPropertyStore(STGM_READ, store.Receive());
    if (FAILED(hr))
        return HresultError(hr);
    PROPVARIANT value;
    PropVariantInit(&value);
    hr = store->GetValue(kFriendlyNameKey, &value);
    if (SUCCEEDED(hr) && value.vt == VT_LPWSTR && value.pwszVal)
        *name = Narrow(value.pwszVal);
    else if (SUCCEEDED(hr))
        hr = E_UNEXPECTED;  // an endpoint without a name
    PropVariantClear(&value);
    return HresultError(hr);
}

int MixFormat(IAudioClient* client, AudioDeviceFormat* format) {
    CoTaskMem<WAVEFORMATEX> mix;
    const HRESULT hr = client->GetMixFormat(mix.Receive());
    if (FAILED(hr))
        return HresultError(hr);
    if (!mix.get())
        return kNoComObject;
    bool isFloat = mix->wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    if (mix->wFormatTag == WAVE_FORMAT_EXTENSIBLE && mix->cbSize >= 22) {
        const auto* ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(mix.get());
        isFloat = IsWaveSubtype(ext->SubFormat, WAVE_FORMAT_IEEE_FLOAT);
    }
    format->isFloat = isFloat;
    format->bitsPerSample = mix->wBitsPerSample;
    format->channels = mix->nChannels;
    format->rate = static_cast<int>(mix->nSamplesPerSec);
    return 0;
}

}  // namespace win32
}  // namespace platform
}  // namespace vistrec
