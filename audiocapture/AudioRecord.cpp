#include "audiocapture/AudioRecord.h"

#include <stdio.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include "platform/Platform.h"
#include "support/Log.h"

namespace {

// Input layout by channel count: 4 channels are taken as 4.0 (front left, right, centre, back
// centre); counts other than 1, 2 and 4 are taken as stereo.
AVChannelLayout InputLayout(int channels) {
    switch (channels) {
        case 1:
            return AV_CHANNEL_LAYOUT_MONO;
        case 4:
            return AV_CHANNEL_LAYOUT_4POINT0;
        default:
            return AV_CHANNEL_LAYOUT_STEREO;
    }
}

AVChannelLayout OutputLayout(int channels) {
    if (channels == 1)
        return AV_CHANNEL_LAYOUT_MONO;
    return AV_CHANNEL_LAYOUT_STEREO;
}

}  // namespace

template <bool kMicrophone>
void CAudioRecordT<kMicrophone>::SwrDeleter::operator()(SwrContext* s) const {
    swr_free(&s);
}

template <bool kMicrophone>
void CAudioRecordT<kMicrophone>::AvFreeDeleter::operator()(uint8_t* p) const {
    av_free(p);
}

template <bool kMicrophone>
void CAudioRecordT<kMicrophone>::SamplePlanes::Free() {
    if (planes) {
        av_freep(&planes[0]);
        av_freep(&planes);
    }
}

template <bool kMicrophone>
CAudioRecordT<kMicrophone>::CAudioRecordT() = default;

template <bool kMicrophone>
CAudioRecordT<kMicrophone>::~CAudioRecordT() {
    // The capture threads call into this object: they must be gone before its members.
    std::lock_guard<std::mutex> lock(m_controlLock);
    m_engine.Shutdown();
}

// ---- capture cycles -------------------------------------------------------------------------

// The sink one engine start reports to: every report carries the cycle's number.
template <bool kMicrophone>
class CAudioRecordT<kMicrophone>::CycleSink final : public ICaptureEvent {
  public:
    CycleSink(CAudioRecordT& owner, uint32_t cycle) : m_owner(owner), m_cycle(cycle) {}
    void OnCaptureStart(uint32_t) override { m_owner.CaptureStarted(m_cycle); }
    void OnCaptureStop() override {}
    void OnAdjustCaptureFormat(CaptureFormat* format) override {
        m_owner.AdjustFormat(m_cycle, format);
    }
    void OnCaptureData(const uint8_t* data, uint32_t bytes, int64_t capturedMs) override {
        m_owner.CaptureData(m_cycle, data, bytes, capturedMs);
    }
    int FetchData(uint8_t*, int, int* got) override {
        if (got)
            *got = 0;
        return 0;
    }
    void OnDataState(bool flowing) override { m_owner.DataState(m_cycle, flowing); }
    void OnCaptureError(bool failed) override { m_owner.CaptureError(m_cycle, failed); }
    void OnDeviceName(std::string name) override { m_owner.DeviceNameIs(m_cycle, std::move(name)); }

  private:
    CAudioRecordT& m_owner;  // outlives every capture thread (its destructor joins them)
    const uint32_t m_cycle;
};

template <bool kMicrophone>
uint32_t CAudioRecordT<kMicrophone>::EndCycle(bool clear) {
    std::scoped_lock lock(m_stateLock, m_rawLock, m_resampledLock);
    uint32_t next = m_generation.load() + 1;
    if (next == kCurrentCycle)
        next = 1;
    m_generation = next;
    if (clear) {
        m_raw.Clear();
        m_rawStamps.Clear();
        m_resampled.Clear();
        m_resampledStamps.Clear();
    }
    return next;
}

template <bool kMicrophone>
void CAudioRecordT<kMicrophone>::CaptureStarted(uint32_t cycle) {
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (IsCurrent(cycle))
        m_started.Set();
}

template <bool kMicrophone>
void CAudioRecordT<kMicrophone>::AdjustFormat(uint32_t cycle, CaptureFormat* format) {
    if (format->wFormatTag == kCaptureFormatFloat) {
        format->wFormatTag = kCaptureFormatPcm;
        format->wBitsPerSample = 16;
        format->nBlockAlign = static_cast<uint16_t>(format->nChannels * 16 / 8);
        format->nAvgBytesPerSec = format->nBlockAlign * format->nSamplesPerSec;
    }
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (!IsCurrent(cycle))
        return;
    m_format = *format;
    m_hasFormat = true;
}

