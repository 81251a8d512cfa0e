#include "AudioMixer.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

#include "support/FFmpegPtr.h"
#include "support/Log.h"

namespace {

constexpr int kSampleRate = 16000;
constexpr char kGraphDescription[] = "[in0][in1]amix=inputs=2[out]";

struct InOutDeleter {
    void operator()(AVFilterInOut* list) const { avfilter_inout_free(&list); }
};
using InOutPtr = std::unique_ptr<AVFilterInOut, InOutDeleter>;

struct FreeDeleter {
    void operator()(char* text) const { av_free(text); }
};

// A frame holding a copy of the caller's block. Copying 3200 bytes costs next to nothing and
// guarantees that a frame left queued in the graph after a failed call never points at a
// block the caller has since released.
AVFramePtr FrameOf(const uint8_t* block, int samples) {
    AVFramePtr frame(av_frame_alloc());
    if (!frame)
        return nullptr;
    frame->nb_samples = samples;
    frame->format = AV_SAMPLE_FMT_S16;
    frame->sample_rate = kSampleRate;
    const AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    if (av_channel_layout_copy(&frame->ch_layout, &mono) < 0 ||
        av_frame_get_buffer(frame.get(), 0) < 0)
        return nullptr;
    memcpy(frame->data[0], block, static_cast<size_t>(samples) * 2);
    return frame;
}

}  // namespace

void CAudioMixer::GraphDeleter::operator()(AVFilterGraph* graph) const {
    avfilter_graph_free(&graph);
}

int CAudioMixer::Init() {
    if (m_graph)
        return -1;  // built once
    const AVFilter* abuffer0 = avfilter_get_by_name("abuffer");
    const AVFilter* abuffer1 = avfilter_get_by_name("abuffer");
    const AVFilter* abuffersink = avfilter_get_by_name("abuffersink");
    InOutPtr outputs0(avfilter_inout_alloc());
    InOutPtr outputs1(avfilter_inout_alloc());
    InOutPtr inputs(avfilter_inout_alloc());
    std::unique_ptr<AVFilterGraph, GraphDeleter> graph(avfilter_graph_alloc());
    if (!abuffer0 || !abuffer1 || !abuffersink || !outputs0 || !outputs1 || !inputs || !graph)
        return -1;

    // Both sources carry the pump's format; the mono layout is given as its mask (0x4).
    char args[512];
    snprintf(args, sizeof args,
             "time_base=%d/%d:sample_rate=%d:sample_fmt=%s:channel_layout=0x%llx", 1, kSampleRate,
             kSampleRate, av_get_sample_fmt_name(AV_SAMPLE_FMT_S16),
             static_cast<unsigned long long>(AV_CH_LAYOUT_MONO));
    AVFilterContext* source0 = nullptr;
    AVFilterContext* source1 = nullptr;
    AVFilterContext* sink = nullptr;
    if (avfilter_graph_create_filter(&source0, abuffer0, "in0", args, nullptr, graph.get()) < 0 ||
        avfilter_graph_create_filter(&source1, abuffer1, "in1", args, nullptr, graph.get()) < 0 ||
        avfilter_graph_create_filter(&sink, abuffersink, "out", nullptr, nullptr, graph.get()) < 0)
        return -1;

    const int sampleFormats[] = {AV_SAMPLE_FMT_S16, -1};
    const int64_t channelLayouts[] = {static_cast<int64_t>(AV_CH_LAYOUT_MONO), -1};
    const int sampleRates[] = {kSampleRate, -1};
    if (av_opt_set_int_list(sink, "sample_fmts", sampleFormats, -1, AV_OPT_SEARCH_CHILDREN) < 0)
        return -1;
    // FFmpeg 5.1 still takes the mask list "channel_layouts"; builds without that deprecated
    // option take the layout by name in "ch_layouts".
    if (av_opt_set_int_list(sink, "channel_layouts", channelLayouts, -1, AV_OPT_SEARCH_CHILDREN) <
            0 &&
        av_opt_set(sink, "ch_layouts", "mono", AV_OPT_SEARCH_CHILDREN) < 0)
        return -1;
    if (av_opt_set_int_list(sink, "sample_rates", sampleRates, -1, AV_OPT_SEARCH_CHILDREN) < 0)
        return -1;

    // The graph's open ends: its outputs are the sources' pads, its input the sink's.
    outputs0->name = av_strdup("in0");
    outputs0->filter_ctx = source0;
    outputs0->pad_idx = 0;
    outputs1->name = av_strdup("in1");
    outputs1->filter_ctx = source1;
    outputs1->pad_idx = 0;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink;
    inputs->pad_idx = 0;
    if (!outputs0->name || !outputs1->name || !inputs->name)
        return -1;
    outputs0->next = outputs1.release();
    AVFilterInOut* outputList = outputs0.release();
    AVFilterInOut* inputList = inputs.release();
    const int parsed =
        avfilter_graph_parse_ptr(graph.get(), kGraphDescription, &inputList, &outputList, nullptr);
    // The parser leaves the lists it did not link; both are ours to free either way.
    outputs0.reset(outputList);
    inputs.reset(inputList);
    if (parsed < 0) {
        printf("Filter: failed to call avfilter_graph_parse_ptr\n");
        return -1;
    }
    const int configured = avfilter_graph_config(graph.get(), nullptr);
    if (configured < 0) {
        printf("Filter: failed to call avfilter_graph_config\n");
        return -1;
    }
    outputs0.reset();
    inputs.reset();
    std::unique_ptr<char, FreeDeleter> dump(avfilter_graph_dump(graph.get(), nullptr));
    if (dump)
        VLOG_DEBUG("mixer graph:\n" << dump.get());

    m_graph = std::move(graph);
    m_source0 = source0;
    m_source1 = source1;
    m_sink = sink;
    return configured;
}

void CAudioMixer::Mix(const uint8_t* in0, const uint8_t* in1, int samples, uint8_t* out) {
    if (!in0 || !in1 || !out || samples <= 0 || !m_graph)
        return;
    AVFramePtr frame0 = FrameOf(in0, samples);
    AVFramePtr frame1 = FrameOf(in1, samples);
    AVFramePtr mixed(av_frame_alloc());
    if (!frame0 || !frame1 || !mixed)
        return;
    // A source that refuses its frame leaves amix without a full pair: the sink call then
    // reports the failure.
    if (av_buffersrc_add_frame(m_source0, frame0.get()) < 0 ||
        av_buffersrc_add_frame(m_source1, frame1.get()) < 0)
        VLOG_DEBUG("mixer: a source refused its frame");
    if (av_buffersink_get_frame_flags(m_sink, mixed.get(), 0) < 0) {
        printf("Mixer: failed to call av_buffersink_get_frame_flags\n");
        return;
    }
    if (mixed->data[0]) {
        // Only the samples the graph produced are valid.
        const int produced = std::min(mixed->nb_samples, samples);
        memcpy(out, mixed->data[0], static_cast<size_t>(produced) * 2);
    }
}
