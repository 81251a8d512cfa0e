// Repeated pictures written without the encoder. When the picture of a frame is the picture of
// the frame before, libx264 would still spend a few milliseconds on it (tens on a key frame)
// to produce a P frame in which every macroblock is skipped. Such a frame is written here
// directly: one slice, a P slice header and a single run of skipped macroblocks, which a
// decoder turns into an exact copy of the previous picture.
//
// The encoder does not know about these frames, so its later slices carry frame numbers that
// are too low by the number of frames written here since the last IDR picture: they are
// rewritten in place (the field has a fixed width). And since the encoder counts its key-frame
// distance in its own frames, the next key frame is asked of it when the distance is reached in
// the frames of the file; during a still stretch the last IDR picture is written again instead
// when the encoder has made nothing since it (its decoded picture is then still the encoder's
// reference).
//
// This is done only for streams it is known to be right for: CAVLC, frames only, one reference
// frame, picture order from the frame number (no B-frames), no slice groups, no weighted or
// redundant pictures, every picture a reference: what libx264 writes with the "ultrafast" preset.
// Anything else leaves the repeats to the encoder.
#ifndef VISTREC_SRC_H264REPEATS_H
#define VISTREC_SRC_H264REPEATS_H

#include <stddef.h>
#include <limits.h>
#include <stdint.h>

#include <string.h>

#include <map>
#include <vector>

namespace h264 {

// The fields of a sequence and a picture parameter set that a skipped P slice depends on.
struct Sps {
    int log2MaxFrameNum = 0;
    int pocType = 0;
    int maxRefFrames = 0;
    bool frameMbsOnly = false;
    bool separateColourPlane = false;
    int picSizeInMbs = 0;
};
struct Pps {
    int spsId = 0;
    bool cabac = false;
    int sliceGroups = 0;        // num_slice_groups_minus1 + 1
    int refIdxL0Default = 0;    // num_ref_idx_l0_default_active_minus1 + 1
    bool weightedPred = false;  // weighted_pred_flag
    bool deblockingControl = false;
    bool redundantPicCnt = false;
};

// Emulation prevention: a NAL unit's payload to its raw bits and back.
std::vector<uint8_t> Unescape(const uint8_t* nal, size_t size);
void AppendEscaped(const std::vector<uint8_t>& rbsp, std::vector<uint8_t>* out);

// Calls `each(nal, size)` for every NAL unit of an Annex B byte stream (start codes removed).
template <typename F>
void ForEachNal(const uint8_t* data, size_t size, F each);

bool ParseSps(const uint8_t* nal, size_t size, int* id, Sps* sps);
bool ParsePps(const uint8_t* nal, size_t size, int* id, Pps* pps);

// One access unit in Annex B: a P picture of `sps.picSizeInMbs` skipped macroblocks with
// frame number `frameNum`, referring to PPS `ppsId`.
std::vector<uint8_t> SkippedPicture(const Sps& sps, const Pps& pps, int ppsId, int frameNum);

class CRepeats {
  public:
    // `keyDistance`: frames from one key frame to the next in the file (the encoder's GOP size).
    // `encoderFits`: the encoder is libx264 and puts out no B-frames.
    void Start(int keyDistance, bool encoderFits);
    // The encoder's global header (SPS and PPS in Annex B), when it has one.
    void TakeHeader(const uint8_t* data, size_t size);

    enum class Repeat {
        kEncoder,  // the encoder must encode the picture again
        kSkipped,  // `out` holds a frame of skipped macroblocks
        kKey,      // `out` holds the last IDR picture again: a key frame
    };
    // A frame whose picture is the last one encoded. `encoderIdle`: every picture given to the
    // encoder has come out as a packet.
    Repeat MakeRepeat(bool encoderIdle, std::vector<uint8_t>* out);
    // Whether the encoder's next picture must be a key frame (the distance is reached).
    bool KeyDue() const { return m_sinceKey >= m_keyDistance; }
    // A packet of the encoder: its parameter sets are read, its frame numbers rewritten into
    // `out` (true; false when it goes out as it is).
    bool TakeEncoderPacket(const uint8_t* data, size_t size, std::vector<uint8_t>* out);

    int64_t Skipped() const { return m_skipped; }
    int64_t Replayed() const { return m_replayed; }

  private:
    bool Fits() const;
    // Counts a frame of the file; `key` one that starts a new key-frame distance.
    void OnFrame(bool key) { m_sinceKey = key ? 1 : m_sinceKey + 1; }

    int m_keyDistance = INT_MAX;  // none: the encoder alone decides
    bool m_encoderFits = false;
    bool m_allReference = true;  // no picture of the encoder was a non-reference one
    std::map<int, Sps> m_sps;
    std::map<int, Pps> m_pps;
    int m_ppsId = -1;            // of the encoder's last slice; -1: no picture yet
    int m_frameNum = 0;          // of the last frame in the file
    int m_offset = 0;            // frames of ours since the last IDR picture
    int m_sinceKey = 0;          // frames since the last key frame, it included
    std::vector<uint8_t> m_idr;  // the encoder's last IDR picture (no SEI), while it is its last
    int64_t m_skipped = 0, m_replayed = 0;
};

template <typename F>
void ForEachNal(const uint8_t* data, size_t size, F each) {
    // A start code is 00 00 01 (or 00 00 00 01); the zeros before the next one are not part of
    // the unit (trailing_zero_8bits). memchr finds the ones at memory speed.
    size_t start = SIZE_MAX, from = 2;
    while (from < size) {
        const void* one = memchr(data + from, 1, size - from);
        if (!one)
            break;
        const size_t i = static_cast<size_t>(static_cast<const uint8_t*>(one) - data);
        from = i + 1;
        if (data[i - 1] != 0 || data[i - 2] != 0)
            continue;
        if (start != SIZE_MAX) {
            size_t end = i - 2;
            while (end > start && data[end - 1] == 0)
                --end;
            each(data + start, end - start);
        }
        start = i + 1;
        from = start + 2;
    }
    if (start != SIZE_MAX && start < size)
        each(data + start, size - start);
}

}  // namespace h264

#endif