template <bool kMicrophone>
void CAudioRecordT<kMicrophone>::CaptureData(uint32_t cycle, const uint8_t* data, uint32_t bytes,
                                             int64_t capturedMs) {
    std::lock_guard<std::mutex> lock(m_rawLock);
    if (!IsCurrent(cycle))
        return;
    // Whole frames of 16-bit sound in one to eight channels go: 1680 bytes is a multiple of
    // every such frame size.
    constexpr int kDropGranule = 1680;
    const int over = m_raw.Size() + static_cast<int>(bytes) - kMostRawBytes;
    if (over > 0) {
        const int dropped = m_raw.Skip((over + kDropGranule - 1) / kDropGranule * kDropGranule);
        m_rawStamps.Take(dropped, kDropGranule);
        m_rawDropped += dropped;
        if (!m_rawDropping)
            VLOG_WARN("audio capture " << (kMicrophone ? 1 : 0) << ": sound not taken, the "
                                       << "oldest dropped (" << m_rawDropped << " bytes so far)");
        m_rawDropping = true;
    }
    m_raw.Append(data, static_cast<int>(bytes));
    m_rawStamps.Append(static_cast<int>(bytes), capturedMs);
}

template <bool kMicrophone>
void CAudioRecordT<kMicrophone>::DataState(uint32_t cycle, bool flowing) {
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (!IsCurrent(cycle))
        return;
    m_stateTick = vistrec::platform::TickCount32();
    m_dataFlowing = flowing;
}

template <bool kMicrophone>
void CAudioRecordT<kMicrophone>::CaptureError(uint32_t cycle, bool failed) {
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (IsCurrent(cycle))
        m_error = failed;
}

template <bool kMicrophone>
void CAudioRecordT<kMicrophone>::DeviceNameIs(uint32_t cycle, std::string name) {
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (IsCurrent(cycle))
        m_deviceName = std::move(name);
}

// ---- pump side ------------------------------------------------------------------------------

template <bool kMicrophone>
int CAudioRecordT<kMicrophone>::FetchData(uint8_t* out, int bytes, int* got) {
    if (got)
        *got = 0;
    std::lock_guard<std::mutex> lock(m_resampledLock);
    if (m_resampled.Size() < bytes)
        return m_resampled.Size();
    if (m_resampled.Read(out, bytes) != bytes)
        return -1;
    m_fetchedMs = m_resampledStamps.Take(bytes, m_resampledByteRate);
    if (got)
        *got = bytes;
    return m_resampled.Size();
}

template <bool kMicrophone>
int64_t CAudioRecordT<kMicrophone>::QueuedCaptureMs() const {
    std::lock_guard<std::mutex> lock(m_resampledLock);
    return m_resampled.Size() > 0 ? m_resampledStamps.Front(m_resampledByteRate)
                                  : kUnknownCaptureMs;
}

template <bool kMicrophone>
bool CAudioRecordT<kMicrophone>::GetCaptureFormat(int* rate, int* channels) const {
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (!m_hasFormat)
        return false;
    *rate = static_cast<int>(m_format.nSamplesPerSec);
    *channels = m_format.nChannels;
    return true;
}

