#include "SoundAnalysis.h"

#include "support/FFmpegPtr.h"
#include "PulseFixture.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <random>
#include <sstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "SceneRender.h"
#include "audio/ToneAnalysis.h"

namespace soundrec {

namespace {

std::string AvError(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(err, buf, sizeof buf);
    return buf;
}

// Edge ramp of the keyed sine: 5 ms.
constexpr double kRampSeconds = 0.005;

}  // namespace

// ---- test signals --------------------------------------------------------------------------

std::vector<float> Sine(int rate, double seconds, double frequency, double amplitude) {
    const size_t n = static_cast<size_t>(seconds * rate);
    std::vector<float> out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<float>(amplitude * sin(2.0 * M_PI * frequency * i / rate));
    return out;
}

std::vector<float> KeyedSine(int rate, double seconds, double frequency, double amplitude, int onMs,
                             int offMs) {
    std::vector<float> out = Sine(rate, seconds, frequency, amplitude);
    const double period = (onMs + offMs) / 1000.0;
    const double on = onMs / 1000.0;
    for (size_t i = 0; i < out.size(); ++i) {
        const double t = fmod(static_cast<double>(i) / rate, period);
        double gain = 0.0;
        if (t < on)
            gain = std::min(1.0, std::min(t, on - t) / kRampSeconds);
        out[i] = static_cast<float>(out[i] * gain);
    }
    return out;
}

std::vector<float> SteppedSines(int rate, const std::vector<double>& frequencies,
                                double stepSeconds, double amplitude) {
    const size_t perStep = static_cast<size_t>(stepSeconds * rate);
    std::vector<float> out;
    out.reserve(perStep * frequencies.size());
    double phase = 0.0;
    for (double f : frequencies) {
        for (size_t i = 0; i < perStep; ++i) {
            out.push_back(static_cast<float>(amplitude * sin(phase)));
            phase = fmod(phase + 2.0 * M_PI * f / rate, 2.0 * M_PI);
        }
    }
    return out;
}

void AddWhiteNoise(std::vector<float>* signal, double rms, unsigned seed) {
    std::mt19937 generator(seed);
    std::normal_distribution<double> normal(0.0, rms);
    for (float& s : *signal)
        s = static_cast<float>(s + normal(generator));
}

bool WriteWav(const std::string& path, int rate, int channels, const std::vector<float>& mono) {
    return vistrec::test::WriteSamplesWav(path, rate, channels, mono);
}

// ---- the audio track -----------------------------------------------------------------------

namespace {

// The sample range [first, first + count) of [t, t + length) of file time, clipped to the track.
bool Range(const AudioTrack& a, double t, double length, size_t* first, size_t* count) {
    const double from = std::max(t, a.pcmStart);
    const double to = std::min(t + length, a.pcmEnd());
    if (to <= from)
        return false;
    *first = static_cast<size_t>(llround((from - a.pcmStart) * kTrackRate));
    const size_t end =
        std::min(a.pcm.size(), static_cast<size_t>(llround((to - a.pcmStart) * kTrackRate)));
    if (end <= *first)
        return false;
    *count = end - *first;
    return true;
}

}  // namespace

double AudioTrack::Tone(double t, double length, double frequency) const {
    size_t first = 0, count = 0;
    if (!Range(*this, t, length, &first, &count))
        return 0.0;
    return vistrec::test::ToneAmplitude(pcm.data() + first, count, frequency, kTrackRate) /
           kFullScale;
}

double AudioTrack::Rms(double t, double length) const {
    size_t first = 0, count = 0;
    if (!Range(*this, t, length, &first, &count))
        return 0.0;
    double sum = 0.0;
    for (size_t i = first; i < first + count; ++i)
        sum += static_cast<double>(pcm[i]) * pcm[i];
    return sqrt(sum / count) / kFullScale;
}

int AudioTrack::Peak(double t, double length) const {
    size_t first = 0, count = 0;
    if (!Range(*this, t, length, &first, &count))
        return 0;
    int peak = 0;
    for (size_t i = first; i < first + count; ++i)
        peak = std::max(peak, std::abs(static_cast<int>(pcm[i])));
    return peak;
}

std::vector<Dropout> FindDropouts(const AudioTrack& a, double from, double to) {
    constexpr double kBlock = 0.008;
    std::vector<double> rms;
    for (double t = from; t + kBlock <= to; t += kBlock)
        rms.push_back(a.Rms(t, kBlock));
    std::vector<Dropout> found;
    if (rms.empty())
        return found;
    std::vector<double> sorted = rms;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double limit = sorted[sorted.size() / 2] / 4.0;
    bool inside = false;
    for (size_t i = 0; i < rms.size(); ++i) {
        if (rms[i] >= limit) {
            inside = false;
            continue;
        }
        if (!inside)
            found.push_back(Dropout{from + i * kBlock, 0.0});
        found.back().length += kBlock;
        inside = true;
    }
    return found;
}

AudioTrack DecodeAudio(const std::string& path) {
    AudioTrack a;
    AVFormatContext* raw = nullptr;
    int rc = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (rc < 0) {
        a.error = "cannot open " + path + ": " + AvError(rc);
        return a;
    }
    AVFormatInputPtr input(raw);
    rc = avformat_find_stream_info(input.get(), nullptr);
    if (rc < 0) {
        a.error = "no stream information: " + AvError(rc);
        return a;
    }
    const AVCodec* decoder = nullptr;
    const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (index < 0 || !decoder) {
        a.error = "no decodable audio stream";
        return a;
    }
    AVStream* stream = input->streams[index];
    const AVRational tb = stream->time_base;
    a.codec = decoder->name;
    a.sampleRate = stream->codecpar->sample_rate;
    a.channels = stream->codecpar->ch_layout.nb_channels;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
        a.duration = stream->duration * av_q2d(tb);

    AVCodecContextPtr codec(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), stream->codecpar) < 0) {
        a.error = "cannot set up the decoder";
        return a;
    }
    codec->pkt_timebase = tb;
    rc = avcodec_open2(codec.get(), decoder, nullptr);
    if (rc < 0) {
        a.error = "cannot open the decoder: " + AvError(rc);
        return a;
    }

    AVPacketPtr packet(av_packet_alloc());
    std::unique_ptr<AVFrame, it::FrameDeleter> frame(av_frame_alloc());
    SwrContextPtr swr;
    bool first = true;
    std::vector<int16_t> converted;

    auto convert = [&](const uint8_t** data, int samples) -> bool {
        const int capacity = swr_get_out_samples(swr.get(), samples);
        if (capacity <= 0)
            return true;
        converted.resize(static_cast<size_t>(capacity));
        uint8_t* out[1] = {reinterpret_cast<uint8_t*>(converted.data())};
        const int got = swr_convert(swr.get(), out, capacity, data, samples);
        if (got < 0) {
            a.error = "swr_convert: " + AvError(got);
            return false;
        }
        a.pcm.insert(a.pcm.end(), converted.begin(), converted.begin() + got);
        return true;
    };
    auto drain = [&]() -> bool {
        while (avcodec_receive_frame(codec.get(), frame.get()) == 0) {
            if (!swr) {
                AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
                SwrContext* s = nullptr;
                if (swr_alloc_set_opts2(&s, &mono, AV_SAMPLE_FMT_S16, kTrackRate, &frame->ch_layout,
                                        static_cast<AVSampleFormat>(frame->format),
                                        frame->sample_rate, 0, nullptr) < 0 ||
                    !s || swr_init(s) < 0) {
                    swr_free(&s);
                    a.error = "cannot set up the resampler";
                    return false;
                }
                swr.reset(s);
            }
            if (first) {
                const int64_t ts = frame->best_effort_timestamp != AV_NOPTS_VALUE
                                       ? frame->best_effort_timestamp
                                       : frame->pts;
                a.pcmStart = ts == AV_NOPTS_VALUE ? 0.0 : ts * av_q2d(tb);
                first = false;
            }
            if (!convert(const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples))
                return false;
            av_frame_unref(frame.get());
        }
        return true;
    };

    bool havePrevious = false;
    int64_t expected = 0;
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == index) {
            if (havePrevious && packet->pts != expected)
                ++a.discontinuities;
            if (!havePrevious)
                a.firstPacketSeconds = packet->pts * av_q2d(tb);
            expected = packet->pts + packet->duration;
            a.endSeconds = expected * av_q2d(tb);
            havePrevious = true;
            ++a.packets;
            avcodec_send_packet(codec.get(), packet.get());
            if (!drain())
                return a;
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(codec.get(), nullptr);
    if (!drain())
        return a;
    if (swr)
        convert(nullptr, 0);
    return a;
}

