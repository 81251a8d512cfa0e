#include "VideoPipeline.h"

#include <chrono>

#include <libyuv/planar_functions.h>

#include "support/Log.h"

AVFramePtr MakeZeroedPicture(AVPixelFormat format, int w, int h) {
    AVFramePtr picture(av_frame_alloc());
    if (!picture)
        return nullptr;
    picture->format = format;
    picture->width = w;
    picture->height = h;
    if (av_frame_get_buffer(picture.get(), 0) < 0)
        return nullptr;
    // Zeroed, so that rows a conversion never writes stay defined. libyuv's SIMD fill is as
    // fast as memset here and, not being instrumented, keeps a ThreadSanitizer build from
    // spending seconds on a 1080p pool at every start.
    for (int p = 0; p < AV_NUM_DATA_POINTERS && picture->buf[p]; ++p)
        libyuv::SetPlane(picture->buf[p]->data, static_cast<int>(picture->buf[p]->size),
                         static_cast<int>(picture->buf[p]->size), 1, 0);
    return picture;
}

bool CVideoPipeline::AddPicture() {
    AVFramePtr picture = MakeZeroedPicture(m_format, m_width, m_height);
    if (!picture)
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_free.push_back(picture.get());
    m_pool.push_back(std::move(picture));
    return true;
}

bool CVideoPipeline::Start(AVPixelFormat format, int w, int h, Encode encode) {
    Finish();
    m_pool.clear();
    m_free.clear();
    m_queue.clear();
    m_format = format;
    m_width = w;
    m_height = h;
    // The pool grows as pictures are needed: a still screen needs two or three, and each one
    // not made is megabytes never touched.
    if (!AddPicture())
        return false;
    m_encode = std::move(encode);
    m_stop = false;
    m_lastResult = 0;
    m_dropped = 0;
    m_stretch = 0;
    m_encoded = m_composed = 0;
    m_encodeSeconds = m_composeSeconds = 0.0;
    m_thread = std::thread(&CVideoPipeline::Run, this);
    return true;
}

AVFrame* CVideoPipeline::Acquire() {
    AVFrame* picture = nullptr;
    for (int attempt = 0; attempt < 2 && !picture; ++attempt) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (static_cast<int>(m_queue.size()) >= kQueuedPictures)
                break;
            if (!m_free.empty()) {
                picture = m_free.back();
                m_free.pop_back();
                break;
            }
        }
        // Only this thread adds pictures, so the pool's size is read without the lock.
        if (static_cast<int>(m_pool.size()) >= kPoolPictures || !AddPicture())
            break;
    }
    if (!picture) {
        ++m_dropped;
        if (m_stretch++ == 0)
            VLOG_WARN("video encoder behind: dropping frames until it catches up");
        return nullptr;
    }
    if (m_stretch > 0) {
        VLOG_INFO("video encoder caught up after " << m_stretch << " dropped frames");
        m_stretch = 0;
    }
    m_acquiredAt = std::chrono::steady_clock::now();
    return picture;
}

void CVideoPipeline::Push(const Item& item) {
    NoteComposed();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(item);
    }
    m_wake.notify_one();
}

void CVideoPipeline::Submit(AVFrame* picture, int64_t index) {
    Push(Item{picture, index, false});
}

void CVideoPipeline::Repeat(AVFrame* picture, int64_t index) {
    Push(Item{picture, index, true});
}

void CVideoPipeline::NoteComposed() {
    m_composeSeconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_acquiredAt).count();
    ++m_composed;
}

void CVideoPipeline::GiveBack(AVFrame* picture) {
    NoteComposed();
    std::lock_guard<std::mutex> lock(m_mutex);
    Release(picture);
}

void CVideoPipeline::Release(AVFrame* picture) {
    if (picture)
        m_free.push_back(picture);
}

void CVideoPipeline::Run() {
    AVFrame* last = nullptr;  // the last picture encoded, kept for a repeat
    for (;;) {
        Item item{};
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_queue.empty())
                break;  // stopped, and everything queued was encoded
            item = m_queue.front();
            m_queue.pop_front();
        }
        AVFrame* picture = item.picture;
        const bool repeat = item.repeat && last;
        if (repeat) {
            std::lock_guard<std::mutex> lock(m_mutex);
            Release(picture);
            picture = last;
        }
        const auto start = std::chrono::steady_clock::now();
        m_lastResult = m_encode(picture, item.index, repeat);
        m_encodeSeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++m_encoded;
        if (picture != last) {
            std::lock_guard<std::mutex> lock(m_mutex);
            Release(last);
            last = picture;
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    Release(last);
}

void CVideoPipeline::Finish() {
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
    VLOG_INFO("video: " << m_composed << " frames captured and converted in "
                        << (m_composed ? m_composeSeconds * 1000.0 / m_composed : 0.0)
                        << " ms on average, " << m_encoded << " encoded in "
                        << (m_encoded ? m_encodeSeconds * 1000.0 / m_encoded : 0.0) << " ms");
    if (m_dropped > 0)
        VLOG_WARN("video encoder behind: " << m_dropped << " frames dropped in this recording");
}
