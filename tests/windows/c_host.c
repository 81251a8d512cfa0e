/* A Windows host written in C: loads vistrec.dll, records while a window of its own shows a
 * known picture, and calls the recorder's table by position with the Microsoft calling
 * convention (__thiscall on 32-bit x86).
 *
 *   vistrec_c_host OUT.mp4 SECONDS [h264] [pause=AT,FOR] [rect=L,T,R,B] [novistrel] [fps=N]
 *                  [audio=MODE] [level] [own]
 *   vistrec_c_host listen SECONDS
 *
 * The pattern window fills the first monitor (host_window.h). SECONDS run from startRecord to
 * stopRecord at fps (20 unless told) in audio mode MODE (0 unless told); pause=AT,FOR pauses AT
 * ms after the start for FOR ms; rect= records that rectangle as a region. The host keeps a
 * hidden window of class "Vistrel" (not with novistrel) and, with own, hands it to the recorder
 * as its window. With level it owns the "voluMem" block from before the recorder's creation, as
 * a host does, reads the level in it every 100 ms and prints "level max N nonzero K of M".
 * Prints "resumed MS" with resumeRecord's result, "recorded MS" with stopRecord's, and
 * "notify CODE" for each WM_RECORDER_NOTIFY its "Vistrel" window receives (followed by
 * "(wParam not 0)" when it is not).
 *
 * "listen" keeps only a "Vistrel" window, for SECONDS or until a first notification has come,
 * and prints what it receives: the host's window for a recorder in another process that ends
 * before it could read its own messages. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host_window.h"
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

static int g_notified = 0;

static LRESULT CALLBACK VistrelProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_RECORDER_NOTIFY) {
        g_notified = 1;
        printf("notify %ld%s\n", (long)l, w ? " (wParam not 0)" : "");
        fflush(stdout);
        return 0;
    }
    return DefWindowProcW(window, message, w, l);
}

static int g_maxLevel = -1, g_nonzero = 0, g_samples = 0;
static DWORD g_nextSample = 0;

/* The level as the library left it: decimal text at the start of the block, opened by name as
 * any reader of the block would (-1 when it cannot be read); sampled every 100 ms. */
static void SampleLevel(void) {
    if ((LONG)(GetTickCount() - g_nextSample) < 0)
        return;
    g_nextSample += 100;
    int level = -1;
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, L"voluMem");
    const char* view = mapping ? (const char*)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : NULL;
    if (view) {
        char text[16] = {0};
        memcpy(text, view, sizeof text - 1);
        level = atoi(text);
        UnmapViewOfFile(view);
    }
    if (mapping)
        CloseHandle(mapping);
    g_maxLevel = level > g_maxLevel ? level : g_maxLevel;
    g_nonzero += level > 0;
    ++g_samples;
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
        PumpUntil(total, &g_notified, NULL);
        return g_notified ? 0 : 1;
    }
    int h264 = 0, vistrel = 1, own = 0, level = 0, pauseAt = -1, pauseFor = 0, region = 0;
    int fps = 20, audio = 0;
    RECT rect = {0, 0, 0, 0};
    for (int i = 3; i < argc; ++i) {
        if (strcmp(argv[i], "h264") == 0)
            h264 = 1;
        else if (strcmp(argv[i], "novistrel") == 0)
            vistrel = 0;
        else if (strcmp(argv[i], "own") == 0)
            own = 1;
        else if (strcmp(argv[i], "level") == 0)
            level = 1;
        else if (sscanf(argv[i], "pause=%d,%d", &pauseAt, &pauseFor) == 2 ||
                 sscanf(argv[i], "fps=%d", &fps) == 1 || sscanf(argv[i], "audio=%d", &audio) == 1)
            ;
        else if (sscanf(argv[i], "rect=%ld,%ld,%ld,%ld", &rect.left, &rect.top, &rect.right,
                        &rect.bottom) == 4)
            region = 1;
        else {
            fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }

    HANDLE block =
        level ? CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096, L"voluMem")
              : NULL;
    HMODULE dll = LoadLibraryW(L"vistrec.dll");
    CreateFn create = dll ? (CreateFn)(void*)GetProcAddress(
                                dll, h264 ? "create_screen_h246_record" : "create_screen_record")
                          : NULL;
    if (!create || (level && !block)) {
        fprintf(stderr, "no vistrec.dll, create function or voluMem (error %lu)\n", GetLastError());
        return 1;
    }

    const int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    HWND window = MakeWindow(L"VistrecPattern", PatternProc, WS_EX_TOPMOST, WS_POPUP, w, h);
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    HWND host =
        vistrel ? MakeWindow(L"Vistrel", VistrelProc, 0, WS_OVERLAPPEDWINDOW, 100, 100) : NULL;
    Pump(500);

    void* recorder = create(own ? host : NULL);
    if (!recorder) {
        fprintf(stderr, "no recorder\n");
        return 1;
    }
    ((StringFn)Slot(recorder, kSetFileName))(recorder, argv[1]);
    ((IntFn)Slot(recorder, kSetFrameRate))(recorder, fps);
    if (region)
        ((RectFn)Slot(recorder, kSetCaptureRect))(recorder, 1, &rect);
    ((IntFn)Slot(recorder, kSetAudioMode))(recorder, audio);
    ((Int4Fn)Slot(recorder, kSetMouseShow))(recorder, 0, 0, 0, 100);
    ((VoidFn)Slot(recorder, kStartRecord))(recorder);
    void (*tick)(void) = level ? SampleLevel : NULL;
    g_nextSample = GetTickCount();
    DWORD elapsed = 0;
    if (pauseAt >= 0) {
        PumpUntil((DWORD)pauseAt, NULL, tick);
        ((VoidFn)Slot(recorder, kPauseRecord))(recorder);
        PumpUntil((DWORD)pauseFor, NULL, tick);
        printf("resumed %d\n", ((ResumeFn)Slot(recorder, kResumeRecord))(recorder));
        elapsed = (DWORD)(pauseAt + pauseFor);
    }
    PumpUntil(total > elapsed ? total - elapsed : 0, NULL, tick);
    const unsigned recorded = ((StopFn)Slot(recorder, kStopRecord))(recorder);
    ((DestroyFn)Slot(recorder, kDestroy))(recorder, 1);
    if (level)
        printf("level max %d nonzero %d of %d\n", g_maxLevel, g_nonzero, g_samples);
    printf("recorded %u\n", recorded);
    Pump(500);  // notifications posted by the recording's end
    if (host)
        DestroyWindow(host);
    DestroyWindow(window);
    FreeLibrary(dll);
    if (block)
        CloseHandle(block);
    return 0;
}
