// The Windows types vistrec/IRecordMp4.h takes from <windef.h>, as the Windows SDK defines them,
// for the host built for the Microsoft ABI on a machine without that SDK (cpp_host.cpp).
#ifndef VISTREC_TEST_MSVC_WINDEF_H
#define VISTREC_TEST_MSVC_WINDEF_H

struct HWND__ {
    int unused;
};
typedef struct HWND__* HWND;
typedef unsigned char BYTE;
typedef struct tagRECT {
    long left;
    long top;
    long right;
    long bottom;
} RECT;

#endif  // VISTREC_TEST_MSVC_WINDEF_H
