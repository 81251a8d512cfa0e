// Owning handles for FFmpeg objects.
#ifndef VISTREC_SUPPORT_FFMPEGPTR_H
#define VISTREC_SUPPORT_FFMPEGPTR_H

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

struct AVFrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct AVPacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AVCodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
// Closes a demuxer opened with avformat_open_input.
struct AVFormatInputDeleter {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct SwsContextDeleter {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
// Closes the output file (when the format has one) and frees the context with its streams.
struct AVFormatOutputDeleter {
    void operator()(AVFormatContext* f) const {
        if (f->pb && f->oformat && !(f->oformat->flags & AVFMT_NOFILE))
            avio_closep(&f->pb);
        avformat_free_context(f);
    }
};

struct SwrContextDeleter {
    void operator()(SwrContext* s) const { swr_free(&s); }
};

using AVFramePtr = std::unique_ptr<AVFrame, AVFrameDeleter>;
using AVPacketPtr = std::unique_ptr<AVPacket, AVPacketDeleter>;
using AVCodecContextPtr = std::unique_ptr<AVCodecContext, AVCodecContextDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;
using SwrContextPtr = std::unique_ptr<SwrContext, SwrContextDeleter>;
using AVFormatOutputPtr = std::unique_ptr<AVFormatContext, AVFormatOutputDeleter>;
using AVFormatInputPtr = std::unique_ptr<AVFormatContext, AVFormatInputDeleter>;

// FFmpeg's text for an error code.
inline std::string AvErrorText(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(err, buf, sizeof buf);
    return buf;
}

#endif
