// The Win32 backend of the platform seam on a real (Wine) desktop, where the recordings of
// wine-tests.sh do not reach: monitors, the edge of a GDI copy, the pointer, the "voluMem" block
// left to the host, a missing DLL and icon files. (The recordings prove the whole-screen GDI
// copies, the notification, the level written, the executable's folder and the clocks.)
//
//   vistrec_win_platform_test WIDTH HEIGHT     (the screen's size)
//
// Prints one line per check and "N passed, M failed" last; exits 1 on any failure.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "host_window.h"
#include "platform/Platform.h"

using namespace vistrec::platform;

namespace {

int g_passed = 0, g_failed = 0;

void Check(const char* name, bool ok, const std::string& detail = std::string()) {
    (ok ? g_passed : g_failed)++;
    printf("%s %s %s\n", ok ? "ok  " : "FAIL", name, detail.c_str());
}

std::string RectText(const RECT& r) {
    char text[80];
    snprintf(text, sizeof text, "(%ld,%ld,%ld,%ld)", static_cast<long>(r.left),
             static_cast<long>(r.top), static_cast<long>(r.right), static_cast<long>(r.bottom));
    return text;
}

// A one-entry 32-bit icon of 16 x 16 whose every pixel is (b, g, r, a), AND mask clear.
std::vector<uint8_t> MakeIcon(uint8_t b, uint8_t g, uint8_t r, uint8_t a) {
    const int size = 16;
    std::vector<uint8_t> bmp(40, 0);
    auto put32 = [](std::vector<uint8_t>& v, size_t at, uint32_t x) {
        for (int i = 0; i < 4; ++i)
            v[at + i] = static_cast<uint8_t>(x >> (8 * i));
    };
    put32(bmp, 0, 40);
    put32(bmp, 4, size);
    put32(bmp, 8, size * 2);  // colour and mask rows
    bmp[12] = 1;
    bmp[14] = 32;
    for (int i = 0; i < size * size; ++i)
        bmp.insert(bmp.end(), {b, g, r, a});
    bmp.insert(bmp.end(), size * 4, 0);  // AND mask: 16 rows of 4 bytes
    std::vector<uint8_t> file = {0, 0, 1, 0, 1, 0, size, size, 0, 0, 1, 0, 32, 0};
    file.resize(22, 0);
    put32(file, 14, static_cast<uint32_t>(bmp.size()));
    put32(file, 18, 22);
    file.insert(file.end(), bmp.begin(), bmp.end());
    return file;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s WIDTH HEIGHT\n", argv[0]);
        return 2;
    }
    const int width = atoi(argv[1]), height = atoi(argv[2]);
    const RECT screen = {0, 0, width, height};

    // One monitor, the screen.
    DisplayServer& display = Display();
    const std::vector<RECT> monitors = display.Monitors();
    Check("monitors",
          display.MonitorCount() == 1 && monitors.size() == 1 && EqualRect(&monitors[0], &screen),
          monitors.empty() ? "none" : RectText(monitors[0]));
    RECT target = {};
    Check("no target window", !display.FindTargetWindowRect(&target));

    // A GDI copy of a window of four colours that covers the screen, over the right edge (in
    // the green quadrant): the part outside reads as black.
    HWND pattern =
        MakeWindow(L"VistrecPattern", PatternProc, 0, WS_POPUP | WS_VISIBLE, width, height);
    SetWindowPos(pattern, HWND_TOPMOST, 0, 0, width, height, SWP_SHOWWINDOW);
    Pump(1000);
    std::unique_ptr<ScreenGrabber> grabber = display.CreateGrabber();
    ImageView view;
    const bool partial = grabber && grabber->Grab(nullptr, width - 8, 0, 16, 4, &view);
    const uint8_t* inside = partial ? view.data + 4 * 4 : nullptr;
    const uint8_t* outside = partial ? view.data + 12 * 4 : nullptr;
    Check("grab past the edge",
          partial && inside[0] == 0 && inside[1] == 255 && inside[2] == 0 && outside[0] == 0 &&
              outside[1] == 0 && outside[2] == 0,
          partial ? std::to_string(inside[1]) + " / " + std::to_string(outside[1]) : "failed");

    PointerImage pointer;
    const bool pointerRead = display.GetPointer(&pointer);
    Check("pointer",
          pointerRead &&
              (!pointer.visible ||
               (pointer.width > 0 && pointer.height > 0 &&
                pointer.argb.size() == static_cast<size_t>(pointer.width) * pointer.height)),
          pointer.visible ? std::to_string(pointer.width) + "x" + std::to_string(pointer.height)
                          : "hidden");

    // "voluMem" is the host's: opened, never created.
    Check("no level block before the host's", OpenSharedLevelBlock() == nullptr);

    // DLLs: a symbol that is not there, a library that is not there.
    const std::string dir = ExecutableDir();
    std::unique_ptr<SharedLibrary> kernel = SharedLibrary::Open("kernel32.dll");
    Check("load a DLL", kernel && kernel->Symbol("GetTickCount") && !kernel->Symbol("NoSuchName"));
    Check("missing DLL", !SharedLibrary::Open(SharedLibraryFileName("no-such-library")));

    // Icons: premultiplied ARGB at the size stored in the file; the hotspot is the centre.
    struct IconCase {
        uint8_t b, g, r, a;
        uint32_t argb;  // expected, premultiplied
    } iconCases[] = {
        {0, 0, 255, 255, 0xFFFF0000u},
        {255, 0, 0, 128, 0x80000080u},
    };
    const std::string iconPath = dir + "test-effect.ico";
    for (const IconCase& c : iconCases) {
        const std::vector<uint8_t> bytes = MakeIcon(c.b, c.g, c.r, c.a);
        FILE* f = fopen(iconPath.c_str(), "wb");
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
        std::string error;
        std::unique_ptr<IconImage> icon = LoadIconFile(iconPath, &error);
        uint32_t got = icon && !icon->argb.empty() ? icon->argb[0] : 0xDEADBEEFu;
        int worst = 0;
        for (int s = 0; s < 32; s += 8)
            worst = std::max(worst, abs(static_cast<int>((got >> s) & 0xFF) -
                                        static_cast<int>((c.argb >> s) & 0xFF)));
        char detail[64];
        snprintf(detail, sizeof detail, "%08X want %08X %s", got, c.argb, error.c_str());
        Check("icon pixel",
              icon && icon->width == 16 && icon->height == 16 && icon->xHotspot == 8 &&
                  icon->yHotspot == 8 && worst <= 2,
              detail);
    }
    DeleteFileA(iconPath.c_str());
    Check("malformed icon", !LoadIconFile(dir + "vistrec_win_platform_test.exe"));

    DestroyWindow(pattern);
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed ? 1 : 0;
}
