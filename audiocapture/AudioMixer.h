// The two-input mixer: an FFmpeg filter graph "[in0][in1]amix=inputs=2[out]" over 16-bit mono
// 16 kHz blocks. amix's default law with two inputs: each sample is (in0 + in1) / 2, rounded
// to the nearest integer, ties to even. Record thread only.
#ifndef VISTREC_AUDIOCAPTURE_AUDIOMIXER_H
#define VISTREC_AUDIOCAPTURE_AUDIOMIXER_H

#include <stdint.h>

#include <memory>

struct AVFilterContext;
struct AVFilterGraph;

class CAudioMixer {
  public:
    CAudioMixer() = default;
    CAudioMixer(const CAudioMixer&) = delete;
    CAudioMixer& operator=(const CAudioMixer&) = delete;

    // Builds the graph (once). Returns -1 on any failure, else the non-negative result of
    // avfilter_graph_config.
    int Init();
    // Mixes `samples` samples of in0 (microphone) and in1 (playback) into out (samples * 2
    // bytes). Nothing happens when a pointer is null, samples is not positive or Init has not
    // succeeded; when the graph yields no frame out keeps what it held.
    void Mix(const uint8_t* in0, const uint8_t* in1, int samples, uint8_t* out);

  private:
    struct GraphDeleter {
        void operator()(AVFilterGraph* graph) const;
    };

    std::unique_ptr<AVFilterGraph, GraphDeleter> m_graph;
    // Filter instances owned by the graph.
    AVFilterContext* m_source0 = nullptr;  // "in0", microphone
    AVFilterContext* m_source1 = nullptr;  // "in1", playback
    AVFilterContext* m_sink = nullptr;     // "out"
};

#endif
