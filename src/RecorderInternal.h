// Entry points inside the library for programs linked with its static core (the vistrec
// command line), beside the 25-slot interface that hosts of the shared library use. They reach
// settings that interface has no slot for; the shared library does not export them.
#ifndef VISTREC_SRC_RECORDERINTERNAL_H
#define VISTREC_SRC_RECORDERINTERNAL_H

#include <memory>

#include "vistrec/IRecordMp4.h"

namespace vistrec {
namespace internal {

// A new recorder, as create_screen_record (sound and video) or create_screen_h246_record
// (video only) make it; null when it cannot be made.
std::unique_ptr<IRecordMp4> CreateRecorder(HWND hostWnd, bool videoOnly);

// Records at `fps` frames per second from the next recording on, whatever setFrameRate, the
// configuration file or setDisplay's quality table decide. False (nothing changed) for a rate
// outside 2 to 30 or a recorder this library did not make.
bool ForceFrameRate(IRecordMp4* recorder, int fps);

// Encodes with this constant-quality factor (0 lossless to 51) from the next recording on, in
// place of the quality level's. Only the software H.264 encoder reads it; the hardware encoders
// work to a bit rate. False (nothing changed) for a value outside 0 to 51 or a recorder this
// library did not make.
bool ForceCrf(IRecordMp4* recorder, int crf);

}  // namespace internal
}  // namespace vistrec

#endif  // VISTREC_SRC_RECORDERINTERNAL_H
