#include "H264WindowRecorder.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <string.h>
#include <vector>

extern "C" {
#include <libavutil/opt.h>
}

#include "capture/CaptureSettings.h"
#include "CrashSafeMp4.h"
#include "ICadmo2Mp4VideoSink.h"
#include "capture/MouseEffects.h"
#include "capture/SizeRules.h"
#include "platform/Platform.h"
#include "support/Config.h"
#include "support/Log.h"

using vistrec::platform::SleepMs;

const char* const CH264WindowRecorder::kEncoderNames[3] = {"h264_qsv", "nvenc_h264", "other"};

namespace {
// Used when the host never set a preset or tune. The preset documented for such hosts is
// "ultrafast " with a trailing blank; libx264 looks presets up by name, refuses that one when
// the encoder opens, and with no other encoder left the recorder would end the host's process.
// A host that never chose a preset gets "ultrafast", the preset that text names.
const char* const kDefaultPreset = "ultrafast";
const char* const kDefaultTune = "zerolatency";

// FFmpeg 5 renamed the NVIDIA encoder; the old name is tried first, then the new one.
const AVCodec* FindHardwareEncoder(const char* name) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (!codec && strcmp(name, "nvenc_h264") == 0)
        codec = avcodec_find_encoder_by_name("h264_nvenc");
    return codec;
}
}  // namespace

CH264WindowRecorder::CH264WindowRecorder(HWND hostWnd)
    : m_hostWnd(hostWnd), m_sync(&vistrec::platform::GetMsTime) {}

CH264WindowRecorder::~CH264WindowRecorder() {
    TeardownVideo();
}

void CH264WindowRecorder::setFrameRate(int fps) {
    if (fps < 2 || fps > 30)
        return;
    // A configured rate wins; the argument only replaces a configured 0.
    GetConfigFrameRate(this, &m_frameRate);
    if (m_frameRate == 0)
        m_frameRate = fps;
}

void CH264WindowRecorder::setScale(double scale) {
    // The scale picks the top-left share of the captured picture that is recorded. Above 1
    // there is no more picture to take: it is clamped to 1, the whole picture. 0, negative and
    // not-a-number values mean nothing; the scale set before stays. So does a scale that leaves
    // no picture of the capture rectangle set now (the record size is rounded down to 4 pixels).
    const RECT& capture = g_captureSettings.captureRect;
    const int w = sizerules::RectWidth(capture), h = sizerules::RectHeight(capture);
    const bool leavesNothing =
        w > 0 && h > 0 && scale > 0.0 && scale <= 1.0 &&
        (sizerules::ScaledRecordSide(w, scale) <= 0 || sizerules::ScaledRecordSide(h, scale) <= 0);
    if (scale > 1.0) {
        VLOG_WARN("setScale " << scale << " above 1, using 1");
        m_scale = 1.0;
    } else if (scale > 0.0 && !leavesNothing) {
        m_scale = scale;
    } else {
        VLOG_WARN("setScale " << scale << " ignored, keeping " << m_scale);
    }
}

void CH264WindowRecorder::setPreset(const char* preset) {
    if (preset)
        m_preset = preset;
}

void CH264WindowRecorder::setTune(const char* tune) {
    if (tune)
        m_tune = tune;
}

void CH264WindowRecorder::setFileName(const char* name) {
    if (name)
        m_fileName = name;
}

void CH264WindowRecorder::setMp3FileName(const char* name) {
    if (!name)
        return;
    m_mp3FileName = name;
    m_mp3Enabled = true;
}

void CH264WindowRecorder::setText(const char* fontFile, const char* text, float x, float y, BYTE r,
                                  BYTE g, BYTE b) {
    m_overlayText = OverlayText{fontFile, text, x, y, r, g, b};
}

void CH264WindowRecorder::setFollowTarget(bool follow) {
    g_captureSettings.followTarget = follow;
}

