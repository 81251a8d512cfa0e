/* What the Windows test programs (C and C++) share: a window of four known colours, window
 * classes and the message pump. */
#ifndef VISTREC_TEST_HOST_WINDOW_H
#define VISTREC_TEST_HOST_WINDOW_H

#include <windows.h>

/* The pattern's quadrants: red, green, blue, white (top left, top right, bottom left, bottom
 * right; COLORREF order is R, G, B). */
static const COLORREF kQuadrants[4] = {RGB(255, 0, 0), RGB(0, 255, 0), RGB(0, 0, 255),
                                       RGB(255, 255, 255)};

static LRESULT CALLBACK PatternProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message != WM_PAINT)
        return DefWindowProcW(window, message, w, l);
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    const LONG midX = client.right / 2, midY = client.bottom / 2;
    for (int i = 0; i < 4; ++i) {
        RECT part = {i % 2 ? midX : 0, i / 2 ? midY : 0, i % 2 ? client.right : midX,
                     i / 2 ? client.bottom : midY};
        HBRUSH brush = CreateSolidBrush(kQuadrants[i]);
        FillRect(dc, &part, brush);
        DeleteObject(brush);
    }
    EndPaint(window, &paint);
    return 0;
}

static HWND MakeWindow(const wchar_t* cls, WNDPROC proc, DWORD exStyle, DWORD style, int w, int h) {
    WNDCLASSW wc;
    ZeroMemory(&wc, sizeof wc);  // as C and C++ alike accept without a warning
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(NULL);
    wc.lpszClassName = cls;
    RegisterClassW(&wc);
    return CreateWindowExW(exStyle, cls, cls, style, 0, 0, w, h, NULL, NULL, wc.hInstance, NULL);
}

/* Dispatches messages for ms milliseconds, calling tick (when given) every 5 ms; sooner when
 * *stop becomes non-zero. */
static void PumpUntil(DWORD ms, const int* stop, void (*tick)(void)) {
    const DWORD end = GetTickCount() + ms;
    do {
        MSG msg;
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (tick)
            tick();
        Sleep(5);
    } while ((LONG)(end - GetTickCount()) > 0 && !(stop && *stop));
}

static void Pump(DWORD ms) {
    PumpUntil(ms, NULL, NULL);
}

#endif /* VISTREC_TEST_HOST_WINDOW_H */
