#include "Cadmo2Mp4Video.h"

#include <stdio.h>
#include <algorithm>
#include <stdlib.h>

#include <cstdlib>
#include <string.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "ICadmo2Mp4VideoSink.h"
#include "MouseEffects.h"
#include "audiocapture/AudioPump.h"
#include "support/Config.h"
#include "support/Log.h"

using vistrec::platform::GetMsTime;
using vistrec::platform::SleepMs;
using vistrec::platform::TickCount32;

namespace {
// Each stream ends the recording once it holds this many seconds.
constexpr int kMaxRecordingSeconds = 6000;
constexpr unsigned kPausedSleepMs = 100;
constexpr unsigned kIdleSleepMs = 1;
// The sound hand-off format: signed 16-bit mono at 16 kHz.
constexpr int kAudioRate = 16000;
constexpr int kAudioBitRate = 32000;
}  // namespace

CCadmo2Mp4Video::CCadmo2Mp4Video(HWND hostWnd)
    : CH264WindowRecorder(hostWnd),
      m_volumeBlock(vistrec::platform::OpenSharedLevelBlock()),
      m_minVolumeValue(GetConfigMinVolumeValue()) {}

CCadmo2Mp4Video::~CCadmo2Mp4Video() {
    m_audioFifo.Clear();
}

int CCadmo2Mp4Video::AudioTimeSeconds() const {
    if (!m_pAudioStream || !m_audioCodec)
        return 0;
    const AVRational tb = m_audioCodec->time_base;
    return static_cast<int>(static_cast<double>(m_audioFrameCount) * m_audioFrameSize * tb.num /
                            tb.den);
}

int CCadmo2Mp4Video::record(ICadmo2Mp4Video_Sink* sink, IDSoundRecorder* source, bool flag) {
    (void)source;
    (void)flag;
    m_h264Twin = false;
    LoadEffectIcons();  // the icon set of the effects switched on now
    TeardownVideo();
    m_videoFrameIndex = 0;
    m_audioFrameCount = 0;
    m_audioStarved = false;
    if (SetUpVideoOutput() < 0) {
        TeardownVideo();
        return -1;
    }
    const AVOutputFormat* fmt = m_pFormatCtx->oformat;
    if (fmt->audio_codec != AV_CODEC_ID_NONE) {
        m_pAudioStream = add_audio_stream(m_pFormatCtx, fmt->audio_codec);
        if (m_pAudioStream)
            open_audio(m_pFormatCtx, m_pAudioStream);
    }
    if (OpenOutputFile() < 0) {
        close_audio();
        TeardownVideo();
        return -1;
    }

    const int64_t interval = 1000 / m_frameRate;
    const int64_t start = GetMsTime();
    m_startMs = start;
    m_volumeCheck.Start(TickCount32());
    m_lastLevel = 0;
    bool paused = false;
    int lastVideoResult = 0;

    sink->onStart();
    if (sink->isStopped())
        return EndSequence(sink, lastVideoResult);
    do {
        if (sink->isPaused()) {
            if (!paused) {
                m_volumeCheck.OnPauseBegin(TickCount32());
                sink->onPause();
                paused = true;
            }
            SleepMs(kPausedSleepMs);
            continue;
        }
        m_volumeCheck.OnPauseEnd(TickCount32());
        const int64_t elapsed = GetMsTime() - m_pausedMs - start;
        if (paused) {
            sink->onResume();
            m_volumeCheck.OnResumed(TickCount32());
        }
        sink->onTick();
        const int code =
            m_volumeCheck.Check(TickCount32(), &m_lastLevel, m_minVolumeValue, m_audioDelivered);
        if (code != 0)
            vistrec::platform::PostHostNotification(code);

        paused = false;
        // At rates that do not divide 1000 (30 fps: a frame due every 33 ms, an index every
        // 33.3 ms) a frame can fall due within the index of the one before. Its packet would
        // repeat that time stamp and be refused by the muxer after the encoder had used the
        // picture as a reference, breaking the frames up to the next key frame; so a frame is
        // due only once its index is new.
        if (elapsed < m_videoFrameIndex * interval || FrameIndexTaken(elapsed)) {
            SleepMs(kIdleSleepMs);
            continue;
        }
        // A frame is due. Stop once every stream present holds the maximum length.
        const int audioTime = AudioTimeSeconds();
        const int videoTime = m_pVideoStream ? lastVideoResult : 0;
        if ((!m_pAudioStream || audioTime >= kMaxRecordingSeconds) &&
            (!m_pVideoStream || videoTime / 1000 >= kMaxRecordingSeconds))
            break;
        AudioStep step = AudioStep::kNone;
        if (!m_pVideoStream)
            step = AudioStep::kSound;
        else if (m_pAudioStream && audioTime < videoTime / 1000)
            step = NextAudioStep(videoTime);
        if (step != AudioStep::kNone) {
            // Audio lags the last video frame by a whole second or more: catch up first.
            if (step == AudioStep::kSound)
                write_audio_frame2(m_pFormatCtx, m_pAudioStream, static_cast<int>(elapsed), false);
            else
                WriteAudioFrame(m_pFormatCtx, m_pAudioStream, false, true);
            ++m_audioFrameCount;
        } else {
            const int result = write_video_frame(m_pFormatCtx, m_pVideoStream, elapsed);
            lastVideoResult = result;
            if (result == kCaptureLost) {
                vistrec::platform::PostHostNotification(0);
                break;
            }
            if (result == AVERROR(EIO) || result == AVERROR(ENOMEM))
                vistrec::platform::PostHostNotification(result);
        }
        sink->onTick();
    } while (!sink->isStopped());
    return EndSequence(sink, lastVideoResult);
}