void CH264WindowRecorder::setMouseShow(int mouseShow, int clickShow, int lightShow, int mouseSize) {
    g_mouse.m_mouseShow = mouseShow;
    g_mouse.m_clickShow = clickShow;
    g_mouse.m_lightShow = lightShow;
    g_mouse.m_mouseSize = mouseSize;
    VLOG_INFO("m_mouseShow m_clickShow m_lightShow m_mouseSize "
              << mouseShow << "--" << clickShow << "--" << lightShow << "--" << mouseSize);
}

void CH264WindowRecorder::setMouseEvent(int message) {
    g_mouse.lastMessage = message;
}

int CH264WindowRecorder::setCaptureRect(bool region, const RECT* rect) {
    // The reference display: the first of ten devices with a positive right and bottom edge.
    RECT reference = {0, 0, 200, 200};
    for (int i = 0; i < 10; ++i) {
        const RECT r = GetDisplayRect(i);
        if (r.right > 0 && r.bottom > 0) {
            reference = r;
            break;
        }
    }
    RECT& capture = g_captureSettings.captureRect;
    // A rectangle without a picture in it (empty, inverted, or wider than int can say) would
    // give the encoder a size it refuses, which ends the host's process: the first display.
    const int64_t w = rect ? int64_t{rect->right} - rect->left : 0;
    const int64_t h = rect ? int64_t{rect->bottom} - rect->top : 0;
    if (rect && (w < 4 || h < 4 || w > INT32_MAX || h > INT32_MAX)) {
        VLOG_WARN("setCaptureRect: " << rect->left << "," << rect->top << "," << rect->right << ","
                                     << rect->bottom << " holds no picture, using the display");
        rect = nullptr;
    }
    if (rect) {
        capture = {rect->left, rect->top,
                   rect->left + sizerules::RoundDown4(rect->right - rect->left),
                   rect->top + sizerules::RoundDown4(rect->bottom - rect->top)};
    } else {
        capture = reference;
    }
    g_captureSettings.regionFlag = region;
    const sizerules::OutSize out = sizerules::CaptureRectOutput(capture);
    m_outWidth = out.width;
    m_outHeight = out.height;
    m_bitRate = m_outWidth * m_outHeight * 2;
    return m_bitRate;
}

void CH264WindowRecorder::setDisplay(int number) {
    g_captureSettings.displayNumber = number;
    const std::vector<RECT> monitors = BuildMonitorList();
    const int count = static_cast<int>(monitors.size());
    if (count == 0)
        return;
    const int m = FindTargetMonitor(monitors, StartMonitorFor(number, count));
    const RECT& mon = monitors[m];
    sizerules::OutSize out{sizerules::RoundDown4(mon.right - mon.left),
                           sizerules::RoundDown4(mon.bottom - mon.top)};
    // Height caps take their aspect from the capture rectangle, not from the monitor.
    const RECT& capture = g_captureSettings.captureRect;
    const int cw = sizerules::RectWidth(capture), ch = sizerules::RectHeight(capture);
    sizerules::CapHeight(&out, 1080, cw, ch);
    const sizerules::QualityRule rule = sizerules::QualityFor(m_quality);
    if (rule.known) {
        sizerules::CapHeight(&out, rule.heightCap, cw, ch);
        m_frameRate = rule.frameRate;
        m_bitRate = sizerules::QualityBitRate(m_quality, out);
    }
    m_outWidth = out.width;
    m_outHeight = out.height;
}

int CH264WindowRecorder::record_width() const {
    const RECT& r = g_captureSettings.captureRect;
    return sizerules::ScaledRecordSide(sizerules::RectWidth(r), m_scale);
}

int CH264WindowRecorder::record_height() const {
    const RECT& r = g_captureSettings.captureRect;
    return sizerules::ScaledRecordSide(sizerules::RectHeight(r), m_scale);
}

int CH264WindowRecorder::encode_width() const {
    return m_outWidth > 0 ? m_outWidth : record_width();
}

int CH264WindowRecorder::encode_height() const {
    return m_outHeight > 0 ? m_outHeight : record_height();
}