template <bool kMicrophone>
int CAudioRecordT<kMicrophone>::AudioResampling(int srcFormat, int srcChannels, int srcRate,
                                                unsigned char*, int srcSamples, int dstFormat,
                                                int dstChannels, int dstRate, unsigned char*) {
    const AVChannelLayout inLayout = InputLayout(srcChannels);
    const AVChannelLayout outLayout = OutputLayout(dstChannels);
    if (srcSamples <= 0) {
        printf("src_nb_samples error \n");
        return -1;
    }

    if (srcFormat != m_lastFormat || srcRate != m_lastRate || srcChannels != m_lastChannels) {
        VLOG_INFO("audio format changed " << srcFormat << srcRate << srcChannels);
        if (m_swr) {
            m_out.Free();
            m_swr.reset();
        }
    }

    int ret = 0;
    if (!m_swr) {
        SwrContext* swr = swr_alloc();
        if (!swr) {
            printf("swr_alloc error \n");
            return -1;
        }
        m_swr.reset(swr);
        av_opt_set_chlayout(swr, "in_chlayout", &inLayout, 0);
        av_opt_set_int(swr, "in_sample_rate", srcRate, 0);
        av_opt_set_sample_fmt(swr, "in_sample_fmt", static_cast<AVSampleFormat>(srcFormat), 0);
        av_opt_set_chlayout(swr, "out_chlayout", &outLayout, 0);
        av_opt_set_int(swr, "out_sample_rate", dstRate, 0);
        av_opt_set_sample_fmt(swr, "out_sample_fmt", static_cast<AVSampleFormat>(dstFormat), 0);
        if (swr_init(swr) < 0) {
            printf("swr_init error \n");
            m_swr.reset();
            return -1;
        }

        m_inputChunkBytes = srcChannels * srcSamples * 2;
        m_inputChunk.reset(static_cast<uint8_t*>(av_malloc(m_inputChunkBytes)));
        if (!m_inputChunk) {
            printf("av_malloc error \n");
            return -1;
        }

        m_allocatedOutSamples =
            static_cast<int>(av_rescale_rnd(srcSamples, dstRate, srcRate, AV_ROUND_UP));
        if (m_allocatedOutSamples <= 0) {
            printf("av_rescale_rnd error \n");
            return -1;
        }
        m_outChannels = outLayout.nb_channels;
        if (av_samples_alloc_array_and_samples(&m_out.planes, &m_outLineSize, m_outChannels,
                                               m_allocatedOutSamples,
                                               static_cast<AVSampleFormat>(dstFormat), 0) < 0) {
            printf("av_samples_alloc_array_and_samples error \n");
            return -1;
        }

        m_outSamplesPerChunk = static_cast<int>(av_rescale_rnd(
            swr_get_delay(swr, srcRate) + srcSamples, dstRate, srcRate, AV_ROUND_UP));
        if (m_outSamplesPerChunk <= 0) {
            printf("av_rescale_rnd error \n");
            return -1;
        }
        if (m_outSamplesPerChunk > m_allocatedOutSamples) {
            av_freep(&m_out.planes[0]);
            if (av_samples_alloc(m_out.planes, &m_outLineSize, m_outChannels, m_outSamplesPerChunk,
                                 static_cast<AVSampleFormat>(dstFormat), 1) < 0) {
                printf("av_samples_alloc error \n");
                m_out.Free();
                m_swr.reset();
                return -1;
            }
            m_allocatedOutSamples = m_outSamplesPerChunk;
        }

        ret = av_samples_get_buffer_size(nullptr, srcChannels, srcSamples,
                                         static_cast<AVSampleFormat>(srcFormat), 1);
        if (ret <= 0)
            return -1;
        m_resampledByteRate = m_outChannels * 2 * dstRate;
        m_lastFormat = srcFormat;
        m_lastRate = srcRate;
        m_lastChannels = srcChannels;
    }

    // One chunk, taken only when strictly more than one is queued.
    int read = 0;
    uint32_t cycle = 0;  // the sound belongs to the cycle current when it was taken
    int64_t capturedMs = kUnknownCaptureMs;
    {
        std::lock_guard<std::mutex> lock(m_rawLock);
        cycle = m_generation.load();
        if (m_raw.Size() > m_inputChunkBytes) {
            m_rawDropping = false;
            read = m_raw.Read(m_inputChunk.get(), m_inputChunkBytes);
            capturedMs = m_rawStamps.Take(read, srcChannels * 2 * srcRate);
        }
    }
    if (read == 0 || read != m_inputChunkBytes)
        return -1;

    // The first sample out is the oldest the resampler still holds: it lags the chunk by the
    // resampler's delay.
    if (capturedMs != kUnknownCaptureMs)
        capturedMs -= swr_get_delay(m_swr.get(), 1000);
    const uint8_t* in = m_inputChunk.get();
    const int converted =
        swr_convert(m_swr.get(), m_out.planes, m_outSamplesPerChunk, &in, srcSamples);
    // The first chunk after a (re)build comes out a few samples short (the resampler's filter
    // delay); those samples are kept, so no sound is lost at the start of a capture.
    if (converted <= 0)
        return -1;

    VLOG_DEBUG("audio resample " << read << "---" << converted * 2 << "--" << ret << "ret"
                                 << converted);
    std::lock_guard<std::mutex> lock(m_resampledLock);
    // Cleared meanwhile (a pause, a new cycle): the chunk belongs to no recording any more.
    if (m_generation.load() == cycle) {
        m_resampled.Append(m_out.planes[0], converted * 2);
        m_resampledStamps.Append(converted * 2, capturedMs);
    }
    return ret;
}