// ---- the video track -----------------------------------------------------------------------

double VideoTrack::MaxGap() const {
    double gap = 0.0;
    for (size_t i = 1; i < pts.size(); ++i)
        gap = std::max(gap, pts[i] - pts[i - 1]);
    return gap;
}

int VideoTrack::ReadableCounters() const {
    return static_cast<int>(
        std::count_if(counters.begin(), counters.end(), [](int64_t c) { return c >= 0; }));
}

double VideoTrack::WallAtZero(int64_t sceneStartMs, int sceneFps) const {
    std::vector<double> offsets;
    for (size_t i = 0; i < pts.size(); ++i) {
        if (counters[i] >= 0)
            offsets.push_back(static_cast<double>(counters[i]) / sceneFps - pts[i]);
    }
    if (offsets.empty())
        return -1.0;
    std::sort(offsets.begin(), offsets.end());
    const double median = offsets[offsets.size() / 2];
    return static_cast<double>(sceneStartMs) + (median + 0.5 / sceneFps) * 1000.0;
}

VideoTrack DecodeVideoTrack(const std::string& path) {
    VideoTrack v;
    const testscene::ScreenToImage identity;
    it::DecodeVideo(
        path, &v.info,
        [&](const AVFrame& frame, double pts) {
            v.pts.push_back(pts);
            uint32_t counter = 0;
            const bool fits = frame.width == kScreenW && frame.height == kScreenH;
            v.counters.push_back(
                fits && it::ReadFrameCounter(frame, identity, kScreenW, kScreenH, &counter)
                    ? static_cast<int64_t>(counter)
                    : -1);
            testscene::ImageView luma;
            luma.data = frame.data[0];
            luma.width = frame.width;
            luma.height = frame.height;
            luma.stride = frame.linesize[0];
            luma.bytesPerPixel = 1;
            v.flashLuma.push_back(fits ? testscene::MeanLuma(luma, identity, testscene::kFlashRect)
                                       : -1.0);
        },
        &v.error);
    return v;
}

// ---- the sound server's record streams -----------------------------------------------------

std::vector<RecordStream> ParseSourceOutputs(const std::string& pactlList) {
    std::vector<RecordStream> streams;
    std::istringstream in(pactlList);
    std::string line;
    while (std::getline(in, line)) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos)
            continue;
        const std::string text = line.substr(start);
        if (text.compare(0, 15, "Source Output #") == 0) {
            RecordStream s;
            s.index = atoi(text.c_str() + 15);
            streams.push_back(s);
        } else if (streams.empty()) {
            continue;
        } else if (text.compare(0, 8, "Source: ") == 0) {
            streams.back().source = atoi(text.c_str() + 8);
        } else if (text.compare(0, 14, "media.name = \"") == 0) {
            const std::string value = text.substr(14);
            streams.back().mediaName = value.substr(0, value.rfind('"'));
        }
    }
    return streams;
}

int SourceIndex(const std::string& pactlShortSources, const std::string& name) {
    std::istringstream in(pactlShortSources);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string index, sourceName;
        if (std::getline(fields, index, '\t') && std::getline(fields, sourceName, '\t') &&
            sourceName == name)
            return atoi(index.c_str());
    }
    return -1;
}

}  // namespace soundrec