AVStream* CH264WindowRecorder::add_video_stream(AVFormatContext* fc, AVCodecID codecId,
                                                const char* name) {
    AVStream* st = avformat_new_stream(fc, nullptr);
    if (!st)
        return nullptr;
    const bool hardware = strcmp(name, "h264_qsv") == 0 || strcmp(name, "nvenc_h264") == 0;
    const AVCodec* codec = nullptr;
    if (hardware) {
        codec = FindHardwareEncoder(name);
        if (!codec)
            return nullptr;
    } else {
        codec = avcodec_find_encoder(codecId);
        if (!codec) {
            VLOG_WARN("init failed codectype" << codecId);
            return nullptr;
        }
    }
    auto configure =
        [&](const char* preset, const char* tune) {
            AVCodecContextPtr ctx(avcodec_alloc_context3(codec));
            if (!ctx) {
                VLOG_ERROR("avcodec_alloc_context3 failed" << codecId);
                return ctx;
            }
            ctx->codec_id = codec->id;
            if (hardware) {
                ctx->bit_rate = m_bitRate;
                ctx->rc_min_rate = m_bitRate / 4;
                ctx->rc_max_rate = static_cast<int64_t>(m_bitRate) * 3;
                VLOG_INFO("codec :" << name);
            } else {
                VLOG_INFO("codec :"
                          << "other");
                // Constant quality: no bit rate, "crf" from the quality level.
                ctx->flags |= AV_CODEC_FLAG_QSCALE;
                if (m_forcedCrf >= 0)
                    av_opt_set_int(ctx.get(), "crf", m_forcedCrf, AV_OPT_SEARCH_CHILDREN);
                else if (const char* crf = sizerules::CrfForQuality(m_quality))
                    av_opt_set(ctx.get(), "crf", crf, AV_OPT_SEARCH_CHILDREN);
            }
            if (m_forcedFrameRate > 0)
                m_frameRate = m_forcedFrameRate;
            ctx->width = encode_width();
            ctx->height = encode_height();
            ctx->time_base = AVRational{1, m_frameRate};
            ctx->framerate = AVRational{m_frameRate, 1};
            ctx->gop_size = m_gopSize;
            ctx->max_b_frames = 0;
            ctx->delay = 0;
            ctx->pix_fmt = (codec->pix_fmts && codec->pix_fmts[0] != AV_PIX_FMT_NONE)
                               ? codec->pix_fmts[0]
                               : AV_PIX_FMT_YUV420P;
            if (fc->oformat->flags & AVFMT_GLOBALHEADER)
                ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
            // An encoder that lacks an option or refuses its value is opened without it.
            if (ctx->priv_data) {
                if (!preset)
                    VLOG_INFO("no preset set: using \"" << kDefaultPreset
                                                        << "\" (\"ultrafast \" with its "
                                                        << "trailing blank is refused by libx264)");
                av_opt_set(ctx->priv_data, "preset", preset ? preset : kDefaultPreset, 0);
                av_opt_set(ctx->priv_data, "tune", tune ? tune : kDefaultTune, 0);
                // A picture asked to be a key frame (see EncodeStep) is an IDR picture.
                av_opt_set_int(ctx->priv_data, "forced-idr", 1, 0);
            }
            VLOG_INFO("encodec param"
                      << "codec id:" << ctx->codec_id
                      << "bitrate:" << static_cast<int64_t>(ctx->bit_rate) << "width:" << ctx->width
                      << "height:" << ctx->height << "timebase" << ctx->time_base.den
                      << ctx->time_base.num << "pixfmt:" << ctx->pix_fmt);
            return ctx;
        };
    AVCodecContextPtr ctx = configure(m_preset, m_tune);
    if (!ctx)
        return nullptr;
    int ret = avcodec_open2(ctx.get(), codec, nullptr);
    // A preset or tune the software encoder does not know would leave no encoder at all and end
    // the host's process below: the host's choice gives way to the defaults instead.
    if (ret < 0 && !hardware && (m_preset || m_tune)) {
        VLOG_WARN("the encoder refused preset \"" << (m_preset ? m_preset : "") << "\" or tune \""
                                                  << (m_tune ? m_tune : "")
                                                  << "\": using the defaults");
        ctx = configure(nullptr, nullptr);
        if (!ctx)
            return nullptr;
        ret = avcodec_open2(ctx.get(), codec, nullptr);
    }
    if (ret < 0) {
        VLOG_WARN("could not open video codec" << name << ret << AvErrorText(ret));
        if (hardware)
            return nullptr;
        // No H.264 encoder at all: the host learns it from the notification and the exit.
        vistrec::platform::PostHostNotification(0);
        // Other threads of the host still run: end without running static destructors under
        // them (hosts that must clean up can register with at_quick_exit).
        fflush(nullptr);
        vistrec::platform::ExitProcessNow(1);
    }
    avcodec_parameters_from_context(st->codecpar, ctx.get());
    st->time_base = ctx->time_base;
    m_videoCodec = std::move(ctx);
    VLOG_INFO("record_width=" << record_width() << "record_height=" << record_height());
    return st;
}

