// Effect icons: ".ico" files loaded by the system and rendered into premultiplied ARGB.
#include <windows.h>

#include "platform/Platform.h"
#include "platform/win32/Win32Support.h"

namespace vistrec {
namespace platform {

std::unique_ptr<IconImage> LoadIconFile(const std::string& path, std::string* error) {
    auto fail = [error](const char* why) -> std::unique_ptr<IconImage> {
        if (error)
            *error = why;
        return nullptr;
    };
    const std::wstring wide = win32::Widen(path);
    if (wide.empty())
        return fail("bad file name");
    // Size 0 x 0 without LR_DEFAULTSIZE: the size stored in the file's first entry.
    HICON icon =
        static_cast<HICON>(LoadImageW(nullptr, wide.c_str(), IMAGE_ICON, 0, 0, LR_LOADFROMFILE));
    if (!icon)
        return fail("the system cannot load the icon file");
    auto image = std::make_unique<IconImage>();
    int xHotspot = 0, yHotspot = 0;
    const bool ok =
        win32::IconGeometry(icon, &image->width, &image->height, &xHotspot, &yHotspot) &&
        win32::RenderIcon(icon, image->width, image->height, &image->argb);
    DestroyIcon(icon);
    if (!ok)
        return fail("the icon cannot be drawn");
    // An icon's hotspot is its centre.
    image->xHotspot = image->width / 2;
    image->yHotspot = image->height / 2;
    return image;
}

}  // namespace platform
}  // namespace vistrec
