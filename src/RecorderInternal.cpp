#include "RecorderInternal.h"

#include <new>

#include "RecordH264Sink.h"
#include "RecordMp4Sink.h"
#include "RecorderSlots.h"
#include "Version.h"

// Reaches the encoder object behind a recorder's slots (a friend of CRecorderSlots).
class RecorderInternalAccess {
  public:
    static CH264WindowRecorder* EncoderOf(IRecordMp4* recorder) {
        auto* slots = dynamic_cast<CRecorderSlots*>(recorder);
        return slots ? &slots->Encoder() : nullptr;
    }
};

namespace vistrec {
namespace internal {

std::unique_ptr<IRecordMp4> CreateRecorder(HWND hostWnd, bool videoOnly) {
    LogVersionOnce();
    if (videoOnly)
        return std::unique_ptr<IRecordMp4>(new (std::nothrow) CRecordH264_Sink(hostWnd));
    return std::unique_ptr<IRecordMp4>(new (std::nothrow) CRecordMp4_Sink(hostWnd));
}

// Stores `value` in one of the encoder's forced settings when it lies in lo..hi.
static bool Force(IRecordMp4* recorder, int CH264WindowRecorder::*field, int value, int lo,
                  int hi) {
    CH264WindowRecorder* encoder = RecorderInternalAccess::EncoderOf(recorder);
    if (!encoder || value < lo || value > hi)
        return false;
    encoder->*field = value;
    return true;
}

bool ForceFrameRate(IRecordMp4* recorder, int fps) {
    return Force(recorder, &CH264WindowRecorder::m_forcedFrameRate, fps, 2, 30);
}

bool ForceCrf(IRecordMp4* recorder, int crf) {
    return Force(recorder, &CH264WindowRecorder::m_forcedCrf, crf, 0, 51);
}

}  // namespace internal
}  // namespace vistrec
