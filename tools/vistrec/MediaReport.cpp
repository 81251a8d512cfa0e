#include "MediaReport.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/error.h>
}

namespace vistrec_cli {
namespace {

struct InputCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;

struct PacketFreer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;

std::string ErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, text, sizeof text);
    return text;
}

std::string KindName(AVMediaType type) {
    switch (type) {
        case AVMEDIA_TYPE_VIDEO:
            return "video";
        case AVMEDIA_TYPE_AUDIO:
            return "audio";
        case AVMEDIA_TYPE_SUBTITLE:
            return "subtitle";
        case AVMEDIA_TYPE_DATA:
            return "data";
        default:
            return "other";
    }
}

// First time stamp and end of the last packet of one stream, in its time base.
struct Span {
    int64_t first = std::numeric_limits<int64_t>::max();
    int64_t end = std::numeric_limits<int64_t>::min();
};

}  // namespace

MediaReport ReadMediaReport(const std::string& path) {
    MediaReport report;
    AVFormatContext* raw = nullptr;
    int rc = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (rc < 0) {
        report.error = "cannot open: " + ErrorText(rc);
        return report;
    }
    InputPtr input(raw);
    rc = avformat_find_stream_info(input.get(), nullptr);
    if (rc < 0) {
        report.error = "cannot read stream information: " + ErrorText(rc);
        return report;
    }
    report.container = input->iformat->name;

    std::vector<Span> spans(input->nb_streams);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters* par = input->streams[i]->codecpar;
        StreamReport stream;
        stream.kind = KindName(par->codec_type);
        stream.codec = avcodec_get_name(par->codec_id);
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            stream.width = par->width;
            stream.height = par->height;
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            stream.sampleRate = par->sample_rate;
            stream.channels = par->ch_layout.nb_channels;
        }
        report.streams.push_back(stream);
    }

    PacketPtr packet(av_packet_alloc());
    if (!packet) {
        report.error = "out of memory";
        return report;
    }
    while ((rc = av_read_frame(input.get(), packet.get())) >= 0) {
        unsigned index = static_cast<unsigned>(packet->stream_index);
        if (index < spans.size()) {
            ++report.streams[index].packets;
            int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            if (ts != AV_NOPTS_VALUE) {
                spans[index].first = std::min(spans[index].first, ts);
                spans[index].end = std::max(spans[index].end, ts + packet->duration);
            }
        }
        av_packet_unref(packet.get());
    }
    if (rc != AVERROR_EOF) {
        report.error = "read error: " + ErrorText(rc);
    }
    for (unsigned i = 0; i < spans.size(); ++i) {
        if (spans[i].end > spans[i].first) {
            report.streams[i].durationSeconds = static_cast<double>(spans[i].end - spans[i].first) *
                                                av_q2d(input->streams[i]->time_base);
        }
    }
    return report;
}

std::string DescribeStream(const StreamReport& stream) {
    char text[256];
    if (stream.kind == "video") {
        double fps = stream.durationSeconds > 0 ? stream.packets / stream.durationSeconds : 0;
        std::snprintf(text, sizeof text, "video: %s %dx%d, %lld frames, %.3f s (%.1f fps)",
                      stream.codec.c_str(), stream.width, stream.height,
                      static_cast<long long>(stream.packets), stream.durationSeconds, fps);
    } else if (stream.kind == "audio") {
        std::snprintf(text, sizeof text, "audio: %s %d Hz, %d channel%s, %lld packets, %.3f s",
                      stream.codec.c_str(), stream.sampleRate, stream.channels,
                      stream.channels == 1 ? "" : "s", static_cast<long long>(stream.packets),
                      stream.durationSeconds);
    } else {
        std::snprintf(text, sizeof text, "%s: %s, %lld packets, %.3f s", stream.kind.c_str(),
                      stream.codec.c_str(), static_cast<long long>(stream.packets),
                      stream.durationSeconds);
    }
    return text;
}

}  // namespace vistrec_cli
