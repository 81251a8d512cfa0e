// The video hand-off of a recording: the record thread captures and converts each frame into a
// picture of a small fixed pool, and a thread of its own encodes the pictures in order. Between
// them sits a queue of at most kQueuedPictures; when it is full the encoder is behind and the
// frame due is dropped before it is even captured (counted, and logged once per stretch of
// drops), so a slow encoder never makes memory grow and the frames that do go out keep their
// wall-clock frame index.
#ifndef VISTREC_SRC_VIDEOPIPELINE_H
#define VISTREC_SRC_VIDEOPIPELINE_H

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "support/FFmpegPtr.h"

// A picture of `format` at w x h with every byte zeroed; null when it cannot be allocated.
AVFramePtr MakeZeroedPicture(AVPixelFormat format, int w, int h);

class CVideoPipeline {
  public:
    // Pictures waiting for the encoder at most: one being encoded plus two waiting covers a
    // slow frame of the encoder without a drop and adds at most ~100 ms at 30 fps.
    static constexpr int kQueuedPictures = 2;
    // The pool: the queue, the picture being composed, and the two the encoder may hold (the
    // one it encodes and the previous one, kept for a repeat).
    static constexpr int kPoolPictures = kQueuedPictures + 3;

    // Runs on the encoder thread for every picture, in order, with its frame index and whether
    // it is the picture encoded last, again; returns what the frame writer returns (packet time
    // in ms, -1, or an FFmpeg error).
    using Encode = std::function<int(AVFrame* picture, int64_t index, bool repeat)>;

    CVideoPipeline() = default;
    ~CVideoPipeline() { Finish(); }
    CVideoPipeline(const CVideoPipeline&) = delete;
    CVideoPipeline& operator=(const CVideoPipeline&) = delete;

    // Makes the pool (zeroed pictures of `format` at w x h, made as they are first needed)
    // and starts the encoder thread. False when a picture cannot be allocated.
    bool Start(AVPixelFormat format, int w, int h, Encode encode);
    bool Running() const { return m_thread.joinable(); }

    // Record thread. A picture to compose the frame due into, or null when the queue is full:
    // the frame is dropped. Every picture taken goes back through Submit or Repeat.
    AVFrame* Acquire();
    // The composed picture goes to the encoder with frame index `index`.
    void Submit(AVFrame* picture, int64_t index);
    // Nothing new was composed into `picture`: the last picture submitted is encoded again with
    // frame index `index` (before the first one, `picture` as it is: still zeroed).
    void Repeat(AVFrame* picture, int64_t index);
    // `picture` goes back unused: nothing is encoded for this frame.
    void GiveBack(AVFrame* picture);

    // Encodes what is queued, then stops the encoder thread. Safe to call more than once.
    void Finish();

    // What the last encoded frame's writer returned (0 before the first).
    int LastResult() const { return m_lastResult.load(); }
    int64_t Dropped() const { return m_dropped; }

  private:
    struct Item {
        AVFrame* picture;
        int64_t index;
        bool repeat;
    };
    void Run();
    bool AddPicture();               // a zeroed picture more in the pool and free
    void Release(AVFrame* picture);  // with m_mutex held
    void Push(const Item& item);
    void NoteComposed();

    std::vector<AVFramePtr> m_pool;  // grown by the record thread only
    AVPixelFormat m_format = AV_PIX_FMT_NONE;
    int m_width = 0, m_height = 0;
    Encode m_encode;

    std::mutex m_mutex;
    std::condition_variable m_wake;  // the encoder thread: an item, or the end
    std::vector<AVFrame*> m_free;    // pictures nobody holds
    std::deque<Item> m_queue;        // at most kQueuedPictures
    bool m_stop = false;

    std::atomic<int> m_lastResult{0};
    // Encoder thread only while it runs: frames encoded and the wall time they took.
    int64_t m_encoded = 0;
    double m_encodeSeconds = 0.0;
    // Record thread only: drops, and the time from Acquire to the picture's hand-back.
    int64_t m_dropped = 0;
    int64_t m_stretch = 0;  // drops in the current stretch
    int64_t m_composed = 0;
    double m_composeSeconds = 0.0;
    std::chrono::steady_clock::time_point m_acquiredAt;
    std::thread m_thread;  // last: starts once the rest exists
};

#endif
