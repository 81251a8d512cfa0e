// Text conversions, module paths, the DIB canvas and icon rendering.
#include "platform/win32/Win32Support.h"

#include <string.h>

#include <algorithm>

namespace vistrec {
namespace platform {
namespace win32 {

std::wstring Widen(const std::string& text) {
    if (text.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                      static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        &wide[0], n);
    return wide;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty())
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string narrow(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], n,
                        nullptr, nullptr);
    return narrow;
}

std::string ModulePath(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0)
            return std::string();
        if (n < path.size()) {
            path.resize(n);
            return Narrow(path);
        }
        path.resize(path.size() * 2);  // truncated: again with more room
    }
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

DibCanvas::~DibCanvas() {
    Release();
}

void DibCanvas::Release() {
    if (dc_) {
        if (previous_)
            SelectObject(dc_, previous_);
        DeleteDC(dc_);
    }
    if (bitmap_)
        DeleteObject(bitmap_);
    dc_ = nullptr;
    bitmap_ = nullptr;
    previous_ = nullptr;
    bits_ = nullptr;
    width_ = height_ = 0;
}

bool DibCanvas::Resize(int w, int h) {
    if (w <= 0 || h <= 0)
        return false;
    if (dc_ && w == width_ && h == height_)
        return true;
    Release();
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;  // negative: rows top first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap || !bits) {
        if (bitmap)
            DeleteObject(bitmap);
        return false;
    }
    HDC dc = CreateCompatibleDC(nullptr);
    if (!dc) {
        DeleteObject(bitmap);
        return false;
    }
    bitmap_ = bitmap;
    dc_ = dc;
    previous_ = SelectObject(dc_, bitmap_);
    bits_ = static_cast<uint8_t*>(bits);
    width_ = w;
    height_ = h;
    return true;
}

bool IconGeometry(HICON icon, int* w, int* h, int* xHotspot, int* yHotspot) {
    ICONINFO info{};
    if (!icon || !GetIconInfo(icon, &info))
        return false;
    BITMAP bm{};
    const bool colour = info.hbmColor != nullptr;
    const bool ok = GetObjectW(colour ? info.hbmColor : info.hbmMask, sizeof bm, &bm) != 0;
    if (info.hbmColor)
        DeleteObject(info.hbmColor);
    if (info.hbmMask)
        DeleteObject(info.hbmMask);
    if (!ok || bm.bmWidth <= 0 || bm.bmHeight <= 0)
        return false;
    *w = bm.bmWidth;
    // A monochrome icon's mask holds the AND mask above the XOR mask.
    *h = colour ? bm.bmHeight : bm.bmHeight / 2;
    *xHotspot = static_cast<int>(info.xHotspot);
    *yHotspot = static_cast<int>(info.yHotspot);
    return *h > 0;
}

bool RenderIcon(HICON icon, int w, int h, std::vector<uint32_t>* argb) {
    DibCanvas black, white;
    if (!icon || !black.Resize(w, h) || !white.Resize(w, h))
        return false;
    const size_t bytes = static_cast<size_t>(w) * h * 4;
    memset(black.bits(), 0x00, bytes);
    memset(white.bits(), 0xFF, bytes);
    if (!DrawIconEx(black.dc(), 0, 0, icon, w, h, 0, nullptr, DI_NORMAL) ||
        !DrawIconEx(white.dc(), 0, 0, icon, w, h, 0, nullptr, DI_NORMAL))
        return false;
    GdiFlush();
    argb->assign(static_cast<size_t>(w) * h, 0);
    const uint8_t* b = black.bits();
    const uint8_t* wh = white.bits();
    for (size_t i = 0; i < argb->size(); ++i, b += 4, wh += 4) {
        // On black a pixel shows colour x alpha; on white colour x alpha + (1 - alpha) x 255.
        int spread = 0;
        for (int c = 0; c < 3; ++c)
            spread = std::max(spread, static_cast<int>(wh[c]) - static_cast<int>(b[c]));
        const uint32_t alpha = static_cast<uint32_t>(255 - std::min(255, std::max(0, spread)));
        uint32_t pixel = alpha << 24;
        for (int c = 0; c < 3; ++c)
            pixel |= static_cast<uint32_t>(std::min<uint32_t>(b[c], alpha)) << (8 * c);
        (*argb)[i] = pixel;
    }
    return true;
}

}  // namespace win32
}  // namespace platform
}  // namespace vistrec
