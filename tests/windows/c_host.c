/* A Windows host written in C: loads vistrec.dll, records the screen while a window of its own
 * shows a known picture, and calls the recorder's table by position with the Microsoft calling
 * convention (__thiscall on 32-bit x86).
 *
 *   vistrec_c_host OUT.mp4 SECONDS [h264] [pause=AT,FOR] [rect=L,T,R,B] [novistrel]
 *   vistrec_c_host listen SECONDS
 *
 * The window fills the first monitor with four quadrants: red, green, blue, white (top left,
 * top right, bottom left, bottom right). SECONDS run from startRecord to stopRecord; pause=AT,FOR
 * pauses AT ms after the start for FOR ms. rect= records that rectangle as a region. The host
 * keeps a hidden window of class "Vistrel" (not with novistrel). Prints "resumed MS" with
 * resumeRecord's result, "recorded MS" with stopRecord's, and "notify CODE" for each
 * WM_RECORDER_NOTIFY its "Vistrel" window receives.
 *
 * "listen" keeps only a "Vistrel" window, for SECONDS or until a first notification has come,
 * and prints what it receives: the host's window for a recorder in another process that ends
 * before it could read its own messages. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vistrec/IRecordMp4.h"

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
typedef int(SLOT_CALL* RectFn)(void*, _Bool, const RECT*);
typedef void(SLOT_CALL* Int4Fn)(void*, int, int, int, int);
typedef int(SLOT_CALL* ResumeFn)(void*);
typedef unsigned(SLOT_CALL* StopFn)(void*);

enum {
    kDestroy = 0,
    kSetFileName = 2,
    kSetFrameRate = 5,
    kSetCaptureRect = 7,
    kSetAudioMode = 16,
    kPauseRecord = 17,
    kResumeRecord = 18,
    kStartRecord = 20,
    kStopRecord = 21,
    kSetMouseShow = 23
};

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

static int g_notified = 0;

static LRESULT CALLBACK VistrelProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_RECORDER_NOTIFY) {
        g_notified = 1;
        printf("notify %ld\n", (long)l);
        fflush(stdout);
        return 0;
    }
    return DefWindowProcW(window, message, w, l);
}

static HWND MakeWindow(const wchar_t* cls, WNDPROC proc, DWORD exStyle, DWORD style, int w, int h) {
    WNDCLASSW wc = {0};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(NULL);
    wc.lpszClassName = cls;
    RegisterClassW(&wc);
    return CreateWindowExW(exStyle, cls, cls, style, 0, 0, w, h, NULL, NULL, wc.hInstance, NULL);
}

/* Dispatches messages for ms milliseconds, or until a notification came when untilNotified. */
static void PumpFor(DWORD ms, int untilNotified) {
    const DWORD end = GetTickCount() + ms;
    do {
        MSG msg;
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(5);
    } while ((LONG)(end - GetTickCount()) > 0 && !(untilNotified && g_notified));
}

static void Pump(DWORD ms) {
    PumpFor(ms, 0);
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s OUT.mp4|listen SECONDS [options]\n", argv[0]);
        return 2;
    }
    const DWORD total = (DWORD)(atof(argv[2]) * 1000);
    if (strcmp(argv[1], "listen") == 0) {
        MakeWindow(L"Vistrel", VistrelProc, 0, WS_OVERLAPPEDWINDOW, 100, 100);
        printf("listening\n");
        fflush(stdout);
        PumpFor(total, 1);
        return g_notified ? 0 : 1;
    }
    int h264 = 0, vistrel = 1, pauseAt = -1, pauseFor = 0, region = 0;
    RECT rect = {0, 0, 0, 0};
    for (int i = 3; i < argc; ++i) {
        if (strcmp(argv[i], "h264") == 0)
            h264 = 1;
        else if (strcmp(argv[i], "novistrel") == 0)
            vistrel = 0;
        else if (sscanf(argv[i], "pause=%d,%d", &pauseAt, &pauseFor) == 2)
            ;
        else if (sscanf(argv[i], "rect=%ld,%ld,%ld,%ld", &rect.left, &rect.top, &rect.right,
                        &rect.bottom) == 4)
            region = 1;
        else {
            fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }

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

    const int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    HWND window = MakeWindow(L"VistrecPattern", PatternProc, WS_EX_TOPMOST, WS_POPUP, w, h);
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    HWND host =
        vistrel ? MakeWindow(L"Vistrel", VistrelProc, 0, WS_OVERLAPPEDWINDOW, 100, 100) : NULL;
    Pump(500);

    void* recorder = create(NULL);
    if (!recorder) {
        fprintf(stderr, "no recorder\n");
        return 1;
    }
    ((StringFn)Slot(recorder, kSetFileName))(recorder, argv[1]);
    ((IntFn)Slot(recorder, kSetFrameRate))(recorder, 20);
    if (region)
        ((RectFn)Slot(recorder, kSetCaptureRect))(recorder, 1, &rect);
    ((IntFn)Slot(recorder, kSetAudioMode))(recorder, 0);
    ((Int4Fn)Slot(recorder, kSetMouseShow))(recorder, 0, 0, 0, 100);
    ((VoidFn)Slot(recorder, kStartRecord))(recorder);
    DWORD elapsed = 0;
    if (pauseAt >= 0) {
        Pump((DWORD)pauseAt);
        ((VoidFn)Slot(recorder, kPauseRecord))(recorder);
        Pump((DWORD)pauseFor);
        printf("resumed %d\n", ((ResumeFn)Slot(recorder, kResumeRecord))(recorder));
        elapsed = (DWORD)(pauseAt + pauseFor);
    }
    Pump(total > elapsed ? total - elapsed : 0);
    const unsigned recorded = ((StopFn)Slot(recorder, kStopRecord))(recorder);
    ((DestroyFn)Slot(recorder, kDestroy))(recorder, 1);
    printf("recorded %u\n", recorded);
    Pump(500);  // notifications posted by the recording's end
    if (host)
        DestroyWindow(host);
    DestroyWindow(window);
    FreeLibrary(dll);
    return 0;
}