CCadmo2Mp4Video::AudioStep CCadmo2Mp4Video::NextAudioStep(int64_t videoTimeMs) {
    const int frameBytes = static_cast<int>(m_pSamples.size());
    const int64_t lagMs = videoTimeMs - AudioTimeMs();
    if (m_audioFifo.Size() >= frameBytes) {
        // Sound is back after a silent stretch: fill the stretch up to the sound's own time
        // first, so that it is heard when it was captured.
        if (m_audioStarved && lagMs > kAudioResyncLagMs + AudioFrameMs())
            return AudioStep::kSilence;
        m_audioStarved = false;
        return AudioStep::kSound;
    }
    // Captured sound reaches the FIFO a little after its time; wait for it rather than fill
    // the track with silence, unless the audio lags so far that nothing is coming.
    // What is left of the FIFO goes into this frame, completed with silence.
    if (lagMs > kAudioSilenceLagMs) {
        m_audioStarved = true;
        return AudioStep::kSound;
    }
    return AudioStep::kNone;
}

int CCadmo2Mp4Video::EndSequence(ICadmo2Mp4Video_Sink* sink, int lastVideoResult) {
    VLOG_INFO("begin flush data");
    int videoEnd = lastVideoResult;
    for (;;) {
        const int r = EncodeStep(m_pFormatCtx, m_pVideoStream, nullptr, 0);
        if (r < 0)
            break;
        if (r > 0)
            videoEnd = r;
    }
    VLOG_INFO("write_video_frame over");
    sink->onTick();
    VLOG_INFO("write_audio_frame start");
    // The audio tail: up to the second of the last video packet, while the FIFO has sound.
    if (m_pAudioStream) {
        while (AudioTimeSeconds() <= videoEnd / 1000) {
            const int64_t elapsed = GetMsTime() - m_pausedMs - m_startMs;
            if (write_audio_frame2(m_pFormatCtx, m_pAudioStream, static_cast<int>(elapsed), true) <
                0)
                break;
            ++m_audioFrameCount;
        }
        // Silence where no sound came (no sound server, a lost device), so that the track
        // lasts as long as the video.
        const int64_t videoEndMs = videoEnd + 1000 / m_frameRate;
        while (AudioTimeMs() + AudioFrameMs() / 2 < videoEndMs) {
            WriteAudioFrame(m_pFormatCtx, m_pAudioStream, true, true);
            ++m_audioFrameCount;
        }
        // The encoder still holds the last frame it was given (AAC looks one frame ahead):
        // drain it so that the sound written reaches the end of the file.
        DrainAudioEncoder();
    }
    VLOG_INFO("write_audio_frame over");
    av_write_trailer(m_pFormatCtx);
    // Later recordings of this object no longer publish the level.
    m_volumeBlock.reset();
    if (m_pAudioStream && m_pFormatCtx)
        close_audio();
    TeardownVideo();
    return 0;
}

