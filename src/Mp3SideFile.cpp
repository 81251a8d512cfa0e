#include "Mp3SideFile.h"

#include <errno.h>
#include <string.h>

#include <algorithm>

#include <lame/lame.h>

#include "platform/Platform.h"
#include "support/Log.h"

namespace {
constexpr int kRate = 16000;
// LAME's own bound for one call's output: 1.25 x samples + 7200 bytes.
size_t OutputBound(int samples) {
    return static_cast<size_t>(samples) * 5 / 4 + 7200;
}
}  // namespace

void CMp3SideFile::LameCloser::operator()(lame_global_struct* lame) const {
    lame_close(lame);
}

bool CMp3SideFile::Start(const std::string& path) {
    Finish();
    m_path = path;
    m_samples = 0;
    m_writeFailed = false;
    m_lame.reset(lame_init());
    if (!m_lame) {
        VLOG_ERROR("mp3 side file: no LAME encoder");
        return false;
    }
    lame_set_in_samplerate(m_lame.get(), kRate);
    lame_set_num_channels(m_lame.get(), 1);
    // Variable bit rate, with the Xing/LAME tag in an empty first frame that Finish fills in.
    // The setting that would take 0 here, vbr_off (constant bit rate), is left out on purpose:
    // at 16 kHz mono LAME's constant rate is 24 kbit/s, whose 108-byte frames cannot hold the
    // tag, so LAME drops it and players would guess the length. No other setting whose value
    // 0 means something (stereo mode, best-but-slowest quality) suits a mono speech track.
    lame_set_VBR(m_lame.get(), vbr_default);
    lame_set_bWriteVbrTag(m_lame.get(), 1);
    if (lame_init_params(m_lame.get()) < 0) {
        VLOG_ERROR("mp3 side file: LAME refuses 16000 Hz mono");
        m_lame.reset();
        return false;
    }
    // Opened for update: the tag is written over the first frame at the end.
    m_file.reset(vistrec::platform::OpenFile(path, "wb+"));
    if (!m_file) {
        VLOG_ERROR("mp3 side file: cannot create '" << path << "': " << strerror(errno));
        m_lame.reset();
        return false;
    }
    VLOG_INFO("mp3 side file '" << path << "' started");
    return true;
}

void CMp3SideFile::Encode(const uint8_t* pcm, int bytes) {
    if (!m_lame || !m_file || !pcm || bytes < 2)
        return;
    const int samples = bytes / 2;
    m_out.resize(std::max(m_out.size(), OutputBound(samples)));
    // One channel: LAME reads the left buffer only.
    const int n = lame_encode_buffer(m_lame.get(), reinterpret_cast<const short*>(pcm), nullptr,
                                     samples, m_out.data(), static_cast<int>(m_out.size()));
    m_samples += samples;
    if (n <= 0)
        return;
    Write(m_out.data(), n);
    // Handed to the system at once (a few hundred bytes every frame), so that a host killed
    // mid-recording leaves the MP3 up to the last frame LAME gave out, not up to the last 4 KiB
    // buffer stdio filled: a truncated MP3 plays anyway.
    if (!m_writeFailed && fflush(m_file.get()) != 0) {
        m_writeFailed = true;
        VLOG_ERROR("mp3 side file '" << m_path << "': write failed: " << strerror(errno));
    }
}

void CMp3SideFile::Finish() {
    if (!m_lame || !m_file) {
        m_lame.reset();
        m_file.reset();
        return;
    }
    // The last frames LAME holds back, padded to a whole frame.
    m_out.resize(std::max<size_t>(m_out.size(), 7200));
    const int n = lame_encode_flush(m_lame.get(), m_out.data(), static_cast<int>(m_out.size()));
    if (n > 0)
        Write(m_out.data(), n);
    // The LAME/Info tag goes over the empty frame LAME put first: frame count, length and the
    // encoder delay and padding, from which players take the exact duration.
    unsigned char tag[2880];
    const size_t tagBytes = lame_get_lametag_frame(m_lame.get(), tag, sizeof tag);
    if (!m_writeFailed && tagBytes > 0 && tagBytes <= sizeof tag) {
        if (fflush(m_file.get()) != 0 || fseek(m_file.get(), 0, SEEK_SET) != 0)
            m_writeFailed = true;
        else
            Write(tag, static_cast<int>(tagBytes));
    }
    if (fclose(m_file.release()) != 0)
        m_writeFailed = true;
    m_lame.reset();
    if (m_writeFailed)
        VLOG_ERROR("mp3 side file '" << m_path << "' is incomplete: the disk refused data");
    else
        VLOG_INFO("mp3 side file '" << m_path << "' done: " << m_samples * 1000 / kRate << " ms");
}

void CMp3SideFile::Write(const unsigned char* data, int bytes) {
    if (m_writeFailed)
        return;
    if (fwrite(data, 1, static_cast<size_t>(bytes), m_file.get()) != static_cast<size_t>(bytes)) {
        m_writeFailed = true;
        VLOG_ERROR("mp3 side file '" << m_path << "': write failed: " << strerror(errno));
    }
}
