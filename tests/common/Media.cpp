#include "Media.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <random>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace vistrec {
namespace test {

std::vector<float> Sine(int rate, double seconds, double frequency, double amplitude) {
    std::vector<float> out(static_cast<size_t>(seconds * rate));
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<float>(amplitude * sin(2.0 * M_PI * frequency * i / rate));
    return out;
}

std::vector<float> KeyedSine(int rate, double seconds, double frequency, double amplitude, int onMs,
                             int offMs) {
    std::vector<float> out = Sine(rate, seconds, frequency, amplitude);
    const double period = (onMs + offMs) / 1000.0, on = onMs / 1000.0;
    for (size_t i = 0; i < out.size(); ++i) {
        const double t = fmod(static_cast<double>(i) / rate, period);
        out[i] *= static_cast<float>(t < on ? std::min(1.0, std::min(t, on - t) / 0.005) : 0.0);
    }
    return out;
}

std::vector<float> SteppedSines(int rate, const std::vector<double>& frequencies,
                                double stepSeconds, double amplitude) {
    std::vector<float> out;
    double phase = 0.0;
    for (double f : frequencies)
        for (int i = 0; i < static_cast<int>(stepSeconds * rate); ++i) {
            out.push_back(static_cast<float>(amplitude * sin(phase)));
            phase = fmod(phase + 2.0 * M_PI * f / rate, 2.0 * M_PI);
        }
    return out;
}

void AddWhiteNoise(std::vector<float>* signal, double rms, unsigned seed) {
    std::mt19937 generator(seed);
    std::normal_distribution<double> normal(0.0, rms);
    for (float& s : *signal)
        s = static_cast<float>(s + normal(generator));
}

std::vector<int16_t> Pcm16(const std::vector<float>& mono, int channels) {
    std::vector<int16_t> out;
    out.reserve(mono.size() * channels);
    for (float s : mono) {
        const double v = std::max(-1.0, std::min(1.0, static_cast<double>(s))) * kFullScale;
        out.insert(out.end(), channels, static_cast<int16_t>(lrint(v)));
    }
    return out;
}

bool WriteWav(const std::string& path, int rate, int channels, const std::vector<float>& mono) {
    const std::vector<int16_t> pcm = Pcm16(mono, channels);
    std::string head;
    auto le = [&](uint32_t v, int bytes) {  // little-endian, as the format wants
        for (int i = 0; i < bytes; ++i)
            head += static_cast<char>(v >> (8 * i));
    };
    const uint32_t size = static_cast<uint32_t>(pcm.size() * 2);
    head = "RIFF", le(36 + size, 4), head += "WAVEfmt ", le(16, 4), le(1, 2), le(channels, 2);
    le(rate, 4), le(rate * channels * 2, 4), le(channels * 2, 2), le(16, 2);
    head += "data", le(size, 4);
    std::ofstream out(path, std::ios::binary);
    out << head;
    out.write(reinterpret_cast<const char*>(pcm.data()), size);
    return static_cast<bool>(out);
}

double ToneAmplitude(const int16_t* samples, size_t n, double frequency, double rate) {
    if (n == 0)
        return 0.0;
    const double coeff = 2.0 * cos(2.0 * M_PI * frequency / rate);
    double s1 = 0.0, s2 = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double s0 = samples[i] + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return 2.0 * sqrt(std::max(0.0, s1 * s1 + s2 * s2 - coeff * s1 * s2)) / static_cast<double>(n);
}

namespace {

std::string AvError(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(err, buf, sizeof buf);
    return buf;
}

// Opens a file and decodes its best stream of `type`: onOpen sees the input and the stream,
// onPacket every packet of it, onFrame every decoded frame with its time in seconds.
std::string Decode(const std::string& path, AVMediaType type,
                   const std::function<void(AVFormatContext*, AVStream*, const AVCodec*)>& onOpen,
                   const std::function<void(const AVPacket&)>& onPacket,
                   const std::function<void(AVFrame*, double)>& onFrame) {
    AVFormatContext* raw = nullptr;
    int rc = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (rc < 0)
        return "cannot open " + path + ": " + AvError(rc);
    AVFormatInputPtr input(raw);
    if ((rc = avformat_find_stream_info(input.get(), nullptr)) < 0)
        return "no stream information: " + AvError(rc);
    const AVCodec* decoder = nullptr;
    const int index = av_find_best_stream(input.get(), type, -1, -1, &decoder, 0);
    if (index < 0 || !decoder)
        return "no decodable stream";
    AVStream* stream = input->streams[index];
    onOpen(input.get(), stream, decoder);
    AVCodecContextPtr codec(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), stream->codecpar) < 0)
        return "cannot set up the decoder";
    codec->thread_count = 1;
    codec->pkt_timebase = stream->time_base;
    if ((rc = avcodec_open2(codec.get(), decoder, nullptr)) < 0)
        return "cannot open the decoder: " + AvError(rc);
    AVPacketPtr packet(av_packet_alloc());
    AVFramePtr frame(av_frame_alloc());
    auto drain = [&] {
        while (avcodec_receive_frame(codec.get(), frame.get()) == 0) {
            int64_t ts = frame->best_effort_timestamp;
            ts = ts != AV_NOPTS_VALUE ? ts : frame->pts;
            onFrame(frame.get(), ts == AV_NOPTS_VALUE ? 0.0 : ts * av_q2d(stream->time_base));
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == index) {
            onPacket(*packet);
            avcodec_send_packet(codec.get(), packet.get());
            drain();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(codec.get(), nullptr);
    drain();
    return "";
}

}  // namespace

AudioTrack DecodeAudio(const std::string& path) {
    AudioTrack a;
    SwrContextPtr swr;  // made for the first frame
    int64_t expected = AV_NOPTS_VALUE;
    a.error = Decode(
        path, AVMEDIA_TYPE_AUDIO,
        [&](AVFormatContext*, AVStream* s, const AVCodec* decoder) {
            a.codec = decoder->name;
            a.sampleRate = s->codecpar->sample_rate;
            a.channels = s->codecpar->ch_layout.nb_channels;
            if (s->duration != AV_NOPTS_VALUE && s->duration > 0)
                a.duration = s->duration * av_q2d(s->time_base);
        },
        [&](const AVPacket& p) {
            a.discontinuities += expected != AV_NOPTS_VALUE && p.pts != expected;
            expected = p.pts + p.duration;
            ++a.packets;
        },
        [&](AVFrame* f, double pts) {
            if (!swr) {
                AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
                SwrContext* s = nullptr;
                swr_alloc_set_opts2(&s, &mono, AV_SAMPLE_FMT_S16, kTrackRate, &f->ch_layout,
                                    static_cast<AVSampleFormat>(f->format), f->sample_rate, 0,
                                    nullptr);
                swr.reset(s);
                swr_init(s);
                a.pcmStart = pts;
            }
            std::vector<int16_t> out(
                static_cast<size_t>(swr_get_out_samples(swr.get(), f->nb_samples)));
            uint8_t* dst[1] = {reinterpret_cast<uint8_t*>(out.data())};
            const int got =
                swr_convert(swr.get(), dst, static_cast<int>(out.size()),
                            const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
            a.pcm.insert(a.pcm.end(), out.begin(), out.begin() + std::max(0, got));
        });
    return a;
}

namespace {
// The samples [*first, *first + *count) of [t, t + length) of file time; false when none.
bool Range(const AudioTrack& a, double t, double length, size_t* first, size_t* count) {
    const double from = std::max(t, a.pcmStart), to = std::min(t + length, a.pcmEnd());
    *first = static_cast<size_t>(llround((from - a.pcmStart) * kTrackRate));
    const size_t end = std::min(
        a.pcm.size(), static_cast<size_t>(llround(std::max(0.0, to - a.pcmStart) * kTrackRate)));
    *count = end > *first ? end - *first : 0;
    return to > from && *count > 0;
}
}  // namespace

double AudioTrack::Tone(double t, double length, double frequency) const {
    size_t first, count;
    return Range(*this, t, length, &first, &count)
               ? ToneAmplitude(pcm.data() + first, count, frequency, kTrackRate) / kFullScale
               : 0.0;
}

double AudioTrack::Rms(double t, double length) const {
    size_t first, count;
    if (!Range(*this, t, length, &first, &count))
        return 0.0;
    const auto* p = pcm.data() + first;
    return sqrt(std::inner_product(p, p + count, p, 0.0) / count) / kFullScale;
}

bool DecodeVideo(const std::string& path, MediaInfo* info,
                 const std::function<void(const AVFrame&, double)>& onFrame, std::string* error) {
    *info = MediaInfo();
    *error = Decode(
        path, AVMEDIA_TYPE_VIDEO,
        [&](AVFormatContext* input, AVStream* s, const AVCodec* decoder) {
            info->streams = static_cast<int>(input->nb_streams);
            for (unsigned i = 0; i < input->nb_streams; ++i) {
                const AVMediaType type = input->streams[i]->codecpar->codec_type;
                info->videoStreams += type == AVMEDIA_TYPE_VIDEO;
                info->audioStreams += type == AVMEDIA_TYPE_AUDIO;
            }
            if (input->duration != AV_NOPTS_VALUE && input->duration > 0)
                info->formatDuration = input->duration / static_cast<double>(AV_TIME_BASE);
            info->videoCodec = decoder->name;
            info->width = s->codecpar->width;
            info->height = s->codecpar->height;
            info->frameRate = av_q2d(s->r_frame_rate);
            if (s->duration != AV_NOPTS_VALUE && s->duration > 0)
                info->videoDuration = s->duration * av_q2d(s->time_base);
        },
        [](const AVPacket&) {},
        [&](AVFrame* f, double pts) {  // the recorder's and our files are YUV 4:2:0
            ++info->decodedFrames;
            onFrame(*f, pts);
        });
    return error->empty();
}

MediaInfo ProbeVideo(const std::string& path, std::string* error) {
    MediaInfo info;
    std::string ignored;
    DecodeVideo(
        path, &info, [](const AVFrame&, double) {}, error ? error : &ignored);
    return info;
}

double VideoTrack::MaxGap() const {
    double gap = 0.0;
    for (size_t i = 1; i < pts.size(); ++i)
        gap = std::max(gap, pts[i] - pts[i - 1]);
    return gap;
}

double VideoTrack::WallAtZero(int64_t sceneStartMs, int sceneFps) const {
    std::vector<double> offsets;
    for (size_t i = 0; i < pts.size(); ++i)
        if (counters[i] >= 0)
            offsets.push_back(static_cast<double>(counters[i]) / sceneFps - pts[i]);
    if (offsets.empty())
        return -1.0;
    std::nth_element(offsets.begin(), offsets.begin() + offsets.size() / 2, offsets.end());
    // Each frame taken as grabbed in the middle of its counter's interval.
    return sceneStartMs + (offsets[offsets.size() / 2] + 0.5 / sceneFps) * 1000.0;
}

VideoTrack DecodeVideoTrack(const std::string& path) {
    VideoTrack v;
    DecodeVideo(
        path, &v.info,
        [&](const AVFrame& frame, double pts) {
            const bool fits = frame.width == 1920 && frame.height == 1080;
            uint32_t counter = 0;
            v.pts.push_back(pts);
            v.counters.push_back(fits && ReadFrameCounter(frame, {}, 1920, 1080, &counter)
                                     ? static_cast<int64_t>(counter)
                                     : -1);
            const testscene::ImageView luma{frame.data[0], frame.width, frame.height,
                                            frame.linesize[0], 1};
            v.flashLuma.push_back(fits ? testscene::MeanLuma(luma, {}, testscene::kFlashRect)
                                       : -1.0);
        },
        &v.error);
    return v;
}

Bgra Crop(const Bgra& source, const testscene::Rect& r) {
    Bgra out{r.w, r.h, std::vector<uint8_t>(static_cast<size_t>(r.w) * r.h * 4)};
    for (int y = 0; y < r.h; ++y)
        memcpy(out.Row(y), source.Row(r.y + y) + static_cast<size_t>(r.x) * 4, r.w * 4u);
    return out;
}

namespace {
// Scales a BGRA picture into `dst` (planes and strides of its format) with bicubic filtering.
void Scale(const Bgra& s, int w, int h, AVPixelFormat format, uint8_t* const* dst,
           const int* dstStride) {
    SwsContextPtr sws(sws_getContext(s.width, s.height, AV_PIX_FMT_BGRA, w, h, format, SWS_BICUBIC,
                                     nullptr, nullptr, nullptr));
    const uint8_t* src[4] = {s.pixels.data(), nullptr, nullptr, nullptr};
    const int srcStride[4] = {s.width * 4, 0, 0, 0};
    sws_scale(sws.get(), src, srcStride, 0, s.height, dst, dstStride);
}
}  // namespace

Bgra ScaleBgra(const Bgra& source, int w, int h) {
    if (w == source.width && h == source.height)
        return source;
    Bgra out{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 4)};
    uint8_t* dst[4] = {out.pixels.data(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {w * 4, 0, 0, 0};
    Scale(source, w, h, AV_PIX_FMT_BGRA, dst, dstStride);
    return out;
}

FramePtr ToYuv420(const Bgra& source, int w, int h) {
    FramePtr out(av_frame_alloc());
    out->format = AV_PIX_FMT_YUV420P, out->width = w, out->height = h;
    av_frame_get_buffer(out.get(), 0);
    Scale(source, w, h, AV_PIX_FMT_YUV420P, out->data, out->linesize);
    return out;
}

double LumaPsnr(const AVFrame& a, const AVFrame& b, testscene::Rect area) {
    if (area.w == 0)
        area = testscene::Rect{0, 0, a.width, a.height};
    area.w = std::min(area.w, std::min(a.width, b.width) - area.x);
    area.h = std::min(area.h, std::min(a.height, b.height) - area.y);
    double sum = 0.0;
    for (int y = area.y; y < area.y + area.h; ++y)
        for (int x = area.x; x < area.x + area.w; ++x) {
            const double d = a.data[0][y * a.linesize[0] + x] - b.data[0][y * b.linesize[0] + x];
            sum += d * d;
        }
    const double mse = sum / std::max(1, area.w * area.h);
    return mse < 1e-10 ? 99.0 : 10.0 * log10(255.0 * 255.0 / mse);
}

bool ReadFrameCounter(const AVFrame& yuv, const testscene::ScreenToImage& map, int screenW,
                      int screenH, uint32_t* counter) {
    const testscene::ImageView luma{yuv.data[0], yuv.width, yuv.height, yuv.linesize[0], 1};
    for (const auto& mark : testscene::MarkRects(screenW, screenH))
        if (testscene::ReadCounter(luma, map, mark.x, mark.y, counter))
            return true;
    return false;
}

}  // namespace test
}  // namespace vistrec