template <bool kMicrophone>
bool CAudioRecordT<kMicrophone>::isCanFetch() {
    const int queued = ResampledBytes();
    const bool can = queued >= kFetchBlockBytes;
    VLOG_DEBUG("fectch" << queued << "--" << (can ? 1 : 0));
    return can;
}

// ---- control --------------------------------------------------------------------------------

template <bool kMicrophone>
void CAudioRecordT<kMicrophone>::ClearCaptured() {
    std::lock_guard<std::mutex> lock(m_rawLock);
    m_raw.Clear();
    m_rawStamps.Clear();
}

template <bool kMicrophone>
void CAudioRecordT<kMicrophone>::ClearBuffers() {
    EndCycle(true);
}

template <bool kMicrophone>
bool CAudioRecordT<kMicrophone>::IsRetired() const {
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_engine.HasThread() && m_engineCycle != m_generation.load();
}

template <bool kMicrophone>
bool CAudioRecordT<kMicrophone>::StartCapture() {
    m_idle.Wait(kIdleWaitMs);
    std::lock_guard<std::mutex> lock(m_controlLock);
    if (m_engine.HasThread())
        return true;
    return StartEngineLocked();
}

template <bool kMicrophone>
void CAudioRecordT<kMicrophone>::StopCapture(bool clearBuffers) {
    std::lock_guard<std::mutex> lock(m_controlLock);
    StopCaptureLocked(clearBuffers);
}

template <bool kMicrophone>
bool CAudioRecordT<kMicrophone>::RestartIfFailed(bool clearBuffers) {
    {
        std::lock_guard<std::mutex> lock(m_controlLock);
        if (!m_engine.HasThread() || !m_error)
            return false;
        StopCaptureLocked(clearBuffers);
    }
    m_idle.Wait(kIdleWaitMs);
    std::lock_guard<std::mutex> lock(m_controlLock);
    if (m_engine.HasThread())
        return false;
    return StartEngineLocked();
}

template <bool kMicrophone>
bool CAudioRecordT<kMicrophone>::StartEngineLocked() {
    // A fresh engine state per cycle, and a fresh look at the default device.
    m_engine.Close();
    if (!m_engine.Init())
        return false;
    const uint32_t cycle = EndCycle(false);
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_engineCycle = cycle;
        if (m_generation.load() == cycle)
            m_error = false;
    }
    if (m_engine.Start(std::make_shared<CycleSink>(*this, cycle)))
        return true;
    // A thread that failed to come up may still report on its way out: it is heard no more.
    EndCycle(false);
    return false;
}

template <bool kMicrophone>
void CAudioRecordT<kMicrophone>::StopCaptureLocked(bool clearBuffers) {
    if (m_engine.HasThread()) {
        m_engine.Stop();
        m_engine.Close();
        EndCycle(clearBuffers);
    }
    m_started.Reset();
    m_idle.Set();
}

// ---- observers ------------------------------------------------------------------------------

template <bool kMicrophone>
std::string CAudioRecordT<kMicrophone>::DeviceName() const {
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_deviceName;
}

template <bool kMicrophone>
int CAudioRecordT<kMicrophone>::RawBytes() const {
    std::lock_guard<std::mutex> lock(m_rawLock);
    return m_raw.Size();
}

template <bool kMicrophone>
int CAudioRecordT<kMicrophone>::ResampledBytes() const {
    std::lock_guard<std::mutex> lock(m_resampledLock);
    return m_resampled.Size();
}

template class CAudioRecordT<true>;
template class CAudioRecordT<false>;