int64_t CCadmo2Mp4Video::AudioTimeMs() const {
    if (!m_pAudioStream || !m_audioCodec)
        return 0;
    const AVRational tb = m_audioCodec->time_base;
    return static_cast<int64_t>(m_audioFrameCount) * m_audioFrameSize * 1000 * tb.num / tb.den;
}

int64_t CCadmo2Mp4Video::AudioFrameMs() const {
    return m_audioCodec ? static_cast<int64_t>(m_audioFrameSize) * 1000 / m_audioCodec->sample_rate
                        : 0;
}

AVStream* CCadmo2Mp4Video::add_audio_stream(AVFormatContext* fc, AVCodecID codecId) {
    AVStream* st = avformat_new_stream(fc, nullptr);
    if (!st)
        return nullptr;
    const AVCodec* codec = avcodec_find_encoder(codecId);
    if (!codec) {
        fprintf(stderr, "Could not find encoder for '%s'\n", avcodec_get_name(codecId));
        VLOG_ERROR("add_audio_stream faile：Could not find encoder for '%s'\n");
        fflush(nullptr);
        std::quick_exit(1);
    }
    AVCodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx)
        return nullptr;
    ctx->codec_id = codec->id;
    ctx->codec_type = AVMEDIA_TYPE_AUDIO;
    ctx->sample_fmt = (codec->sample_fmts && codec->sample_fmts[0] != AV_SAMPLE_FMT_NONE)
                          ? codec->sample_fmts[0]
                          : AV_SAMPLE_FMT_S16;
    ctx->bit_rate = kAudioBitRate;
    ctx->sample_rate = kAudioRate;
    av_channel_layout_default(&ctx->ch_layout, 1);
    ctx->time_base = AVRational{1, kAudioRate};
    if (fc->oformat->flags & AVFMT_GLOBALHEADER)
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    st->id = static_cast<int>(fc->nb_streams) - 1;
    st->time_base = ctx->time_base;
    m_audioCodec = std::move(ctx);
    return st;
}

void CCadmo2Mp4Video::open_audio(AVFormatContext*, AVStream* st) {
    const AVCodec* codec = avcodec_find_encoder(m_audioCodec->codec_id);
    if (!codec) {
        fprintf(stderr, "codec not found\n");
        VLOG_ERROR("codec not audio found\n");
        fflush(nullptr);
        std::quick_exit(1);
    }
    if (avcodec_open2(m_audioCodec.get(), codec, nullptr) < 0) {
        fprintf(stderr, "could not open codec\n");
        VLOG_ERROR("codec not open audio、\n");
        fflush(nullptr);
        std::quick_exit(1);
    }
    avcodec_parameters_from_context(st->codecpar, m_audioCodec.get());
    const int channels = m_audioCodec->ch_layout.nb_channels;
    if (m_audioCodec->frame_size > 1) {
        m_audioFrameSize = m_audioCodec->frame_size;
    } else {
        m_audioFrameSize = 10000 / channels;
        switch (st->codecpar->codec_id) {
            case AV_CODEC_ID_PCM_S16LE:
            case AV_CODEC_ID_PCM_S16BE:
            case AV_CODEC_ID_PCM_U16LE:
            case AV_CODEC_ID_PCM_U16BE:
                m_audioFrameSize >>= 1;
                break;
            default:
                break;
        }
    }
    m_pSamples.assign(static_cast<size_t>(channels) * m_audioFrameSize * 2, 0);
    m_audioSamplesSent = 0;
}

int CCadmo2Mp4Video::write_audio_frame2(AVFormatContext* fc, AVStream* st, int, bool flush) {
    return WriteAudioFrame(fc, st, flush, false);
}

