/* A Windows host in C for the sound checks: it owns what a real host offers the recorder for
 * sound (the "voluMem" level block and a window of class "Vistrel" for notifications), records
 * in one audio mode and reports what it saw.
 *
 *   vistrec_sound_host OUT.mp4 SECONDS MODE [FRAMERATE [pause]]
 *
 * With "pause" the recording is paused for one second at half time (the sound source is stopped
 * and started again). Prints one line per notification ("notify CODE"), the level read from "voluMem" every 100 ms
 * ("level max N nonzero K of M") and stopRecord's result ("recorded MS"). */
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
typedef unsigned(SLOT_CALL* StopFn)(void*);
typedef int(SLOT_CALL* ResumeFn)(void*);

enum { kDestroy = 0, kSetFileName = 2, kSetFrameRate = 5, kSetAudioMode = 16,
       kPauseRecord = 17, kResumeRecord = 18, kStartRecord = 20, kStopRecord = 21 };
enum { kRecorderNotify = 5028, kLevelBytes = 4096 };

static void* Slot(void* recorder, int index) {
    return (*(void***)recorder)[index];
}

static LRESULT CALLBACK NotifyProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == kRecorderNotify) {
        printf("notify %ld\n", (long)l);
        fflush(stdout);
        return 0;
    }
    return DefWindowProcW(window, message, w, l);
}

/* The level as the library left it: decimal text at the start of the block, opened by name as
 * any reader of the block would. -1 when the block cannot be read. */
static int ReadLevel(void) {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, L"voluMem");
    if (!mapping)
        return -1;
    const char* view = (const char*)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    int level = -1;
    if (view) {
        char text[16] = {0};
        memcpy(text, view, sizeof text - 1);
        level = atoi(text);
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    return level;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s OUT.mp4 SECONDS MODE [FRAMERATE [pause]]\n", argv[0]);
        return 2;
    }
    /* The block exists before the recorder looks for it, as the host creates it. */
    HANDLE block = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, kLevelBytes,
                                      L"voluMem");
    if (!block) {
        fprintf(stderr, "voluMem not created (error %lu)\n", GetLastError());
        return 1;
    }
    WNDCLASSW cls = {0};
    cls.lpfnWndProc = NotifyProc;
    cls.hInstance = GetModuleHandleW(NULL);
    cls.lpszClassName = L"Vistrel";
    RegisterClassW(&cls);
    /* A top-level window (never shown): FindWindowW finds it, unlike a message-only one. */
    HWND window = CreateWindowExW(0, L"Vistrel", NULL, WS_POPUP, 0, 0, 1, 1, NULL, NULL,
                                  cls.hInstance, NULL);
    HMODULE dll = LoadLibraryW(L"vistrec.dll");
    CreateFn create = dll ? (CreateFn)(void*)GetProcAddress(dll, "create_screen_record") : NULL;
    void* recorder = create ? create(window) : NULL;
    if (!window || !recorder) {
        fprintf(stderr, "no window, library or recorder\n");
        return 1;
    }
    ((StringFn)Slot(recorder, kSetFileName))(recorder, argv[1]);
    ((IntFn)Slot(recorder, kSetFrameRate))(recorder, argc > 4 ? atoi(argv[4]) : 5);
    ((IntFn)Slot(recorder, kSetAudioMode))(recorder, atoi(argv[3]));
    ((VoidFn)Slot(recorder, kStartRecord))(recorder);

    int maxLevel = -1, nonzero = 0, samples = 0;
    const DWORD length = (DWORD)(atof(argv[2]) * 1000), start = GetTickCount();
    const DWORD end = start + length;
    int pause = argc > 5 && strcmp(argv[5], "pause") == 0 ? 1 : 0;
    DWORD nextSample = GetTickCount();
    while ((LONG)(end - GetTickCount()) > 0) {
        MSG msg;
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (pause == 1 && GetTickCount() - start >= length / 2) {
            ((VoidFn)Slot(recorder, kPauseRecord))(recorder);
            pause = 2;
        } else if (pause == 2 && GetTickCount() - start >= length / 2 + 1000) {
            printf("paused %d\n", ((ResumeFn)Slot(recorder, kResumeRecord))(recorder));
            pause = 3;
        }
        if ((LONG)(GetTickCount() - nextSample) >= 0) {
            const int level = ReadLevel();
            maxLevel = level > maxLevel ? level : maxLevel;
            nonzero += level > 0;
            ++samples;
            nextSample += 100;
        }
        Sleep(5);
    }
    const unsigned recorded = ((StopFn)Slot(recorder, kStopRecord))(recorder);
    ((DestroyFn)Slot(recorder, kDestroy))(recorder, 1);
    printf("level max %d nonzero %d of %d\n", maxLevel, nonzero, samples);
    printf("recorded %u\n", recorded);
    DestroyWindow(window);
    FreeLibrary(dll);
    CloseHandle(block);
    return 0;
}