int CH264WindowRecorder::open_video(AVFormatContext*, AVStream* st) {
    if (!m_videoCodec || !st)
        return -1;
    if (avcodec_is_open(m_videoCodec.get()))
        return 0;
    const int ret = avcodec_open2(m_videoCodec.get(), m_videoCodec->codec, nullptr);
    if (ret < 0) {
        VLOG_ERROR("could not open video codec" << ret << AvErrorText(ret));
        return ret;
    }
    avcodec_parameters_from_context(st->codecpar, m_videoCodec.get());
    return 0;
}

CFrameComposer::Result CH264WindowRecorder::ComposeInto(AVFrame* picture) {
    if (!m_composer)
        m_composer = std::make_unique<CFrameComposer>();
    return m_composer->Compose(m_hostWnd, m_scale, picture, &m_overlayText);
}

int CH264WindowRecorder::ComposeGdiFrame(AVFormatContext*, AVStream*) {
    if (!m_videoCodec)
        return -1;
    // The picture takes the open encoder's size, which a later setCaptureRect cannot change.
    if (!m_pPicture &&
        !AllocPicture(m_videoCodec->pix_fmt, m_videoCodec->width, m_videoCodec->height))
        return -1;
    switch (ComposeInto(m_pPicture.get())) {
        case CFrameComposer::Result::kNewFrame:
        case CFrameComposer::Result::kPreviousFrame:
            return 0;
        case CFrameComposer::Result::kMonitorLost:
            return kCaptureLost;
        case CFrameComposer::Result::kFailed:
            break;
    }
    return -1;
}

bool CH264WindowRecorder::AllocPicture(AVPixelFormat format, int w, int h) {
    // A zeroed picture, so that rows the scaler never writes stay defined.
    AVFramePtr pic = MakeZeroedPicture(format, w, h);
    if (!pic)
        return false;
    pic->pts = 0;
    m_pPicture = std::move(pic);
    return true;
}

int CH264WindowRecorder::write_video_frame(AVFormatContext* fc, AVStream* st, int64_t elapsedMs) {
    // Duplication is never in use in this build, so every frame goes through the screen capture.
    const int composed = ComposeGdiFrame(fc, st);
    if (composed < 0)
        return composed == kCaptureLost ? kCaptureLost : -1;
    const int64_t index = m_sync.VideoFrameIndex(elapsedMs);
    m_sync.OnVideoFrame(index);
    return EncodePicture(m_pPicture.get(), index);
}

bool CH264WindowRecorder::StartPipeline() {
    if (!m_videoCodec)
        return false;
    const AVCodecContext* ctx = m_videoCodec.get();
    m_repeats.Start(ctx->gop_size,
                    strcmp(ctx->codec->name, "libx264") == 0 && ctx->max_b_frames == 0);
    if (ctx->extradata)
        m_repeats.TakeHeader(ctx->extradata, static_cast<size_t>(ctx->extradata_size));
    // The pictures take the open encoder's size, which a later setCaptureRect cannot change.
    if (!m_pipeline.Start(ctx->pix_fmt, ctx->width, ctx->height,
                          [this](AVFrame* picture, int64_t index, bool repeat) {
                              return EncodePicture(picture, index, repeat);
                          }))
        return false;
    // One frame is composed and put aside before the recording's clock starts: the first
    // frame's one-off work (the grabber's shared memory, the damage tracker, the kept pictures
    // and their first pages, the font) took over 300 ms at 4K, and the frames due meanwhile
    // were missing from the start of the video.
    if (AVFrame* picture = m_pipeline.Acquire()) {
        ComposeInto(picture);
        m_pipeline.GiveBack(picture);
    }
    return true;
}