int CCadmo2Mp4Video::WriteAudioFrame(AVFormatContext* fc, AVStream* st, bool flush, bool silence) {
    AVCodecContext* ctx = m_audioCodec.get();
    if (!ctx)
        return -1;
    if (!m_pResampler) {
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        SwrContext* swr = nullptr;
        if (swr_alloc_set_opts2(&swr, &ctx->ch_layout, ctx->sample_fmt, ctx->sample_rate, &mono,
                                AV_SAMPLE_FMT_S16, kAudioRate, 0, nullptr) < 0 ||
            !swr) {
            fprintf(stderr, "swr_alloc_set_opts error");
            VLOG_ERROR("swr_alloc_set_opts err");
            return -1;
        }
        m_pResampler.reset(swr);
    }
    int ret = swr_init(m_pResampler.get());
    if (ret < 0) {
        fprintf(stderr, "swr_init error");
        VLOG_ERROR("swr_init err" << ret << AvErrorText(ret));
        return -1;
    }
    m_pAudioFrame.reset(av_frame_alloc());
    AVFrame* frame = m_pAudioFrame.get();
    if (!frame)
        return -1;
    frame->format = ctx->sample_fmt;
    av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
    frame->sample_rate = ctx->sample_rate;
    frame->nb_samples = m_audioFrameSize;
    if (av_frame_get_buffer(frame, 0) < 0)
        return -1;

    // Take one frame of PCM, or the whole samples the FIFO holds.
    const int frameBytes = static_cast<int>(m_pSamples.size());
    int taken = 0;
    if (silence)
        taken = 0;
    else if (m_audioFifo.Size() > 0)
        taken = m_audioFifo.Read(m_pSamples.data(), std::min(frameBytes, m_audioFifo.Size() & ~1));
    if (taken <= 0 && !silence) {
        VLOG_ERROR("get_audio_frame error");
        if (flush)
            return -1;
    }
    // A short or empty frame is completed with silence, never with the last frame's tail.
    if (taken < frameBytes)
        memset(m_pSamples.data() + taken, 0, static_cast<size_t>(frameBytes - taken));

    const uint8_t* in[1] = {m_pSamples.data()};
    ret = swr_convert(m_pResampler.get(), frame->data, frame->nb_samples, in, m_audioFrameSize);
    if (ret <= 0) {
        VLOG_ERROR("swr_convert error" << ret << AvErrorText(ret));
        return -1;
    }
    // Frames are stamped with the samples sent before them, so the track has no gaps.
    frame->pts = m_audioSamplesSent;
    m_audioSamplesSent += frame->nb_samples;
    ret = avcodec_send_frame(ctx, frame);
    if (ret < 0) {
        VLOG_ERROR("swr_convert error" << ret << AvErrorText(ret));
        return -1;
    }
    if (!m_audioPacket)
        m_audioPacket.reset(av_packet_alloc());
    AVPacket* pkt = m_audioPacket.get();
    if (!pkt)
        return -1;
    ret = avcodec_receive_packet(ctx, pkt);
    if (ret < 0) {
        VLOG_ERROR("swr_convert error" << ret << AvErrorText(ret));
        return -1;
    }
    pkt->stream_index = st->index;
    av_packet_rescale_ts(pkt, ctx->time_base, st->time_base);
    ret = av_interleaved_write_frame(fc, pkt);
    av_packet_unref(pkt);
    if (ret < 0) {
        VLOG_ERROR("av_interleaved_write_frame error" << ret << AvErrorText(ret));
        return -1;
    }
    return 0;
}

void CCadmo2Mp4Video::DrainAudioEncoder() {
    AVCodecContext* ctx = m_audioCodec.get();
    if (!ctx || !m_audioPacket || avcodec_send_frame(ctx, nullptr) < 0)
        return;
    AVPacket* pkt = m_audioPacket.get();
    while (avcodec_receive_packet(ctx, pkt) >= 0) {
        pkt->stream_index = m_pAudioStream->index;
        av_packet_rescale_ts(pkt, ctx->time_base, m_pAudioStream->time_base);
        const int ret = av_interleaved_write_frame(m_pFormatCtx, pkt);
        av_packet_unref(pkt);
        if (ret < 0) {
            VLOG_ERROR("av_interleaved_write_frame error" << ret << AvErrorText(ret));
            break;
        }
    }
}

void CCadmo2Mp4Video::close_audio() {
    m_audioCodec.reset();
    m_pSamples.clear();
    m_pAudioFrame.reset();
    m_audioPacket.reset();
    m_pResampler.reset();
    m_audioFifo.Clear();
    m_pAudioStream = nullptr;
}

void CCadmo2Mp4Video::PushAudio(const uint8_t* pcm, int bytes) {
    const int level = VolumeLevel(reinterpret_cast<const short*>(pcm), bytes / 2);
    m_lastLevel = level;
    // The host reads the level as decimal text at the start of its "voluMem" block.
    if (m_volumeBlock) {
        char text[16] = {0};
        snprintf(text, sizeof text, "%d", level);
        m_volumeBlock->WriteText(text);
    }
    m_audioDelivered = true;
    m_audioFifo.Append(pcm, bytes);
}
