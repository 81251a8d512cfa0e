// Helpers of the Win32 backend: text conversions and owners of system handles.
#ifndef VISTREC_PLATFORM_WIN32_WIN32SUPPORT_H
#define VISTREC_PLATFORM_WIN32_WIN32SUPPORT_H

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

namespace vistrec {
namespace platform {
namespace win32 {

// UTF-8 <-> UTF-16 (the library's narrow strings are UTF-8). Invalid input gives "".
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// The file name of a module (null: the executable) in UTF-8, without length limit.
std::string ModulePath(HMODULE module);
// The folder part of a path with its trailing separator ("" when there is none).
std::string DirectoryOf(const std::string& path);

// Owns a kernel handle (CloseHandle). Null and INVALID_HANDLE_VALUE mean none.
class Handle {
  public:
    explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
    ~Handle() { Reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ && handle_ != INVALID_HANDLE_VALUE; }
    void Reset(HANDLE handle = nullptr) {
        if (valid())
            CloseHandle(handle_);
        handle_ = handle;
    }

  private:
    HANDLE handle_;
};

// A top-down 32-bit DIB section selected into a memory device context of its own: GDI draws
// into it and its pixels are read in place (blue, green, red, fourth byte; rows top first).
class DibCanvas {
  public:
    DibCanvas() = default;
    ~DibCanvas();
    DibCanvas(const DibCanvas&) = delete;
    DibCanvas& operator=(const DibCanvas&) = delete;
    // (Re)creates the canvas at w x h unless it has that size already. False on failure.
    bool Resize(int w, int h);
    HDC dc() const { return dc_; }
    uint8_t* bits() const { return bits_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int stride() const { return width_ * 4; }

  private:
    void Release();
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
    uint8_t* bits_ = nullptr;
    int width_ = 0, height_ = 0;
};

// Renders an icon or cursor of w x h pixels into premultiplied ARGB (rows top first) by drawing
// it with DrawIconEx on black and on white: where the two agree the pixel is opaque, and the
// difference gives the coverage. Inverting (XOR) parts of monochrome pointers come out as
// half-transparent grey. False when the icon cannot be drawn.
bool RenderIcon(HICON icon, int w, int h, std::vector<uint32_t>* argb);

// The pixel size of an icon or cursor from its bitmaps, and its hotspot. False for a bad icon.
bool IconGeometry(HICON icon, int* w, int* h, int* xHotspot, int* yHotspot);

}  // namespace win32
}  // namespace platform
}  // namespace vistrec

#endif  // VISTREC_PLATFORM_WIN32_WIN32SUPPORT_H
