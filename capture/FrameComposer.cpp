#include "FrameComposer.h"

#include <algorithm>

#include "PixelConvert.h"
#include "SizeRules.h"
#include "support/Log.h"

CFrameComposer::Result CFrameComposer::Compose(HWND hostWnd, double scale, AVFrame* picture,
                                               const OverlayText* text) {
    switch (m_damage.Compose(&m_capturer, hostWnd, scale, picture, text, &m_text)) {
        case CDamageComposer::Outcome::kNewFrame:
            return Result::kNewFrame;
        case CDamageComposer::Outcome::kPreviousFrame:
            return Result::kPreviousFrame;
        case CDamageComposer::Outcome::kMonitorLost:
            return Result::kMonitorLost;
        case CDamageComposer::Outcome::kUnavailable:
            break;  // a full grab
    }
    bool grabbed = false;
    vistrec::platform::ImageView image;
    if (!m_capturer.CaptureView(hostWnd, &m_bitmap, &image, &grabbed))
        return Result::kMonitorLost;
    if (m_bitmap.width <= 0 || m_bitmap.height <= 0)
        return Result::kFailed;
    if (!grabbed)
        return Result::kPreviousFrame;
    // The captured picture is drawn on where it lies: the bitmap, or the grab itself.
    uint8_t* pixels = const_cast<uint8_t*>(image.data);
    if (text)
        m_text.Draw(text->font, text->text, text->x, text->y, text->red, text->green, text->blue,
                    pixels, image.width, image.height, image.stride);
    return Convert(image, scale, picture) ? Result::kNewFrame : Result::kFailed;
}

bool CFrameComposer::Convert(const vistrec::platform::ImageView& image, double scale,
                             AVFrame* picture) {
    if (!picture || !image.data || image.width <= 0 || image.height <= 0)
        return false;
    // The share read from the image: its own size times the scale, in multiples of 4, never
    // more than the image (a scale above 1 would read past its last row).
    scale = std::min(scale, 1.0);
    const int srcW = std::min(image.width, sizerules::ScaledRecordSide(image.width, scale));
    const int srcH = std::min(image.height, sizerules::ScaledRecordSide(image.height, scale));
    if (srcW <= 0 || srcH <= 0)
        return false;
    // I420 (libx264's format) goes through libyuv's SIMD converters and scalers; the generic
    // scaler is kept for the pixel formats other encoders ask for.
    if (picture->format == AV_PIX_FMT_YUV420P)
        return pixelconvert::BgraToI420(image, srcW, srcH, picture, &m_scratch);
    const int key[5] = {srcW, srcH, picture->width, picture->height, picture->format};
    if (!m_scaler || !std::equal(key, key + 5, m_scalerKey)) {
        m_scaler.reset(sws_getContext(srcW, srcH, AV_PIX_FMT_BGRA, picture->width, picture->height,
                                      static_cast<AVPixelFormat>(picture->format), SWS_BICUBIC,
                                      nullptr, nullptr, nullptr));
        std::copy(key, key + 5, m_scalerKey);
        if (!m_scaler) {
            VLOG_ERROR("sws_getContext failed " << srcW << "x" << srcH << " -> " << picture->width
                                                << "x" << picture->height);
            return false;
        }
        VLOG_INFO("frame scaler " << srcW << "x" << srcH << " -> " << picture->width << "x"
                                  << picture->height);
    }
    if (!m_srcFrame)
        m_srcFrame.reset(av_frame_alloc());
    if (!m_srcFrame)
        return false;
    m_srcFrame->data[0] = const_cast<uint8_t*>(image.data);
    m_srcFrame->linesize[0] = image.stride;
    sws_scale(m_scaler.get(), m_srcFrame->data, m_srcFrame->linesize, 0, srcH, picture->data,
              picture->linesize);
    return true;
}
