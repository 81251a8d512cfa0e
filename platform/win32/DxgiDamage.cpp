// Desktop duplication (DXGI 1.2 on Direct3D 11) as the damage tracker of the Win32 backend: each
// call takes the frame the system has composed since the previous one and hands over its move
// and dirty rectangles; the pixels themselves are still copied with GDI by the grabber.
#include "platform/win32/DxgiDamage.h"

#include <d3d11.h>
#include <dxgi1_2.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <vector>

namespace vistrec {
namespace platform {
namespace win32 {

namespace {

// Owns one reference to a COM object.
template <typename T>
class ComRef {
  public:
    ComRef() = default;
    ~ComRef() { Reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    T* get() const { return object_; }
    T* operator->() const { return object_; }
    T** Out() {
        Reset();
        return &object_;
    }
    void Reset() {
        if (object_)
            object_->Release();
        object_ = nullptr;
    }

  private:
    T* object_ = nullptr;
};

// Windows Vista and 7 (NT 6.0 and 6.1) have no desktop duplication; the version comes from
// ntdll, which does not fake it for programs without a manifest, as GetVersionEx does.
bool DuplicationSupported() {
    typedef void(WINAPI * VersionFn)(DWORD*, DWORD*, DWORD*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    VersionFn version = ntdll ? reinterpret_cast<VersionFn>(reinterpret_cast<void*>(
                                    GetProcAddress(ntdll, "RtlGetNtVersionNumbers")))
                              : nullptr;
    if (!version)
        return true;
    DWORD major = 0, minor = 0, build = 0;
    version(&major, &minor, &build);
    return !(major == 6 && (minor == 0 || minor == 1));
}

// Set once the system has said that it cannot duplicate the desktop at all (E_NOTIMPL from Wine,
// DXGI_ERROR_UNSUPPORTED): later trackers are not even tried, since every try creates a
// Direct3D device on the capturing thread.
std::atomic<bool> g_unsupported{false};

class DxgiDamageTracker final : public DamageTracker {
  public:
    // More rectangles than this in one frame are not kept: the call answers kUnknown.
    static constexpr size_t kMaxRects = 4096;

    bool Open() {
        if (FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0,
                                     D3D11_SDK_VERSION, device_.Out(), nullptr, nullptr)))
            return false;
        ComRef<IDXGIDevice> dxgiDevice;
        ComRef<IDXGIAdapter> adapter;
        ComRef<IDXGIOutput> output;
        if (FAILED(device_->QueryInterface(__uuidof(IDXGIDevice),
                                           reinterpret_cast<void**>(dxgiDevice.Out()))) ||
            FAILED(dxgiDevice->GetAdapter(adapter.Out())) ||
            FAILED(adapter->EnumOutputs(0, output.Out())) ||
            FAILED(output->QueryInterface(__uuidof(IDXGIOutput1),
                                          reinterpret_cast<void**>(output_.Out()))))
            return false;
        DXGI_OUTPUT_DESC desc;
        // Rotated outputs report rectangles of the unrotated image: not handled, full grabs.
        if (FAILED(output_->GetDesc(&desc)) || desc.Rotation > DXGI_MODE_ROTATION_IDENTITY)
            return false;
        origin_ = desc.DesktopCoordinates;
        return Duplicate();
    }

    Result Take(std::vector<RECT>* rects) override {
        rects->clear();
        if (!duplication_.get() && !Duplicate())
            return Result::kLost;
        DXGI_OUTDUPL_FRAME_INFO info;
        ComRef<IDXGIResource> frame;
        const HRESULT acquired = duplication_->AcquireNextFrame(0, &info, frame.Out());
        if (acquired == DXGI_ERROR_WAIT_TIMEOUT)
            return Answer(Result::kChanges, rects);
        if (acquired == DXGI_ERROR_ACCESS_LOST) {
            // A mode change, a desktop switch, a full-screen program: duplicate again at the
            // next call, and take the whole screen as changed now.
            duplication_.Reset();
            known_ = false;
            return Result::kUnknown;
        }
        if (FAILED(acquired))
            return Result::kLost;
        const bool complete = Collect(info, rects);
        duplication_->ReleaseFrame();
        if (!complete) {
            rects->clear();
            known_ = false;
        }
        return Answer(Result::kChanges, rects);
    }

    uint64_t Overflows() const override { return overflows_; }

  private:
    bool Duplicate() {
        const HRESULT hr = output_->DuplicateOutput(device_.get(), duplication_.Out());
        if (hr == E_NOTIMPL || hr == DXGI_ERROR_UNSUPPORTED)
            g_unsupported = true;
        return SUCCEEDED(hr);
    }

    // The first answer after the duplication began, or after rectangles were lost, is kUnknown.
    Result Answer(Result result, std::vector<RECT>* rects) {
        if (known_)
            return result;
        known_ = true;
        rects->clear();
        return Result::kUnknown;
    }

    // Appends the frame's move destinations and dirty rectangles in screen coordinates. False
    // when they could not all be read.
    bool Collect(const DXGI_OUTDUPL_FRAME_INFO& info, std::vector<RECT>* rects) {
        if (info.TotalMetadataBufferSize == 0)
            return true;  // the pointer moved, nothing was drawn
        metadata_.resize(info.TotalMetadataBufferSize);
        UINT used = 0;
        if (FAILED(duplication_->GetFrameMoveRects(
                static_cast<UINT>(metadata_.size()),
                reinterpret_cast<DXGI_OUTDUPL_MOVE_RECT*>(metadata_.data()), &used)))
            return false;
        const auto* moves = reinterpret_cast<const DXGI_OUTDUPL_MOVE_RECT*>(metadata_.data());
        for (size_t i = 0; i < used / sizeof(DXGI_OUTDUPL_MOVE_RECT); ++i)
            Add(moves[i].DestinationRect, rects);
        if (FAILED(duplication_->GetFrameDirtyRects(static_cast<UINT>(metadata_.size()),
                                                    reinterpret_cast<RECT*>(metadata_.data()),
                                                    &used)))
            return false;
        const auto* dirty = reinterpret_cast<const RECT*>(metadata_.data());
        for (size_t i = 0; i < used / sizeof(RECT); ++i)
            Add(dirty[i], rects);
        if (rects->size() > kMaxRects) {
            ++overflows_;
            return false;
        }
        return true;
    }

    void Add(const RECT& r, std::vector<RECT>* rects) const {
        rects->push_back(RECT{r.left + origin_.left, r.top + origin_.top, r.right + origin_.left,
                              r.bottom + origin_.top});
    }

    ComRef<ID3D11Device> device_;
    ComRef<IDXGIOutput1> output_;
    ComRef<IDXGIOutputDuplication> duplication_;
    RECT origin_ = {};
    std::vector<uint8_t> metadata_;
    bool known_ = false;
    uint64_t overflows_ = 0;
};

}  // namespace

std::unique_ptr<DamageTracker> OpenDxgiDamageTracker() {
    // Off unless VISTREC_DAMAGE=1, as on X11: the damage path is not the default yet.
    const char* on = getenv("VISTREC_DAMAGE");
    if (!on || strcmp(on, "1") != 0 || g_unsupported || !DuplicationSupported())
        return nullptr;
    // Duplication covers one output; with several monitors a change on another would go
    // unreported.
    if (GetSystemMetrics(SM_CMONITORS) != 1)
        return nullptr;
    std::unique_ptr<DxgiDamageTracker> tracker(new DxgiDamageTracker);
    if (!tracker->Open())
        return nullptr;
    return tracker;
}

}  // namespace win32
}  // namespace platform
}  // namespace vistrec