int CH264WindowRecorder::QueueVideoFrame(int64_t elapsedMs, bool repeatOnFailure) {
    // The index is taken whether or not the frame goes out: a dropped frame leaves a gap in the
    // time stamps, and the frames after it keep their wall-clock times.
    const int64_t index = m_sync.VideoFrameIndex(elapsedMs);
    m_sync.OnVideoFrame(index);
    m_lastQueuedIndex = index;
    AVFrame* picture = m_pipeline.Acquire();
    if (!picture)
        return m_pipeline.LastResult();
    const CFrameComposer::Result composed = ComposeInto(picture);
    if (composed == CFrameComposer::Result::kNewFrame) {
        m_pipeline.Submit(picture, index);
    } else if (composed == CFrameComposer::Result::kPreviousFrame || repeatOnFailure) {
        m_pipeline.Repeat(picture, index);
    } else {
        m_pipeline.GiveBack(picture);
        return composed == CFrameComposer::Result::kMonitorLost ? kCaptureLost : -1;
    }
    return m_pipeline.LastResult();
}

int CH264WindowRecorder::IdleWaitMs(int64_t elapsed) const {
    // The loops poll: a wake-up every millisecond cost more than a still screen's frames.
    const int64_t rate = m_frameRate > 0 ? m_frameRate : 1;
    const int64_t next = ((m_lastQueuedIndex + 1) * 1000 + rate - 1) / rate;
    return static_cast<int>(std::min<int64_t>(kMaxIdleMs, std::max<int64_t>(1, next - elapsed)));
}

void CH264WindowRecorder::FinishPipeline() {
    const bool ran = m_pipeline.Running();
    m_pipeline.Finish();
    if (ran && (m_repeats.Skipped() > 0 || m_repeats.Replayed() > 0))
        VLOG_INFO("video: " << m_repeats.Skipped() << " repeated frames written as skipped "
                            << "macroblocks, " << m_repeats.Replayed()
                            << " key frames written again");
    // The loop saw the writer's result of a frame or two before the last: the last one is
    // where the video ends.
    if (ran)
        m_sync.OnVideoResult(m_pipeline.LastResult());
}

int CH264WindowRecorder::EncodePicture(AVFrame* picture, int64_t index, bool repeat) {
    if (repeat && !m_draining) {
        switch (m_repeats.MakeRepeat(m_inEncoder == 0, &m_ownBytes)) {
            case h264::CRepeats::Repeat::kSkipped:
                return WriteOwnPicture(m_ownBytes, index, false);
            case h264::CRepeats::Repeat::kKey:
                return WriteOwnPicture(m_ownBytes, index, true);
            case h264::CRepeats::Repeat::kEncoder:
                break;
        }
    }
    picture->pts = m_nextCounter;
    m_ptsMap[picture->pts] = static_cast<int32_t>(index);
    // Asked only of an encoder that holds no picture back: the count of frames is then the
    // count of its packets (an encoder that delays its packets keeps its own key frames).
    m_forceKey = m_inEncoder == 0 && m_repeats.KeyDue();
    const int ret = EncodeStep(m_pFormatCtx, m_pVideoStream, picture);
    m_forceKey = false;
    m_nextCounter = picture->pts;  // one more once the encoder took it
    return ret;
}

