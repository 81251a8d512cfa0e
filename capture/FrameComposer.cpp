// Frame composition: the captured bitmap becomes an image (where the text overlay is drawn) and
// the scaler converts it into the encoder's picture.
#include <string.h>

extern "C" {
#include <libavutil/imgutils.h>
}

#include "H264WindowRecorder.h"

int CH264WindowRecorder::ComposeGdiFrame(AVFormatContext*, AVStream* st) {
    if (!m_capturer)
        m_capturer = std::make_unique<CScreenCapturer>();
    if (!m_capturer->CaptureScreen(m_hostWnd, &m_bitmap))
        return kCaptureLost;
    m_textOverlay.Draw(m_fontFile, m_text, m_textX, m_textY, m_textRed, m_textGreen, m_textBlue,
                       m_bitmap.pixels.data(), m_bitmap.width, m_bitmap.height, m_bitmap.Stride());
    if (BitmapToImage(m_bitmap, &m_images[0]) < 0)
        return -1;
    if (!m_pPicture) {
        if (!m_videoCodec || !AllocPicture(m_videoCodec->pix_fmt, encode_width(), encode_height()))
            return -1;
    }
    ConvertImage(st, m_images[0], m_pPicture.get());
    return 0;
}

int CH264WindowRecorder::BitmapToImage(CaptureBitmap& bitmap, cv::Mat* slot) {
    if (bitmap.width <= 0 || bitmap.height <= 0 || bitmap.pixels.empty())
        return -1;
    // The image is a view of the bitmap's pixels: the bitmap is reused from frame to frame, so
    // a copy of 8 MB per 1080p frame buys nothing.
    if (slot->data != bitmap.pixels.data() || slot->cols != bitmap.width ||
        slot->rows != bitmap.height)
        *slot = cv::Mat(bitmap.height, bitmap.width, CV_8UC4, bitmap.pixels.data(),
                        static_cast<size_t>(bitmap.Stride()));
    return 0;
}

void CH264WindowRecorder::ConvertImage(AVStream*, const cv::Mat& image, AVFrame* picture) {
    const AVPixelFormat srcFormat = image.channels() == 3 ? AV_PIX_FMT_BGR24 : AV_PIX_FMT_BGRA;
    const int rw = record_width(), rh = record_height();
    if (rw <= 0 || rh <= 0)
        return;
    // The scaler is made once per recording: it reads the top-left record_width x
    // record_height of the image and stretches it to the encoder's size.
    if (!m_pScaler) {
        m_pScaler.reset(sws_getContext(rw, rh, srcFormat, m_videoCodec->width, m_videoCodec->height,
                                       m_videoCodec->pix_fmt, SWS_BICUBIC, nullptr, nullptr,
                                       nullptr));
        if (!m_pScaler)
            return;
    }
    if (!m_pSrcFrame)
        m_pSrcFrame.reset(av_frame_alloc());
    if (!m_pSrcFrame)
        return;
    // Source rows are as long as the image's width, whatever part of them is read.
    av_image_fill_arrays(m_pSrcFrame->data, m_pSrcFrame->linesize, image.data, srcFormat,
                         image.cols, image.rows, 1);
    const int rows = std::min(rh, image.rows);
    sws_scale(m_pScaler.get(), m_pSrcFrame->data, m_pSrcFrame->linesize, 0, rows, picture->data,
              picture->linesize);
}

bool CH264WindowRecorder::AllocPicture(AVPixelFormat format, int w, int h) {
    AVFramePtr pic(av_frame_alloc());
    if (!pic)
        return false;
    pic->format = format;
    pic->width = w;
    pic->height = h;
    if (av_frame_get_buffer(pic.get(), 0) < 0)
        return false;
    // A zeroed picture, so that rows the scaler never writes stay defined.
    for (int i = 0; i < AV_NUM_DATA_POINTERS && pic->buf[i]; ++i)
        memset(pic->buf[i]->data, 0, pic->buf[i]->size);
    pic->pts = 0;
    m_pPicture = std::move(pic);
    return true;
}
