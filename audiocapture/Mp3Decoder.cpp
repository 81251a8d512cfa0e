#include "Mp3Decoder.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include "support/FFmpegPtr.h"
#include "support/Log.h"

namespace {
constexpr int kIoBufferBytes = 32768;
// Packets read when a file is opened, so that the first blocks are ready at once.
constexpr int kPrimePackets = 4 * CMp3Decoder::kPacketsPerFill;
// Frames outside these are damaged: a rate of a few hertz would make the resampler turn one
// frame into minutes of sound.
constexpr int kMinInputRate = 1000, kMaxInputRate = 768000, kMaxInputChannels = 64;

struct AVIOContextDeleter {
    void operator()(AVIOContext* io) const {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};

int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

struct CMp3Decoder::Input {
    ~Input() { av_channel_layout_uninit(&swrLayout); }

    // The in-memory reader's bytes (the owner's) and position.
    const uint8_t* data = nullptr;
    int64_t size = 0;
    int64_t pos = 0;
    // Declared before the demuxer, so freed after it: the demuxer reads through it.
    std::unique_ptr<AVIOContext, AVIOContextDeleter> io;
    AVFormatInputPtr format;
    AVCodecContextPtr codec;
    SwrContextPtr swr;
    AVPacketPtr packet;
    AVFramePtr frame;
    int stream = -1;
    bool demuxerDone = false;  // the last packet was read; the decoder is being drained
    // The input format the resampler was made for.
    int swrRate = 0;
    int swrFormat = -1;
    AVChannelLayout swrLayout{};

    static int ReadPacket(void* opaque, uint8_t* buf, int size) {
        Input* in = static_cast<Input*>(opaque);
        const int64_t n = std::min<int64_t>(in->size - in->pos, size);
        if (n <= 0)
            return AVERROR_EOF;
        memcpy(buf, in->data + in->pos, static_cast<size_t>(n));
        in->pos += n;
        return static_cast<int>(n);
    }
    static int64_t Seek(void* opaque, int64_t offset, int whence) {
        Input* in = static_cast<Input*>(opaque);
        whence &= ~AVSEEK_FORCE;
        if (whence == AVSEEK_SIZE)
            return in->size;
        int64_t base = 0;
        if (whence == SEEK_CUR)
            base = in->pos;
        else if (whence == SEEK_END)
            base = in->size;
        else if (whence != SEEK_SET)
            return AVERROR(EINVAL);
        if (offset > in->size - base || offset < -base)
            return AVERROR(EINVAL);
        in->pos = base + offset;
        return in->pos;
    }
};

CMp3Decoder::CMp3Decoder(Clock clock) : m_clock(clock ? std::move(clock) : Clock(SteadyMs)) {}

CMp3Decoder::~CMp3Decoder() = default;

void CMp3Decoder::SetFile(const char* path) {
    if (!path)
        return;
    std::lock_guard<std::mutex> hold(m_lock);
    m_path = path;
    m_memory.clear();
    m_useMemory = false;
    m_sourceChanged = true;
}

void CMp3Decoder::SetMemory(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_memory.assign(data, data + (data ? size : 0));
    m_path = "(memory)";
    m_useMemory = true;
    m_sourceChanged = true;
}

bool CMp3Decoder::HasData() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_delivered;
}

bool CMp3Decoder::Start() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_running)
        return true;
    if (!m_open && !Open())
        return false;
    m_running = true;
    m_resumedAt = m_clock();
    return true;
}

void CMp3Decoder::Stop() {
    std::lock_guard<std::mutex> hold(m_lock);
    // The position is held: what fell due before the pause is handed out after it, so that a
    // paused recording goes on with the file where it stopped.
    if (m_running)
        m_runMs += m_clock() - m_resumedAt;
    m_running = false;
}

void CMp3Decoder::Clear() {
    std::lock_guard<std::mutex> hold(m_lock);
    // A recording begins: the file from its start, at this moment.
    if (m_open && (m_handedOut > 0 || m_sourceChanged)) {
        Close();
        Open();
    }
    m_runMs = 0;
    m_resumedAt = m_clock();
    m_handedOut = 0;
}

int CMp3Decoder::Read(uint8_t* out, int bytes, int* got) {
    if (got)
        *got = 0;
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_open || !out || bytes <= 0)
        return 0;
    Fill(kPacketsPerFill);
    const int64_t held = HeldBytes();
    if (held <= bytes)
        return static_cast<int>(held);
    // Decoding has not caught up (a long damaged stretch): the block waits for the next call.
    if (m_pcm.Size() < bytes && !m_decodedAll)
        return 0;
    // After the file's end the block is completed with silence, and then made of it.
    const int n = m_pcm.Read(out, bytes);
    if (n < bytes)
        memset(out + n, 0, static_cast<size_t>(bytes - n));
    m_handedOut += bytes;
    m_delivered = true;
    if (got)
        *got = bytes;
    return static_cast<int>(std::min<int64_t>(held - bytes, INT_MAX));
}

