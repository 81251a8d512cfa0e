#include "RecorderInternal.h"

#include <new>

#include "RecordH264Sink.h"
#include "RecordMp4Sink.h"
#include "RecorderSlots.h"

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
    if (videoOnly)
        return std::unique_ptr<IRecordMp4>(new (std::nothrow) CRecordH264_Sink(hostWnd));
    return std::unique_ptr<IRecordMp4>(new (std::nothrow) CRecordMp4_Sink(hostWnd));
}

bool ForceFrameRate(IRecordMp4* recorder, int fps) {
    CH264WindowRecorder* encoder = RecorderInternalAccess::EncoderOf(recorder);
    if (!encoder || fps < 2 || fps > 30)
        return false;
    encoder->m_forcedFrameRate = fps;
    return true;
}

bool ForceCrf(IRecordMp4* recorder, int crf) {
    CH264WindowRecorder* encoder = RecorderInternalAccess::EncoderOf(recorder);
    if (!encoder || crf < 0 || crf > 51)
        return false;
    encoder->m_forcedCrf = crf;
    return true;
}

}  // namespace internal
}  // namespace vistrec
