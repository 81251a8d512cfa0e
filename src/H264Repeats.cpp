#include "H264Repeats.h"

#include <algorithm>

namespace h264 {

namespace {

constexpr int kNalSlice = 1, kNalIdr = 5, kNalSei = 6, kNalSps = 7, kNalPps = 8;

// Reads the raw bits of a NAL unit (emulation prevention removed), the header byte included.
class BitReader {
  public:
    explicit BitReader(const std::vector<uint8_t>& bits) : m_bits(bits) {}
    bool ok() const { return m_pos <= m_bits.size() * 8; }
    size_t pos() const { return m_pos; }
    uint32_t U(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i, ++m_pos)
            v = (v << 1) |
                (m_pos < m_bits.size() * 8 ? (m_bits[m_pos / 8] >> (7 - m_pos % 8)) & 1 : 0);
        return v;
    }
    uint32_t Ue() {
        int zeros = 0;
        while (U(1) == 0) {
            if (++zeros > 31 || !ok()) {
                m_pos = SIZE_MAX / 2;  // not ok() from now on
                return 0;
            }
        }
        return ((1u << zeros) - 1) + U(zeros);
    }
    int32_t Se() {
        const uint32_t k = Ue();
        return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }

  private:
    const std::vector<uint8_t>& m_bits;
    size_t m_pos = 0;
};

class BitWriter {
  public:
    void U(int n, uint32_t v) {
        for (int i = n - 1; i >= 0; --i) {
            if (m_bit == 0)
                m_bytes.push_back(0);
            m_bytes.back() |= static_cast<uint8_t>(((v >> i) & 1) << (7 - m_bit));
            m_bit = (m_bit + 1) % 8;
        }
    }
    void Ue(uint32_t v) {
        int length = 0;
        while ((v + 1) >> (length + 1))
            ++length;
        U(length, 0);
        U(length + 1, v + 1);
    }
    // rbsp_trailing_bits: a one, then zeros to the byte's end.
    std::vector<uint8_t> Finish() {
        U(1, 1);
        m_bit = 0;
        return std::move(m_bytes);
    }

  private:
    std::vector<uint8_t> m_bytes;
    int m_bit = 0;
};

// scaling_list(): read past it.
void SkipScalingList(BitReader* r, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size; ++j) {
        if (next != 0)
            next = (last + r->Se() + 256) % 256;
        last = next == 0 ? last : next;
    }
}

// Writes `value` over the `bits` bits at bit `pos` of `rbsp`.
void Overwrite(std::vector<uint8_t>* rbsp, size_t pos, int bits, uint32_t value) {
    for (int i = 0; i < bits; ++i, ++pos) {
        const uint8_t mask = static_cast<uint8_t>(0x80 >> (pos % 8));
        if ((value >> (bits - 1 - i)) & 1)
            (*rbsp)[pos / 8] |= mask;
        else
            (*rbsp)[pos / 8] &= static_cast<uint8_t>(~mask);
    }
}

const uint8_t kStartCode[4] = {0, 0, 0, 1};

}  // namespace