int CMp3Decoder::GetDataSize() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_open ? static_cast<int>(std::min<int64_t>(HeldBytes(), INT_MAX)) : 0;
}

bool CMp3Decoder::Finished() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_open && m_decodedAll && m_pcm.Size() == 0;
}

int CMp3Decoder::SkippedPackets() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_skipped;
}

int64_t CMp3Decoder::RunningMs() const {
    return m_runMs + (m_running ? std::max<int64_t>(0, m_clock() - m_resumedAt) : 0);
}

int64_t CMp3Decoder::HeldBytes() const {
    return std::max<int64_t>(0, RunningMs() * kBytesPerMs - m_handedOut);
}

bool CMp3Decoder::Open() {
    Close();
    m_sourceChanged = false;
    m_runMs = 0;
    m_handedOut = 0;
    m_skipped = 0;
    auto in = std::make_unique<Input>();
    AVFormatContext* fc = avformat_alloc_context();
    if (!fc) {
        VLOG_ERROR("sound file: out of memory opening '" << m_path << "'");
        return false;
    }
    if (m_useMemory) {
        in->data = m_memory.data();
        in->size = static_cast<int64_t>(m_memory.size());
        uint8_t* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
        AVIOContext* io = buffer ? avio_alloc_context(buffer, kIoBufferBytes, 0, in.get(),
                                                      &Input::ReadPacket, nullptr, &Input::Seek)
                                 : nullptr;
        if (!io) {
            av_free(buffer);
            avformat_free_context(fc);
            VLOG_ERROR("sound file: out of memory opening '" << m_path << "'");
            return false;
        }
        in->io.reset(io);
        fc->pb = io;
    }
    // On failure avformat_open_input frees the context.
    int ret = avformat_open_input(&fc, m_useMemory ? nullptr : m_path.c_str(), nullptr, nullptr);
    if (ret < 0) {
        VLOG_ERROR("sound file: cannot open '" << m_path << "': " << AvErrorText(ret));
        return false;
    }
    in->format.reset(fc);
    // Some formats (raw AAC, MPEG-TS) say their codec only once packets were looked at; where
    // this fails the decoder may still open from what the header said.
    avformat_find_stream_info(fc, nullptr);
    for (unsigned i = 0; i < fc->nb_streams; ++i) {
        if (in->stream < 0 && fc->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            in->stream = static_cast<int>(i);
        else
            fc->streams[i]->discard = AVDISCARD_ALL;
    }
    if (in->stream < 0) {
        VLOG_ERROR("sound file: no audio stream in '" << m_path << "'");
        return false;
    }
    const AVStream* st = fc->streams[in->stream];
    const AVCodec* decoder = avcodec_find_decoder(st->codecpar->codec_id);
    in->codec.reset(decoder ? avcodec_alloc_context3(decoder) : nullptr);
    in->packet.reset(av_packet_alloc());
    in->frame.reset(av_frame_alloc());
    ret = !in->codec ? AVERROR_DECODER_NOT_FOUND
                     : avcodec_parameters_to_context(in->codec.get(), st->codecpar);
    if (ret >= 0) {
        in->codec->pkt_timebase = st->time_base;
        ret = avcodec_open2(in->codec.get(), decoder, nullptr);
    }
    if (ret < 0 || !in->packet || !in->frame) {
        VLOG_ERROR("sound file: cannot decode " << avcodec_get_name(st->codecpar->codec_id)
                                                << " in '" << m_path << "': " << AvErrorText(ret));
        return false;
    }
    VLOG_INFO("sound file '" << m_path << "': " << avcodec_get_name(st->codecpar->codec_id) << ", "
                             << st->codecpar->sample_rate << " Hz, "
                             << st->codecpar->ch_layout.nb_channels << " channel(s)");
    m_input = std::move(in);
    m_open = true;
    m_decodedAll = false;
    Fill(kPrimePackets);
    if (m_decodedAll && m_pcm.Size() == 0) {  // a header of a known format and no sound in it
        VLOG_ERROR("sound file: no sound could be decoded from '" << m_path << "'");
        m_open = false;
        Close();
        return false;
    }
    return true;
}

void CMp3Decoder::Close() {
    if (m_open && m_skipped > 0)
        VLOG_WARN("sound file '" << m_path << "': " << m_skipped << " damaged packets skipped");
    m_input.reset();
    m_pcm.Clear();
    m_open = false;
    m_decodedAll = false;
}

void CMp3Decoder::Fill(int packets) {
    while (m_input && m_pcm.Size() < kAheadBytes) {
        DecodeFrames();
        if (!m_input || m_pcm.Size() >= kAheadBytes)
            return;
        Input& in = *m_input;
        if (in.demuxerDone) {  // drained without saying so: the end all the same
            EndOfFile();
            return;
        }
        if (packets-- <= 0)
            return;
        AVPacket* pkt = in.packet.get();
        const int ret = av_read_frame(in.format.get(), pkt);
        if (ret == AVERROR(EAGAIN))
            return;
        if (ret < 0) {  // the end, or a read error that FFmpeg cannot go past
            in.demuxerDone = true;
            avcodec_send_packet(in.codec.get(), nullptr);
            continue;
        }
        if (pkt->stream_index == in.stream && avcodec_send_packet(in.codec.get(), pkt) < 0)
            ++m_skipped;
        av_packet_unref(pkt);
    }
}

void CMp3Decoder::DecodeFrames() {
    Input& in = *m_input;
    for (;;) {
        const int ret = avcodec_receive_frame(in.codec.get(), in.frame.get());
        if (ret == AVERROR_EOF) {
            EndOfFile();
            return;
        }
        if (ret == AVERROR(EAGAIN))
            return;
        if (ret < 0) {  // a damaged frame: the next packet goes on
            ++m_skipped;
            return;
        }
        Convert(in.frame.get());
        av_frame_unref(in.frame.get());
    }
}

void CMp3Decoder::Convert(const AVFrame* frame) {
    Input& in = *m_input;
    const int channels = frame->ch_layout.nb_channels;
    if (frame->sample_rate < kMinInputRate || frame->sample_rate > kMaxInputRate || channels < 1 ||
        channels > kMaxInputChannels || frame->nb_samples <= 0 ||
        !av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame->format))) {
        ++m_skipped;
        return;
    }
    if (!in.swr || frame->sample_rate != in.swrRate || frame->format != in.swrFormat ||
        av_channel_layout_compare(&frame->ch_layout, &in.swrLayout) != 0) {
        // A new input format (the first frame, or a stream that changes its rate): a new
        // resampler; the few samples the old one held back are let go.
        in.swr.reset();
        av_channel_layout_uninit(&in.swrLayout);
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        AVChannelLayout layout{};
        // A layout without named channels cannot be mixed down: take the usual one for the count.
        for (int attempt = 0; attempt < 2 && !in.swr; ++attempt) {
            if (attempt == 0 && frame->ch_layout.order == AV_CHANNEL_ORDER_NATIVE)
                av_channel_layout_copy(&layout, &frame->ch_layout);
            else if (attempt == 0)
                continue;
            else
                av_channel_layout_default(&layout, channels);
            SwrContext* swr = nullptr;
            if (swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_S16, kSampleRate, &layout,
                                    static_cast<AVSampleFormat>(frame->format), frame->sample_rate,
                                    0, nullptr) >= 0 &&
                swr_init(swr) >= 0)
                in.swr.reset(swr);
            else
                swr_free(&swr);
            av_channel_layout_uninit(&layout);
        }
        if (!in.swr) {
            ++m_skipped;
            return;
        }
        in.swrRate = frame->sample_rate;
        in.swrFormat = frame->format;
        av_channel_layout_copy(&in.swrLayout, &frame->ch_layout);
    }
    const int most = swr_get_out_samples(in.swr.get(), frame->nb_samples);
    if (most <= 0)
        return;
    m_convertScratch.resize(static_cast<size_t>(most) * 2);
    uint8_t* out[1] = {m_convertScratch.data()};
    const int n = swr_convert(in.swr.get(), out, most,
                              const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    if (n > 0)
        m_pcm.Append(m_convertScratch.data(), n * 2);
}

void CMp3Decoder::EndOfFile() {
    Input& in = *m_input;
    // The resampler's last few samples.
    if (in.swr) {
        const int most = swr_get_out_samples(in.swr.get(), 0);
        if (most > 0) {
            m_convertScratch.resize(static_cast<size_t>(most) * 2);
            uint8_t* out[1] = {m_convertScratch.data()};
            const int n = swr_convert(in.swr.get(), out, most, nullptr, 0);
            if (n > 0)
                m_pcm.Append(m_convertScratch.data(), n * 2);
        }
    }
    const int64_t soundMs = (m_handedOut + m_pcm.Size()) / kBytesPerMs;
    if (soundMs > 0)  // a file without any sound is refused by Open, which says so
        VLOG_INFO("sound file '" << m_path << "': end of the sound, " << soundMs << " ms");
    m_input.reset();
    m_decodedAll = true;
}
