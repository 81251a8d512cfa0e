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
#include "capture/MouseEffects.h"
#include "audiocapture/AudioPump.h"
#include "audiocapture/IDSoundRecorder.h"
#include "support/Config.h"
#include "support/Log.h"

using vistrec::platform::SleepMs;
using vistrec::platform::TickCount32;

namespace {
constexpr unsigned kPausedSleepMs = 100;
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

int CCadmo2Mp4Video::record(ICadmo2Mp4Video_Sink* sink, IDSoundRecorder* source, bool flag) {
    m_h264Twin = false;
    LoadEffectIcons();  // the icon set of the effects switched on now
    TeardownVideo();
    // The level block is closed at the end of every recording (below); the next recording
    // opens it again, so that every recording of this object publishes the level.
    m_volumeBlock = vistrec::platform::OpenSharedLevelBlock();
    m_audioDroppedBytes = 0;
    m_audioLateBytes = 0;
    m_audioDropping = false;
    m_droppingLateSound = false;
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
    // Frames are captured and converted on this thread and encoded on the pipeline's.
    if (!StartPipeline()) {
        VLOG_ERROR("no pictures for the video encoder: nothing is recorded");
        close_audio();
        TeardownVideo();
        return -1;
    }
    if (OpenOutputFile() < 0) {
        if (WriteError() != 0)
            vistrec::platform::PostHostNotification(WriteError());
        close_audio();
        TeardownVideo();
        return -1;
    }

    // The MP3 copy belongs to the recording that asked for it; the end sequence clears the flag.
    if (m_mp3Enabled && m_audioCodec)
        m_mp3Side.Start(m_mp3FileName);

    const bool audio = m_pAudioStream && m_audioCodec;
    m_soundTimeline.NewRun(m_audioFifo.Size());
    m_soundRanOut = false;
    m_sync.Start(m_frameRate, m_pVideoStream != nullptr, audio ? m_audioFrameSize : 0,
                 audio ? m_audioCodec->sample_rate : 0, static_cast<int>(m_pSamples.size()));
    m_volumeCheck.Start(TickCount32());
    m_lastLevel = 0;
    bool paused = false;

    sink->onStart();
    if (sink->isStopped())
        return EndSequence(sink);
    do {
        if (sink->isPaused()) {
            if (!paused) {
                m_volumeCheck.OnPauseBegin(TickCount32());
                // The sound source stops with the picture: nothing heard during a pause is
                // recorded. The recorder's own captures follow when it asks for that (flag).
                if (!source || flag)
                    sink->onPause();
                if (source)
                    source->Stop();
                paused = true;
            }
            SleepMs(kPausedSleepMs);
            continue;
        }
        m_volumeCheck.OnPauseEnd(TickCount32());
        const int64_t elapsed = m_sync.Elapsed(m_pausedMs);
        if (paused) {
            if (!source || flag)
                sink->onResume();
            if (source)
                source->Start();
            // Sound after the pause continues the track where it stood.
            m_soundTimeline.NewRun(m_audioFifo.Size());
            m_volumeCheck.OnResumed(TickCount32());
        }
        sink->onTick();
        const int code =
            m_volumeCheck.Check(TickCount32(), &m_lastLevel, m_minVolumeValue, m_audioDelivered);
        if (code != 0)
            vistrec::platform::PostHostNotification(code);

        paused = false;
        DropLateSound();
        const CAvSynchroniser::Action action =
            m_sync.Next(elapsed, m_audioFifo.Size(), m_soundTimeline.HeadMs());
        if (action == CAvSynchroniser::Action::kWait) {
            SleepMs(IdleWaitMs(elapsed));
            continue;
        }
        if (action == CAvSynchroniser::Action::kEnd)
            break;
        if (action == CAvSynchroniser::Action::kSound) {
            write_audio_frame2(m_pFormatCtx, m_pAudioStream, static_cast<int>(elapsed), false);
            m_sync.OnAudioFrame();
        } else if (action == CAvSynchroniser::Action::kSilence) {
            WriteAudioFrame(m_pFormatCtx, m_pAudioStream, false, true);
            m_sync.OnAudioFrame();
        } else {
            const int result = QueueVideoFrame(elapsed, false);
            m_sync.OnVideoResult(result);
            if (WriteError() != 0)
                break;
            if (result == kCaptureLost) {
                vistrec::platform::PostHostNotification(0);
                break;
            }
            if (result == AVERROR(EIO) || result == AVERROR(ENOMEM))
                vistrec::platform::PostHostNotification(result);
        }
        // A failed output ends the recording; the end sequence tells the host.
        CheckOutputStillThere(elapsed);
        if (WriteError() != 0)
            break;
        sink->onTick();
    } while (!sink->isStopped());
    return EndSequence(sink);
}

int CCadmo2Mp4Video::EndSequence(ICadmo2Mp4Video_Sink* sink) {
    VLOG_INFO("begin flush data");
    FinishPipeline();
    const int videoEnd = DrainVideo(m_sync.LastVideoResult());
    VLOG_INFO("write_video_frame over");
    sink->onTick();
    VLOG_INFO("write_audio_frame start");
    bool soundLeft = true;
    while (WriteError() == 0) {
        const CAvSynchroniser::Action step = m_sync.TailStep(videoEnd, soundLeft);
        if (step == CAvSynchroniser::Action::kSound) {
            const int64_t elapsed = m_sync.Elapsed(m_pausedMs);
            if (write_audio_frame2(m_pFormatCtx, m_pAudioStream, static_cast<int>(elapsed), true) <
                0) {
                soundLeft = false;
                continue;
            }
        } else if (step == CAvSynchroniser::Action::kSilence) {
            WriteAudioFrame(m_pFormatCtx, m_pAudioStream, true, true);
        } else {
            break;
        }
        m_sync.OnAudioFrame();
    }
    // The encoder still holds the last frame it was given (AAC looks one frame ahead): drain it
    // so that the sound written reaches the end of the file.
    if (m_pAudioStream && WriteError() == 0)
        DrainAudioEncoder();
    VLOG_INFO("write_audio_frame over");
    WriteTrailer();
    // The host's level block is let go between recordings; the next recording opens it again.
    m_volumeBlock.reset();
    if (m_audioDroppedBytes > 0)
        VLOG_WARN("audio queue full: " << m_audioDroppedBytes << " bytes of sound dropped");
    if (m_audioLateBytes > 0)
        VLOG_WARN("late sound: " << m_audioLateBytes * 1000 / (kAudioRate * 2)
                                 << " ms dropped in all");
    if (m_pAudioStream && m_pFormatCtx)
        close_audio();
    m_mp3Side.Finish();
    m_mp3Enabled = false;
    TeardownVideo();
    return 0;
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
        vistrec::platform::ExitProcessNow(1);
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
        vistrec::platform::ExitProcessNow(1);
    }
    if (avcodec_open2(m_audioCodec.get(), codec, nullptr) < 0) {
        fprintf(stderr, "could not open codec\n");
        VLOG_ERROR("codec not open audio、\n");
        fflush(nullptr);
        vistrec::platform::ExitProcessNow(1);
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
    m_emptyAudioFrames = 0;
}

int CCadmo2Mp4Video::write_audio_frame2(AVFormatContext* fc, AVStream* st, int, bool flush) {
    return WriteAudioFrame(fc, st, flush, false);
}

int CCadmo2Mp4Video::WriteAudioFrame(AVFormatContext* fc, AVStream* st, bool flush, bool silence) {
    AVCodecContext* ctx = m_audioCodec.get();
    if (!ctx)
        return -1;
    if (!m_pResampler) {
        // Made by the call rather than FFmpeg's initializer macro, which leaves a member out.
        AVChannelLayout mono{};
        av_channel_layout_default(&mono, 1);
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
    // In the recording loop a short frame means the track ran out of sound: what comes next
    // starts a new stretch of its own.
    if (!silence && !flush && taken < frameBytes)
        m_soundRanOut = true;
    if (taken > 0)
        m_soundTimeline.OnTaken(taken);
    if (taken <= 0 && !silence) {
        // Without sound (no server, mode 0) every frame would say so: once per stretch.
        if (m_emptyAudioFrames++ == 0)
            VLOG_ERROR("get_audio_frame error");
        if (flush)
            return -1;
    } else if (taken > 0 && m_emptyAudioFrames > 0) {
        VLOG_INFO("get_audio_frame: sound again after " << m_emptyAudioFrames << " empty frames");
        m_emptyAudioFrames = 0;
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
        VLOG_ERROR("avcodec_send_frame error" << ret << AvErrorText(ret));
        return -1;
    }
    // The captured sound the encoder took goes to the MP3 copy too, whether or not a packet
    // comes out yet (AAC holds the first frame back); the silence completing a frame does not.
    m_mp3Side.Encode(m_pSamples.data(), taken);
    if (!m_audioPacket)
        m_audioPacket.reset(av_packet_alloc());
    AVPacket* pkt = m_audioPacket.get();
    if (!pkt)
        return -1;
    ret = avcodec_receive_packet(ctx, pkt);
    if (ret < 0) {
        // The encoder holds its first frame back (EAGAIN): no packet yet, nothing wrong.
        if (ret != AVERROR(EAGAIN))
            VLOG_ERROR("avcodec_receive_packet error" << ret << AvErrorText(ret));
        return -1;
    }
    pkt->stream_index = st->index;
    av_packet_rescale_ts(pkt, ctx->time_base, st->time_base);
    ret = WritePacket(fc, pkt);
    av_packet_unref(pkt);
    if (ret < 0) {
        NoteWriteError(ret, "av_interleaved_write_frame error");
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
        const int ret = WritePacket(m_pFormatCtx, pkt);
        av_packet_unref(pkt);
        if (ret < 0) {
            NoteWriteError(ret, "av_interleaved_write_frame error");
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

void CCadmo2Mp4Video::DropLateSound() {
    const int64_t lateMs = m_sync.LateSoundMs(m_soundTimeline.HeadMs());
    if (lateMs == 0 || m_audioFifo.Size() == 0) {
        m_droppingLateSound = false;
        return;
    }
    const int64_t lateBytes = lateMs * kAudioRate * 2 / 1000;
    const int bytes =
        m_audioFifo.Skip(static_cast<int>(std::min<int64_t>(lateBytes, INT32_MAX)) & ~1);
    m_soundTimeline.OnTaken(bytes);
    m_audioLateBytes += bytes;
    if (!m_droppingLateSound)
        VLOG_WARN("late sound: it came after silence stood in for it; dropping " << lateMs
                                                                                 << " ms");
    m_droppingLateSound = true;
}

void CCadmo2Mp4Video::PushAudio(const uint8_t* pcm, int bytes, int64_t capturedMs) {
    const int level = VolumeLevel(reinterpret_cast<const short*>(pcm), bytes / 2);
    m_lastLevel = level;
    // The host reads the level as decimal text at the start of its "voluMem" block.
    if (m_volumeBlock) {
        char text[16] = {0};
        snprintf(text, sizeof text, "%d", level);
        m_volumeBlock->WriteText(text);
    }
    m_audioDelivered = true;
    if (m_soundRanOut) {
        m_soundTimeline.NewRun(m_audioFifo.Size());
        m_soundRanOut = false;
    }
    // The capture time on the recording's clock: as long before now as it is on the system's.
    // A sound file's blocks are not placed at all: they follow each other in the track as the
    // file plays, so that none of its sound is moved or dropped as late (the head stays unknown).
    if (capturedMs != kContinuousSoundMs) {
        const int64_t now = m_sync.Elapsed(m_pausedMs);
        m_soundTimeline.OnPushed(now, bytes,
                                 capturedMs == kUnknownCaptureMs
                                     ? CSoundTimeline::kUnknown
                                     : now - (vistrec::platform::GetMsTime() - capturedMs));
    }
    // The queue keeps the newest kAudioFifoMaxBytes: what does not fit goes from the front.
    const int excess = m_audioFifo.Size() + bytes - kAudioFifoMaxBytes;
    if (excess > 0) {
        m_audioFifo.Skip(excess);
        m_soundTimeline.OnTaken(excess);
        m_audioDroppedBytes += excess;
        if (!m_audioDropping)
            VLOG_WARN("audio queue full: dropping the oldest sound");
        m_audioDropping = true;
        if (bytes > kAudioFifoMaxBytes) {
            pcm += bytes - kAudioFifoMaxBytes;
            bytes = kAudioFifoMaxBytes;
        }
    } else {
        m_audioDropping = false;
    }
    m_audioFifo.Append(pcm, bytes);
}