int CH264WindowRecorder::WriteOwnPicture(const std::vector<uint8_t>& data, int64_t index,
                                         bool key) {
    AVPacketPtr pkt(av_packet_alloc());
    if (!pkt || av_new_packet(pkt.get(), static_cast<int>(data.size())) < 0)
        return AVERROR(ENOMEM);
    memcpy(pkt->data, data.data(), data.size());
    const AVRational rate = m_videoCodec->time_base;
    pkt->pts = pkt->dts = av_rescale_q(index, rate, m_pVideoStream->time_base);
    pkt->duration = av_rescale_q(1, rate, m_pVideoStream->time_base);
    pkt->flags = key ? AV_PKT_FLAG_KEY : 0;
    pkt->stream_index = m_pVideoStream->index;
    const int ret = WritePacket(m_pFormatCtx, pkt.get());
    if (ret != 0) {
        NoteWriteError(ret, "av_interleaved_write_frame error");
        return ret;
    }
    return static_cast<int>(index * 1000 / m_frameRate);
}

int CH264WindowRecorder::TakeEncoderPacket(AVPacket* pkt) {
    if (!m_repeats.TakeEncoderPacket(pkt->data, static_cast<size_t>(pkt->size), &m_ownBytes))
        return 0;
    // Frame numbers rewritten: the packet gets the new bytes.
    AVBufferRef* buffer = av_buffer_alloc(m_ownBytes.size() + AV_INPUT_BUFFER_PADDING_SIZE);
    if (!buffer)
        return AVERROR(ENOMEM);
    memcpy(buffer->data, m_ownBytes.data(), m_ownBytes.size());
    memset(buffer->data + m_ownBytes.size(), 0, AV_INPUT_BUFFER_PADDING_SIZE);
    av_buffer_unref(&pkt->buf);
    pkt->buf = buffer;
    pkt->data = buffer->data;
    pkt->size = static_cast<int>(m_ownBytes.size());
    return 0;
}

int CH264WindowRecorder::WritePacket(AVFormatContext* fc, AVPacket* pkt) {
    std::lock_guard<std::mutex> lock(m_muxMutex);
    return av_interleaved_write_frame(fc, pkt);
}

int CH264WindowRecorder::EncodeStep(AVFormatContext* fc, AVStream* st, AVFrame* picture) {
    AVCodecContext* ctx = m_videoCodec.get();
    if (!ctx)
        return -1;
    if (!m_packet)
        m_packet.reset(av_packet_alloc());
    AVPacket* pkt = m_packet.get();
    if (!pkt)
        return AVERROR(ENOMEM);

    int ret = 0;
    if (picture) {
        picture->quality = ctx->global_quality;
        // The encoder counts the key-frame distance in its own pictures; pictures written
        // without it count too, so the key frame due may have to be asked for.
        picture->pict_type = m_forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        ret = avcodec_send_frame(ctx, picture);
        if (ret >= 0)
            ++m_inEncoder;
    } else if (!m_draining) {
        m_draining = true;
        ret = avcodec_send_frame(ctx, nullptr);
    }
    bool got = false;
    if (ret >= 0) {
        ret = avcodec_receive_packet(ctx, pkt);
        if (ret >= 0) {
            got = true;
            --m_inEncoder;
            ret = TakeEncoderPacket(pkt);
        } else if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
            ret = 0;  // no packet out of this step
        }
    }
    if (ret < 0) {
        av_packet_unref(pkt);
        if (!m_h264Twin && (ret == AVERROR(EIO) || ret == AVERROR(ENOMEM)))
            return ret;
        return picture ? 0 : -1;
    }

    int64_t key;
    if (picture) {
        m_lastSubmitted = picture->pts;
        picture->pts += 1;
        key = got ? pkt->pts : m_lastSubmitted;
    } else {
        key = m_lastSubmitted;
        m_lastSubmitted += 1;
    }
    int64_t timeMs = key * 1000 / m_frameRate;
    if (!got)
        return -1;

    int64_t index = key;
    const bool mapped = ResolveIndex(&m_ptsMap, key, &index);
    if (mapped)
        timeMs = index * 1000 / m_frameRate;

    if (index != AV_NOPTS_VALUE) {
        pkt->pts = av_rescale_q(index, ctx->time_base, st->time_base);
        pkt->dts = pkt->pts;
    }
    pkt->stream_index = st->index;
    ret = WritePacket(fc, pkt);
    av_packet_unref(pkt);
    if (ret != 0) {
        NoteWriteError(ret, "av_interleaved_write_frame error");
        return ret;
    }
    return static_cast<int>(timeMs);
}

