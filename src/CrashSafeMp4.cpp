#include "CrashSafeMp4.h"

#include <filesystem>
#include <string>

#include "support/FFmpegPtr.h"
#include "support/Log.h"

namespace crashsafe {

namespace {
// A fragment at every key frame and whenever a second has gone by; the header holds an empty
// index; fragment offsets count from their own header, as the players that read fragments
// expect. Every packet the muxer hands on reaches the file at once.
constexpr char kFragmentFlags[] = "frag_keyframe+empty_moov+default_base_moof";

// Copies every packet of `in` into `out` (header and trailer included), pulling stream i back
// by `lead[i]` of its own ticks; returns 0 or an FFmpeg error.
int CopyPackets(AVFormatContext* in, AVFormatContext* out, const std::vector<int64_t>& lead) {
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+faststart", 0);
    int ret = avformat_write_header(out, &options);
    av_dict_free(&options);
    if (ret < 0)
        return ret;
    AVPacketPtr pkt(av_packet_alloc());
    if (!pkt)
        return AVERROR(ENOMEM);
    while ((ret = av_read_frame(in, pkt.get())) >= 0) {
        const int i = pkt->stream_index;
        if (pkt->pts != AV_NOPTS_VALUE)
            pkt->pts -= lead[i];
        if (pkt->dts != AV_NOPTS_VALUE)
            pkt->dts -= lead[i];
        av_packet_rescale_ts(pkt.get(), in->streams[i]->time_base, out->streams[i]->time_base);
        pkt->pos = -1;
        ret = av_interleaved_write_frame(out, pkt.get());
        av_packet_unref(pkt.get());
        if (ret < 0)
            return ret;
    }
    if (ret != AVERROR_EOF)
        return ret;
    ret = av_write_trailer(out);
    if (ret >= 0 && out->pb->error < 0)
        ret = out->pb->error;
    return ret;
}

// The rewrite into `temp`; 0 or an FFmpeg error, with `what` naming the failed step.
int Rewrite(const std::string& path, const std::string& temp, const std::vector<int>& leadSamples,
            const char** what, bool* created) {
    *what = "cannot read the fragments";
    AVFormatContext* rawIn = nullptr;
    int ret = avformat_open_input(&rawIn, path.c_str(), nullptr, nullptr);
    if (ret < 0)
        return ret;
    AVFormatInputPtr in(rawIn);
    // The name keeps the container of the host's path, not of the temporary name.
    *what = "cannot set up the rewrite";
    const AVOutputFormat* format = av_guess_format(nullptr, path.c_str(), nullptr);
    AVFormatContext* rawOut = nullptr;
    ret = avformat_alloc_output_context2(&rawOut, format, nullptr, temp.c_str());
    if (ret < 0)
        return ret;
    AVFormatOutputPtr out(rawOut);
    std::vector<int64_t> lead(in->nb_streams, 0);
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        const AVStream* source = in->streams[i];
        AVStream* st = avformat_new_stream(out.get(), nullptr);
        if (!st)
            return AVERROR(ENOMEM);
        ret = avcodec_parameters_copy(st->codecpar, source->codecpar);
        if (ret < 0)
            return ret;
        st->codecpar->codec_tag = 0;
        st->time_base = source->time_base;
        const int rate = source->codecpar->sample_rate;
        if (i < leadSamples.size() && leadSamples[i] > 0 && rate > 0) {
            lead[i] = av_rescale_q(leadSamples[i], AVRational{1, rate}, source->time_base);
            st->codecpar->initial_padding = leadSamples[i];
        }
    }
    *what = "cannot write the rewritten file";
    ret = avio_open(&out->pb, temp.c_str(), AVIO_FLAG_WRITE);
    if (ret < 0)
        return ret;
    *created = true;
    ret = CopyPackets(in.get(), out.get(), lead);
    const int closed = avio_closep(&out->pb);
    return ret < 0 ? ret : closed;
}
}  // namespace

void AddFragmentOptions(AVDictionary** options) {
    av_dict_set(options, "movflags", kFragmentFlags, 0);
    av_dict_set_int(options, "frag_duration", kFragmentMicroseconds, 0);
    // Without an edit list the muxer would shift every track by the sound's encoder delay so
    // that none starts before zero; the rewrite restores the delay as an edit list instead.
    av_dict_set(options, "use_editlist", "1", 0);
    av_dict_set(options, "flush_packets", "1", 0);
    // Sound may lag the pictures by a second; the muxer would hold the pictures back as long to
    // interleave them, which a kill then loses too. Fragments keep each track apart, so the
    // muxer need not wait for long.
    av_dict_set_int(options, "max_interleave_delta", kFragmentMicroseconds / 4, 0);
}

bool FragmentOptionsTaken(const AVDictionary* options) {
    return av_dict_get(options, "movflags", nullptr, 0) == nullptr;
}

std::string FinishingPath(const std::string& path) {
    return path + ".finishing";
}

void RemoveLeftover(const std::string& path) {
    std::error_code error;
    const std::string temp = FinishingPath(path);
    if (std::filesystem::is_regular_file(temp, error) && std::filesystem::remove(temp, error))
        VLOG_INFO("crash-safe recording: removed " << temp << " left by an unfinished rewrite");
}

bool FinishFragmentedMp4(const std::string& path, const std::vector<int>& leadSamples) {
    const std::string temp = FinishingPath(path);
    const char* what = "";
    bool created = false;
    const int ret = Rewrite(path, temp, leadSamples, &what, &created);
    std::error_code error;
    if (ret < 0) {
        VLOG_WARN("crash-safe recording: " << what << " (" << ret << " " << AvErrorText(ret)
                                           << "); the file stays fragmented");
        if (created)
            std::filesystem::remove(temp, error);
        return false;
    }
    // Within one folder the rename replaces the fragmented file at once: whatever happens, a
    // file that plays is at the path.
    std::filesystem::rename(temp, path, error);
    if (error) {
        VLOG_WARN("crash-safe recording: cannot put the rewritten file in place ("
                  << error.message() << "); the file stays fragmented");
        std::filesystem::remove(temp, error);
        return false;
    }
    VLOG_INFO("crash-safe recording: rewritten with the index at the front");
    return true;
}

}  // namespace crashsafe
