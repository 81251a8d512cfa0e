// vistrec public interface: everything a host needs to load the library, create a recorder and
// drive a recording. A host compiles against this header alone and links (or dlopens)
// libvistrec.so.
//
// Calling order expected of the host: create; setters; startRecord; any number of
// pauseRecord / resumeRecord; stopRecord; delete. The virtual slots below are in their binding
// order: hosts call them by position, so never reorder, insert or remove one.
#ifndef VISTREC_IRECORDMP4_H
#define VISTREC_IRECORDMP4_H

#include <stdint.h>

#if defined(_WIN32)
#define VISTREC_API  // vistrec.dll exports through its .def file
#elif defined(__GNUC__)
#define VISTREC_API __attribute__((visibility("default")))
#else
#define VISTREC_API
#endif

// Platform types of the interface; rectangles have exclusive right and bottom edges. Windows
// hosts get the system's own HWND, BYTE and RECT. On Linux the window handle carries the host's
// X11 window id (cast to a pointer) or null.
#if defined(_WIN32)
#include <windef.h>
#else
typedef void* HWND;
typedef uint8_t BYTE;
typedef struct tagRECT {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
} RECT;
#endif

// Window message posted to the host window (class "Vistrel") with wParam 0 and an lParam code:
// 0 display lost / no encoder, -5 I/O error, -12 out of memory, -101 / -102 low microphone level.
// On X11 it arrives as a ClientMessage of type "WM_RECORDER_NOTIFY" whose data.l is
// {5028, wParam, lParam}.
#define WM_RECORDER_NOTIFY 5028

#ifdef __cplusplus

// Implemented by the host. The library calls onRecordEnd, the third entry of the object's
// virtual table, on the record thread when a recording of the MP4 recorder has finished. GCC and
// Clang outside the Microsoft ABI give the destructor two entries, so onRecordEnd comes third;
// the Microsoft compiler gives it one, and an entry the library never calls keeps onRecordEnd
// third there too.
class IRecordCallback {
  public:
    virtual ~IRecordCallback() {}
#if defined(_MSC_VER)
    virtual void reserved1() {}
#endif
    virtual void onRecordEnd() = 0;
};

class IRecordMp4 {
  public:
    // Slot 0: destroys the recorder. A running recording is stopped and finished first. May be
    // called from onRecordEnd (the recorder is then freed once a waiting stopRecord returned).
    virtual ~IRecordMp4() {}
    // Slot 1: the object whose onRecordEnd is called once per recording when the record thread
    // ends (not owned).
    virtual void setCallback(IRecordCallback* callback) = 0;
    // Slot 2: output file path, copied; its extension chooses the container.
    virtual void setFileName(const char* fileName) = 0;
    // Slot 3: MP3 side-file path, copied: the next recording also writes its captured sound
    // there (16 kHz mono); later recordings write none unless the path is set again.
    virtual void setMp3FileName(const char* fileName) = 0;
    // Slot 4: sound file for audio mode 0, copied. Today the path is only stored: no sound file
    // is read, and audio mode 0 records a silent track.
    virtual void setAudioFile(const char* fileName) = 0;
    // Slot 5: frames per second, 2 to 30; the configuration file's "framerate" wins.
    virtual void setFrameRate(int fps) = 0;
    // Slot 6: quality level 0 to 3 (second argument ignored). Call before setDisplay.
    virtual void setQuality(int level, int unused) = 0;
    // Slot 7: region flag and capture rectangle (null: the first display); returns the bit rate.
    virtual int setCaptureRect(bool region, const RECT* rect) = 0;
    // Slot 8: no effect.
    virtual void reserved8(int a, int b) = 0;
    // Slot 9: 1-based display number; applies the quality table. Call after setCaptureRect.
    virtual void setDisplay(int number) = 0;
    // Slot 10: capture the display that holds the target window.
    virtual void setFollowTarget(bool follow) = 0;
    // Slot 11: capture scale factor (default 0.75).
    virtual void setScale(double scale) = 0;
    // Slot 12: encoder preset; the pointer is kept, not copied: keep it valid while recording.
    virtual void setPreset(const char* preset) = 0;
    // Slot 13: encoder tune; the pointer is kept, not copied.
    virtual void setTune(const char* tune) = 0;
    // Slot 14: no effect.
    virtual void reserved14(bool flag) = 0;
    // Slot 15: distance between key frames.
    virtual void setGopSize(int gopSize) = 0;
    // Slot 16: 0 one sound source (today: silence, no source is built yet), 1 microphone and
    // playback mixed, 2 playback only. Read when a recording starts; a change during a recording
    // takes effect at the next one.
    virtual void setAudioMode(int mode) = 0;
    // Slot 17: pause the recording.
    virtual void pauseRecord() = 0;
    // Slot 18: resume; returns the length of the pause just ended in milliseconds.
    virtual int resumeRecord() = 0;
    // Slot 19: one line of UTF-8 text drawn into every frame (20 pixels high, half opacity,
    // glyphs bottom-aligned on row y from column x) with the font file given; pointers kept, not
    // copied. A null or unreadable font skips the text with a log line. Null or empty text: none.
    virtual void setText(const char* fontFile, const char* text, float x, float y, BYTE red,
                         BYTE green, BYTE blue, BYTE unused) = 0;
    // Slot 20: start recording; returns at once. Ignored (with a log line) while a recording
    // runs.
    virtual void startRecord() = 0;
    // Slot 21: stop, wait for the file to be finished; returns recorded ms without pauses.
    virtual unsigned int stopRecord() = 0;
    // Slot 22: no effect.
    virtual void reserved22(uint32_t a, uint32_t b, uint32_t c, uint32_t d) = 0;
    // Slot 23: pointer show mode, click effect flag, highlight flag, pointer size in percent.
    // The click effects and the highlight use the icons "clickEffect_L0.ico" ... "_R5.ico" and
    // "highlight.ico" in the folder "mouseeffect" beside the host executable, loaded when an MP4
    // recording starts.
    virtual void setMouseShow(int mouseShow, int clickShow, int lightShow, int mouseSize) = 0;
    // Slot 24: the window message number of the host's last mouse event: 0x201 starts the left
    // click animation, 0x204 and 0x205 the right one (six frames).
    virtual void setMouseEvent(int message) = 0;
};

extern "C" {
#else
typedef struct IRecordMp4 IRecordMp4;
#endif

// A new MP4 (screen and sound) recorder, or null when it cannot be allocated.
VISTREC_API IRecordMp4* create_screen_record(HWND hostWnd);
// A new video-only H.264 recorder, or null when it cannot be allocated.
VISTREC_API IRecordMp4* create_screen_h246_record(HWND hostWnd);
// Size of a capture of the current settings: low 32 bits width, high 32 bits height.
VISTREC_API uint64_t get_desktop_size(void);

#ifdef __cplusplus
}
#endif

#endif  // VISTREC_IRECORDMP4_H