namespace {
constexpr int64_t kPtsMapReach = 64;  // pictures kept behind the newest packet
}  // namespace

bool CH264WindowRecorder::ResolveIndex(std::map<int64_t, int32_t>* ptsMap, int64_t key,
                                       int64_t* index) {
    auto it = ptsMap->find(key);
    if (it != ptsMap->end()) {
        *index = it->second;
        // An encoder hands packets back at most a few pictures out of order: older pictures
        // are done with, and an hour's map would otherwise hold every frame of the hour.
        ptsMap->erase(ptsMap->begin(), ptsMap->lower_bound(key - kPtsMapReach));
        return true;
    }
    // A packet past the last mapped picture (drain) follows its predecessor by one frame.
    auto prev = ptsMap->find(static_cast<int32_t>(key - 1));
    if (prev != ptsMap->end()) {
        *index = prev->second + 1;
        (*ptsMap)[key] = static_cast<int32_t>(*index);
        return true;
    }
    *index = key;
    return false;
}

void CH264WindowRecorder::TeardownVideo() {
    m_pipeline.Finish();
    m_pPicture.reset();
    m_packet.reset();
    m_videoCodec.reset();
    m_pVideoStream = nullptr;
    m_pFormatCtx = nullptr;
    m_formatOwner.reset();
    m_composer.reset();
    m_draining = false;
    m_inEncoder = 0;
    m_lastQueuedIndex = -1;
    m_forceKey = false;
    m_repeats = h264::CRepeats{};
    m_lastSubmitted = 0;
    m_nextCounter = 0;
    m_writeError = 0;
    m_outputCheckedMs = 0;
    m_ptsMap.clear();
}

int CH264WindowRecorder::SetUpVideoOutput() {
    // The recording keeps the path it started with: a later setFileName is for the next one.
    m_outputPath = m_fileName;
    const AVOutputFormat* fmt = av_guess_format(nullptr, m_outputPath.c_str(), nullptr);
    if (!fmt) {
        VLOG_ERROR("no container for the file name \"" << m_outputPath << "\": nothing recorded");
        return -1;
    }
    for (const char* name : kEncoderNames) {
        AVFormatOutputPtr fc(avformat_alloc_context());
        if (!fc)
            return -1;
        fc->oformat = fmt;
        AVStream* st = nullptr;
        if (fmt->video_codec != AV_CODEC_ID_NONE)
            st = add_video_stream(fc.get(), fmt->video_codec, name);
        if (st) {
            m_formatOwner = std::move(fc);
            m_pFormatCtx = m_formatOwner.get();
            m_pVideoStream = st;
            return 0;
        }
    }
    // No candidate gave a stream: nothing to record into.
    return -1;
}

int CH264WindowRecorder::OpenOutputFile() {
    AVFormatContext* fc = m_pFormatCtx;
    if (!(fc->oformat->flags & AVFMT_NOFILE)) {
        const int ret = avio_open(&fc->pb, m_outputPath.c_str(), AVIO_FLAG_WRITE);
        if (ret < 0) {
            fprintf(stderr, "Could not open '%s'\n", m_outputPath.c_str());
            NoteWriteError(ret, "Could not open the output file ");
            return -1;
        }
    }
    // Crash-safe: an MP4 is written in fragments while recording and rewritten at the end.
    AVDictionary* options = nullptr;
    const bool crashSafe = GetConfigCrashSafe();
    if (crashSafe)
        crashsafe::AddFragmentOptions(&options);
    const int ret = avformat_write_header(fc, &options);
    m_fragmented = crashSafe && crashsafe::FragmentOptionsTaken(options);
    av_dict_free(&options);
    if (m_fragmented) {
        crashsafe::RemoveLeftover(m_outputPath);
        m_syncer.Start(m_outputPath);
    }
    if (ret < 0) {
        NoteWriteError(ret, "avformat_write_header failed ");
        return -1;
    }
    return 0;
}

void CH264WindowRecorder::NoteWriteError(int error, const char* what) {
    // Both threads of a recording write packets: the first error stays.
    int none = 0;
    if (error >= 0 || !m_writeError.compare_exchange_strong(none, error))
        return;
    VLOG_ERROR(what << error << " " << AvErrorText(error) << ": the recording ends");
}

