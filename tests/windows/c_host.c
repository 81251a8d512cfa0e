/* A Windows host written in C: loads vistrec.dll, records the screen while a window of its own
 * shows a known picture, and calls the recorder's table by position with the Microsoft calling
 * convention (__thiscall on 32-bit x86).
 *
 *   vistrec_c_host OUT.mp4 SECONDS [h264]
 *
 * The window fills the first monitor with four quadrants: red, green, blue, white (top left,
 * top right, bottom left, bottom right). Prints "recorded MS" with stopRecord's result. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(__i386__)
#define SLOT_CALL __attribute__((thiscall))
#else
#define SLOT_CALL
#endif

typedef void*(__cdecl* CreateFn)(HWND);
typedef void(SLOT_CALL* VoidFn)(void*);
typedef void*(SLOT_CALL* DestroyFn)(void*, unsigned);
typedef void(SLOT_CALL* StringFn)(void*, const char*);
typedef void(SLOT_CALL* IntFn)(void*, int);
typedef void(SLOT_CALL* Int4Fn)(void*, int, int, int, int);
typedef unsigned(SLOT_CALL* StopFn)(void*);

enum { kDestroy = 0, kSetFileName = 2, kSetFrameRate = 5, kSetAudioMode = 16,
       kStartRecord = 20, kStopRecord = 21, kSetMouseShow = 23 };

static void* Slot(void* recorder, int index) {
    return (*(void***)recorder)[index];
}

static LRESULT CALLBACK PatternProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT client;
        GetClientRect(window, &client);
        const int midX = client.right / 2, midY = client.bottom / 2;
        const COLORREF colours[4] = {RGB(255, 0, 0), RGB(0, 255, 0), RGB(0, 0, 255),
                                     RGB(255, 255, 255)};
        for (int i = 0; i < 4; ++i) {
            RECT part = {i % 2 ? midX : 0, i / 2 ? midY : 0, i % 2 ? client.right : midX,
                         i / 2 ? client.bottom : midY};
            HBRUSH brush = CreateSolidBrush(colours[i]);
            FillRect(dc, &part, brush);
            DeleteObject(brush);
        }
        EndPaint(window, &paint);
        return 0;
    }
    return DefWindowProcW(window, message, w, l);
}

static void Pump(DWORD ms) {
    const DWORD end = GetTickCount() + ms;
    while ((LONG)(end - GetTickCount()) > 0) {
        MSG msg;
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(5);
    }
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s OUT.mp4 SECONDS [h264]\n", argv[0]);
        return 2;
    }
    const int h264 = argc > 3 && strcmp(argv[3], "h264") == 0;
    HMODULE dll = LoadLibraryW(L"vistrec.dll");
    if (!dll) {
        fprintf(stderr, "vistrec.dll not loaded (error %lu)\n", GetLastError());
        return 1;
    }
    CreateFn create = (CreateFn)(void*)GetProcAddress(
        dll, h264 ? "create_screen_h246_record" : "create_screen_record");
    if (!create) {
        fprintf(stderr, "create function not exported\n");
        return 1;
    }

    WNDCLASSW cls = {0};
    cls.lpfnWndProc = PatternProc;
    cls.hInstance = GetModuleHandleW(NULL);
    cls.lpszClassName = L"VistrecPattern";
    RegisterClassW(&cls);
    const int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    HWND window = CreateWindowExW(WS_EX_TOPMOST, L"VistrecPattern", L"pattern", WS_POPUP, 0, 0,
                                  w, h, NULL, NULL, cls.hInstance, NULL);
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    Pump(500);

    void* recorder = create(NULL);
    if (!recorder) {
        fprintf(stderr, "no recorder\n");
        return 1;
    }
    ((StringFn)Slot(recorder, kSetFileName))(recorder, argv[1]);
    ((IntFn)Slot(recorder, kSetFrameRate))(recorder, 20);
    ((IntFn)Slot(recorder, kSetAudioMode))(recorder, 0);
    ((Int4Fn)Slot(recorder, kSetMouseShow))(recorder, 0, 0, 0, 100);
    ((VoidFn)Slot(recorder, kStartRecord))(recorder);
    Pump((DWORD)(atof(argv[2]) * 1000));
    const unsigned recorded = ((StopFn)Slot(recorder, kStopRecord))(recorder);
    ((DestroyFn)Slot(recorder, kDestroy))(recorder, 1);
    printf("recorded %u\n", recorded);
    DestroyWindow(window);
    FreeLibrary(dll);
    return 0;
}