std::vector<uint8_t> Unescape(const uint8_t* nal, size_t size) {
    std::vector<uint8_t> rbsp;
    rbsp.reserve(size);
    int zeros = 0;
    for (size_t i = 0; i < size; ++i) {
        if (zeros >= 2 && nal[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = nal[i] == 0 ? zeros + 1 : 0;
        rbsp.push_back(nal[i]);
    }
    return rbsp;
}

void AppendEscaped(const std::vector<uint8_t>& rbsp, std::vector<uint8_t>* out) {
    int zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            out->push_back(3);
            zeros = 0;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        out->push_back(b);
    }
}

bool ParseSps(const uint8_t* nal, size_t size, int* id, Sps* sps) {
    const std::vector<uint8_t> bits = Unescape(nal, size);
    BitReader r(bits);
    r.U(8);  // NAL header
    const uint32_t profile = r.U(8);
    r.U(16);  // constraint flags, level
    *id = static_cast<int>(r.Ue());
    *sps = Sps{};
    int chromaFormat = 1;
    switch (profile) {
        case 100:
        case 110:
        case 122:
        case 244:
        case 44:
        case 83:
        case 86:
        case 118:
        case 128:
        case 138:
        case 139:
        case 134:
        case 135:
            chromaFormat = static_cast<int>(r.Ue());
            if (chromaFormat == 3)
                sps->separateColourPlane = r.U(1) != 0;
            r.Ue(), r.Ue();  // bit depths
            r.U(1);          // qpprime_y_zero_transform_bypass_flag
            if (r.U(1)) {    // seq_scaling_matrix_present_flag
                for (int i = 0; i < (chromaFormat != 3 ? 8 : 12); ++i)
                    if (r.U(1))
                        SkipScalingList(&r, i < 6 ? 16 : 64);
            }
            break;
        default:
            break;
    }
    sps->log2MaxFrameNum = static_cast<int>(r.Ue()) + 4;
    sps->pocType = static_cast<int>(r.Ue());
    if (sps->pocType == 0) {
        r.Ue();
    } else if (sps->pocType == 1) {
        r.U(1);
        r.Se(), r.Se();
        for (uint32_t i = 0, n = r.Ue(); i < n && r.ok(); ++i)
            r.Se();
    }
    sps->maxRefFrames = static_cast<int>(r.Ue());
    r.U(1);  // gaps_in_frame_num_value_allowed_flag
    const uint32_t widthMbs = r.Ue() + 1, heightUnits = r.Ue() + 1;
    sps->frameMbsOnly = r.U(1) != 0;
    sps->picSizeInMbs = static_cast<int>(widthMbs * heightUnits * (sps->frameMbsOnly ? 1 : 2));
    return r.ok() && *id < 32 && sps->log2MaxFrameNum <= 16;
}

bool ParsePps(const uint8_t* nal, size_t size, int* id, Pps* pps) {
    const std::vector<uint8_t> bits = Unescape(nal, size);
    BitReader r(bits);
    r.U(8);  // NAL header
    *id = static_cast<int>(r.Ue());
    *pps = Pps{};
    pps->spsId = static_cast<int>(r.Ue());
    pps->cabac = r.U(1) != 0;
    r.U(1);  // bottom_field_pic_order_in_frame_present_flag
    pps->sliceGroups = static_cast<int>(r.Ue()) + 1;
    if (pps->sliceGroups > 1)
        return r.ok();  // the rest depends on the slice group map: not read
    pps->refIdxL0Default = static_cast<int>(r.Ue()) + 1;
    r.Ue();  // num_ref_idx_l1_default_active_minus1
    pps->weightedPred = r.U(1) != 0;
    r.U(2);                  // weighted_bipred_idc
    r.Se(), r.Se(), r.Se();  // pic_init_qp, pic_init_qs, chroma_qp_index_offset
    pps->deblockingControl = r.U(1) != 0;
    r.U(1);  // constrained_intra_pred_flag
    pps->redundantPicCnt = r.U(1) != 0;
    return r.ok() && *id < 256;
}

std::vector<uint8_t> SkippedPicture(const Sps& sps, const Pps& pps, int ppsId, int frameNum) {
    BitWriter w;
    w.U(8, 0x41);  // nal_ref_idc 2 (a reference picture), nal_unit_type 1
    w.Ue(0);       // first_mb_in_slice
    w.Ue(5);       // slice_type: P, and so are all slices of the picture
    w.Ue(static_cast<uint32_t>(ppsId));
    w.U(sps.log2MaxFrameNum, static_cast<uint32_t>(frameNum));
    // Picture order type 2: no picture order fields. P slice:
    w.U(1, 0);  // num_ref_idx_active_override_flag: the one reference frame of the PPS
    w.U(1, 0);  // ref_pic_list_modification_flag_l0
    w.U(1, 0);  // adaptive_ref_pic_marking_mode_flag: sliding window
    w.Ue(0);    // slice_qp_delta (se 0 is ue 0)
    if (pps.deblockingControl)
        w.Ue(1);  // disable_deblocking_filter_idc: nothing to filter in a copy
    w.Ue(static_cast<uint32_t>(sps.picSizeInMbs));  // mb_skip_run: every macroblock
    std::vector<uint8_t> out(kStartCode, kStartCode + 4);
    AppendEscaped(w.Finish(), &out);
    return out;
}

void CRepeats::Start(int keyDistance, bool encoderFits) {
    *this = CRepeats{};
    // Every frame a key frame (or the encoder's own choice), or another encoder: the encoder
    // makes every picture.
    if (keyDistance <= 1 || !encoderFits)
        return;
    m_keyDistance = keyDistance;
    m_encoderFits = encoderFits;
}

void CRepeats::TakeHeader(const uint8_t* data, size_t size) {
    std::vector<uint8_t> unused;
    TakeEncoderPacket(data, size, &unused);
}

bool CRepeats::Fits() const {
    if (!m_encoderFits || !m_allReference || m_ppsId < 0)
        return false;
    const auto pps = m_pps.find(m_ppsId);
    if (pps == m_pps.end())
        return false;
    const auto sps = m_sps.find(pps->second.spsId);
    if (sps == m_sps.end())
        return false;
    const Sps& s = sps->second;
    const Pps& p = pps->second;
    return s.frameMbsOnly && !s.separateColourPlane && s.pocType == 2 && s.maxRefFrames == 1 &&
           !p.cabac && p.sliceGroups == 1 && p.refIdxL0Default == 1 && !p.weightedPred &&
           !p.redundantPicCnt;
}

CRepeats::Repeat CRepeats::MakeRepeat(bool encoderIdle, std::vector<uint8_t>* out) {
    if (!encoderIdle || !Fits())
        return Repeat::kEncoder;
    if (KeyDue()) {
        if (m_idr.empty())
            return Repeat::kEncoder;
        *out = m_idr;
        m_frameNum = m_offset = 0;
        OnFrame(true);
        ++m_replayed;
        return Repeat::kKey;
    }
    const Pps& pps = m_pps[m_ppsId];
    const Sps& sps = m_sps[pps.spsId];
    const int maxFrameNum = 1 << sps.log2MaxFrameNum;
    m_frameNum = (m_frameNum + 1) % maxFrameNum;
    m_offset = (m_offset + 1) % maxFrameNum;
    *out = SkippedPicture(sps, pps, m_ppsId, m_frameNum);
    OnFrame(false);
    ++m_skipped;
    return Repeat::kSkipped;
}

bool CRepeats::TakeEncoderPacket(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
    // A unit whose frame number changes: its escaped head up to `from`, and the head rewritten.
    struct Unit {
        const uint8_t* nal;
        size_t size, from;
        std::vector<uint8_t> head;
    };
    std::vector<Unit> units;
    bool rewrite = false, picture = false, idr = false;
    ForEachNal(data, size, [&](const uint8_t* nal, size_t n) {
        units.push_back(Unit{nal, n, 0, {}});
        const int type = n > 0 ? nal[0] & 0x1f : 0;
        if (type == kNalSps) {
            int id = 0;
            Sps sps;
            if (ParseSps(nal, n, &id, &sps))
                m_sps[id] = sps;
            else
                m_encoderFits = false;
        } else if (type == kNalPps) {
            int id = 0;
            Pps pps;
            if (ParsePps(nal, n, &id, &pps))
                m_pps[id] = pps;
            else
                m_encoderFits = false;
        } else if (type == kNalSlice || type == kNalIdr) {
            picture = true;
            idr = type == kNalIdr;
            if ((nal[0] & 0x60) == 0)
                m_allReference = false;
            // The fields up to the frame number take a few bytes: only a head of the unit is
            // read, cut after a byte above 3 (neither a zero nor an escape) so that the escaping
            // of what follows it does not depend on it.
            size_t from = std::min<size_t>(n, 32);
            while (from < n && nal[from - 1] <= 3)
                ++from;
            std::vector<uint8_t> bits = Unescape(nal, from);
            BitReader r(bits);
            r.U(8);
            r.Ue(), r.Ue();  // first_mb_in_slice, slice_type
            m_ppsId = static_cast<int>(r.Ue());
            const auto pps = m_pps.find(m_ppsId);
            const auto sps = pps == m_pps.end() ? m_sps.end() : m_sps.find(pps->second.spsId);
            if (sps == m_sps.end() || sps->second.separateColourPlane) {
                m_encoderFits = false;  // no frame number where it is looked for
                return;
            }
            const int width = sps->second.log2MaxFrameNum;
            const size_t at = r.pos();
            const int frameNum = static_cast<int>(r.U(width));
            if (!r.ok()) {
                m_encoderFits = false;
                return;
            }
            if (idr)
                m_offset = 0;
            m_frameNum = (frameNum + m_offset) % (1 << width);
            if (m_offset != 0) {
                Overwrite(&bits, at, width, static_cast<uint32_t>(m_frameNum));
                units.back().from = from;
                AppendEscaped(bits, &units.back().head);
                rewrite = true;
            }
        }
    });
    if (picture) {
        // The encoder's reference is now this picture: an IDR picture can stand in for a key
        // frame of a still stretch until the encoder makes another.
        m_idr.clear();
        if (idr)
            for (const Unit& u : units)
                if (u.size > 0 && (u.nal[0] & 0x1f) != kNalSei) {
                    m_idr.insert(m_idr.end(), kStartCode, kStartCode + 4);
                    m_idr.insert(m_idr.end(), u.nal, u.nal + u.size);
                }
        OnFrame(idr);
    }
    out->clear();
    if (!rewrite)
        return false;
    for (const Unit& u : units) {
        out->insert(out->end(), kStartCode, kStartCode + 4);
        out->insert(out->end(), u.head.begin(), u.head.end());
        out->insert(out->end(), u.nal + u.from, u.nal + u.size);
    }
    return true;
}

}  // namespace h264