int CH264WindowRecorder::DrainVideo(int lastVideoMs) {
    int videoEnd = lastVideoMs;
    if (m_writeError != 0)
        return videoEnd;
    for (;;) {
        const int r = EncodeStep(m_pFormatCtx, m_pVideoStream, nullptr);
        if (r < 0)
            break;
        if (r > 0)
            videoEnd = r;
    }
    return videoEnd;
}

void CH264WindowRecorder::WriteTrailer() {
    m_syncer.Stop();
    // After an output error the trailer is still attempted: an error that left the file
    // writable (a refused packet) still gives a complete file. A full disk leaves the media
    // written so far without the index that MP4 keeps at the end.
    const int ret = av_write_trailer(m_pFormatCtx);
    if (ret < 0)
        NoteWriteError(ret, "av_write_trailer failed ");
    if (m_writeError != 0) {
        // The fragments written before the error play; a rewrite would need the space or the
        // folder that just failed.
        vistrec::platform::PostHostNotification(m_writeError);
        return;
    }
    if (!m_fragmented)
        return;
    std::vector<int> leadSamples;
    for (unsigned i = 0; i < m_pFormatCtx->nb_streams; ++i)
        leadSamples.push_back(m_pFormatCtx->streams[i]->codecpar->initial_padding);
    // The file is complete and closed before it is read back.
    const int closed = avio_closep(&m_pFormatCtx->pb);
    if (closed < 0) {
        NoteWriteError(closed, "closing the output failed ");
        vistrec::platform::PostHostNotification(m_writeError);
        return;
    }
    crashsafe::FinishFragmentedMp4(m_outputPath, leadSamples);
}

void CH264WindowRecorder::CheckOutputStillThere(int64_t elapsedMs) {
    if (elapsedMs - m_outputCheckedMs < 1000 || !m_pFormatCtx ||
        (m_pFormatCtx->oformat->flags & AVFMT_NOFILE))
        return;
    m_outputCheckedMs = elapsedMs;
    // Only a path that no longer leads anywhere counts: an output whose protocol cannot be
    // checked is not an error.
    const int ret = avio_check(m_outputPath.c_str(), 0);
    if (ret == AVERROR(ENOENT) || ret == AVERROR(ENOTDIR))
        NoteWriteError(ret, "output file gone: ");
}

int CH264WindowRecorder::record_h264(ICadmo2Mp4Video_Sink* sink, IDSoundRecorder*, bool) {
    m_h264Twin = true;
    TeardownVideo();
    if (SetUpVideoOutput() < 0 || OpenOutputFile() < 0) {
        if (m_writeError != 0)
            vistrec::platform::PostHostNotification(m_writeError);
        TeardownVideo();
        return -1;
    }
    open_video(m_pFormatCtx, m_pVideoStream);
    // Frames follow the wall-clock index as in the MP4 loop rather than a count of frames
    // written: counting ran the file 1 % long at 30 fps (a frame every 33 ms, an index every
    // 33.3 ms) and, after a slow capture, ahead of the clock by the frames made up back to back.
    m_sync.Start(m_frameRate, true, 0, 0, 0);
    if (!StartPipeline())
        VLOG_ERROR("no pictures for the video encoder: nothing is recorded");
    else if (!sink->isStopped()) {
        do {
            if (sink->isPaused()) {
                SleepMs(100);
                continue;
            }
            const int64_t elapsed = m_sync.Elapsed(m_pausedMs);
            if (!m_sync.VideoFrameDue(elapsed)) {
                SleepMs(IdleWaitMs(elapsed));
                continue;
            }
            QueueVideoFrame(elapsed, true);  // a failed capture encodes the previous picture again
            CheckOutputStillThere(elapsed);
            if (m_writeError != 0)
                break;
            sink->onTick();
        } while (!sink->isStopped());
    }
    FinishPipeline();
    DrainVideo(0);
    WriteTrailer();
    TeardownVideo();
    return 0;
}
