// The video half of the encoder: every setting that shapes the H.264 stream, the size rules,
// the encoder choice and set-up, the encoder's picture (composed by CFrameComposer), the frame
// writer with its time stamps, and the video-only record loop of the H.264 recorder.
#ifndef VISTREC_SRC_H264WINDOWRECORDER_H
#define VISTREC_SRC_H264WINDOWRECORDER_H

#include <stdint.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AvSynchroniser.h"
#include "FileSyncer.h"
#include "H264Repeats.h"
#include "VideoPipeline.h"
#include "capture/FrameComposer.h"
#include "support/FFmpegPtr.h"
#include "vistrec/IRecordMp4.h"

class ICadmo2Mp4Video_Sink;
class IDSoundRecorder;

// Result of a capture whose monitor has gone away.
constexpr int kCaptureLost = -12345;

class CH264WindowRecorder {
  public:
    // Encoder names tried in order: Intel Quick Sync, NVIDIA, then the container's default
    // H.264 encoder ("other", not looked up by name).
    static const char* const kEncoderNames[3];

    explicit CH264WindowRecorder(HWND hostWnd);
    virtual ~CH264WindowRecorder();
    CH264WindowRecorder(const CH264WindowRecorder&) = delete;
    CH264WindowRecorder& operator=(const CH264WindowRecorder&) = delete;

    // ---- settings (host thread, before a recording starts) ----
    void setFrameRate(int fps);
    void setQuality(int level) { m_quality = level; }
    int setCaptureRect(bool region, const RECT* rect);
    void setDisplay(int number);
    static void setFollowTarget(bool follow);
    // A scale outside (0, 1] is not taken as it is: see the definition.
    void setScale(double scale);
    void setPreset(const char* preset);
    void setTune(const char* tune);
    void setGopSize(int gop) { m_gopSize = gop; }
    void setFileName(const char* name);
    void setMp3FileName(const char* name);
    void setText(const char* fontFile, const char* text, float x, float y, BYTE r, BYTE g, BYTE b);
    static void setMouseShow(int mouseShow, int clickShow, int lightShow, int mouseSize);
    static void setMouseEvent(int message);

    // ---- size rules ----
    int record_width() const;
    int record_height() const;
    int encode_width() const;
    int encode_height() const;

    // ---- encoder set-up (record thread) ----
    // Adds the video stream to `fc` with encoder `name` and opens it; null when this encoder
    // cannot be used. A failure of the last candidate ends the process with status 1.
    AVStream* add_video_stream(AVFormatContext* fc, AVCodecID codecId, const char* name);
    // Opens the encoder of an added stream that is not open yet.
    int open_video(AVFormatContext* fc, AVStream* st);

    // ---- frame writing ----
    // Captures, converts and encodes one frame taken `elapsedMs` after the start, all on the
    // calling thread; returns the written packet's time in ms, -1 when no packet came out,
    // kCaptureLost, or an FFmpeg error.
    int write_video_frame(AVFormatContext* fc, AVStream* st, int64_t elapsedMs);

    // The record loops' way: capture and conversion on the record thread, encoding on the
    // pipeline's thread. StartPipeline starts it for the open encoder (false when its pictures
    // cannot be made) and composes one frame that is put aside, so that the first frame's
    // one-off work is done before the loop's clock starts.
    bool StartPipeline();
    // Captures and converts the frame due at `elapsedMs` and queues it for the encoder; or drops
    // it when the encoder is behind. A capture that yields no new picture queues the previous
    // picture again, except that without `repeatOnFailure` a lost monitor returns kCaptureLost
    // and an empty capture -1 (nothing queued). Otherwise returns what the writer returned for
    // the last frame encoded.
    int QueueVideoFrame(int64_t elapsedMs, bool repeatOnFailure);
    // Encodes what is queued and stops the encoder thread; then the encoder may be drained.
    void FinishPipeline();
    // How long a record loop may sleep at `elapsed` when nothing is due: until the next frame
    // index begins, at least 1 ms and at most kMaxIdleMs (a pause or a stop is seen that soon).
    static constexpr int kMaxIdleMs = 20;
    int IdleWaitMs(int64_t elapsed) const;

    // Stamps `picture` with the next picture counter, maps the counter to frame index `index`
    // and encodes it (the encoder's thread). A `repeat` of the picture encoded last is written
    // as a frame of skipped macroblocks (or the last IDR picture again) where the stream allows.
    int EncodePicture(AVFrame* picture, int64_t index, bool repeat = false);
    // Writes a picture made without the encoder (Annex B) as the frame with index `index`.
    int WriteOwnPicture(const std::vector<uint8_t>& data, int64_t index, bool key);
    // One encoder step: `picture` to encode, or null to drain one packet.
    int EncodeStep(AVFormatContext* fc, AVStream* st, AVFrame* picture);
    // Hands a packet of the video encoder to m_repeats, which may rewrite it; 0 or an error.
    int TakeEncoderPacket(AVPacket* pkt);
    // Writes a packet of either stream: the video packets come from the encoder's thread, the
    // audio packets from the record thread, so the muxer is taken by one at a time.
    int WritePacket(AVFormatContext* fc, AVPacket* pkt);

    // Container for m_fileName with the first video encoder of kEncoderNames that opens;
    // -1 when there is no format for the name or no encoder.
    int SetUpVideoOutput();
    // Opens the output file and writes the header; -1 when the file cannot be opened or the
    // header not written.
    int OpenOutputFile();
    // The first error of the output (a refused packet, a full disk, a vanished file) is kept,
    // logged once with `what`, and ends the recording; 0 while there is none.
    void NoteWriteError(int error, const char* what);
    int WriteError() const { return m_writeError; }
    // At most once a second: whether the output file can still be reached. Where a folder can
    // be removed while a file in it is open, writes go on succeeding into a file nobody will
    // ever see, so its vanishing is an error of its own.
    void CheckOutputStillThere(int64_t elapsedMs);
    // End of a recording: drains the video encoder (not after an output error); returns the
    // time of the last packet written, `lastVideoMs` when none came out.
    int DrainVideo(int lastVideoMs);
    // Writes the trailer and tells the host of the output's error, if there was one; a
    // fragmented recording that ended without one is then rewritten into an ordinary MP4.
    void WriteTrailer();
    // Frame index of the packet whose picture counter is `key`: the index stored for that
    // picture, else one more than its predecessor's (stored too), else the key itself. Returns
    // whether the map gave the index.
    static bool ResolveIndex(std::map<int64_t, int32_t>* ptsMap, int64_t key, int64_t* index);

    // The H.264 recorder's loop: video only, frames paced by the wall clock.
    int record_h264(ICadmo2Mp4Video_Sink* sink, IDSoundRecorder* unused, bool flag);

    // ---- state read by the recorder objects and the tests ----
    // Total ms paused; written by resumeRecord on the host thread, read by the loop.
    std::atomic<int> m_pausedMs{0};
    int m_frameRate = 20;
    int m_bitRate = 1036800;
    int m_quality = 0;
    double m_scale = 0.75;
    int m_gopSize = 12;
    int m_outWidth = 0, m_outHeight = 0;
    const char* m_preset = nullptr;  // caller's string, not copied; null: "ultrafast"
    const char* m_tune = nullptr;    // caller's string, not copied; null: "zerolatency"
    std::string m_fileName;
    std::string m_mp3FileName;
    bool m_mp3Enabled = false;
    int m_audioMode = 1;  // stored for the H.264 recorder, where nothing reads it
    // Set through RecorderInternal.h, read when the encoder is set up; 0 and -1: not forced.
    int m_forcedFrameRate = 0;  // wins over the configured rate and the quality table
    int m_forcedCrf = -1;       // wins over the quality level's crf

    // Text overlay settings as setText stored them; the two strings are the caller's, not copied.
    OverlayText m_overlayText;

  protected:
    // Frame composition through m_composer into m_pPicture (made at the encoder's size on the
    // first frame): 0, kCaptureLost, or -1 when nothing could be converted. A failed grab
    // leaves the previous picture, which is then encoded again.
    int ComposeGdiFrame(AVFormatContext* fc, AVStream* st);
    // Composes the screen into `picture` through m_composer (made on first use).
    CFrameComposer::Result ComposeInto(AVFrame* picture);
    bool AllocPicture(AVPixelFormat format, int w, int h);

    // Frees the encoder, pictures, scaler and capture state of the last recording.
    void TeardownVideo();

    HWND m_hostWnd = nullptr;
    AVFormatContext* m_pFormatCtx = nullptr;  // owned by the running loop (m_formatOwner)
    AVFormatOutputPtr m_formatOwner;
    AVStream* m_pVideoStream = nullptr;  // belongs to m_pFormatCtx
    AVCodecContextPtr m_videoCodec;      // the video stream's encoder
    AVFramePtr m_pPicture;
    AVPacketPtr m_packet;
    // Capture, bitmap, text and scaler of the running recording; made on its first frame.
    std::unique_ptr<CFrameComposer> m_composer;

    // Decides from one clock which frame and which audio go out; holds the frame index due
    // next and the count of audio frames written.
    CAvSynchroniser m_sync;
    // Encoding: on the pipeline's thread while it runs, on the record thread before and after.
    std::map<int64_t, int32_t> m_ptsMap;  // picture counter -> frame index
    int64_t m_nextCounter = 0;            // counter the next picture is stamped with
    int64_t m_lastSubmitted = 0;          // counter of the last picture given to the encoder
    bool m_draining = false;              // the end-of-stream marker has been sent
    int64_t m_lastQueuedIndex = -1;       // frame index of the last frame queued
    int64_t m_inEncoder = 0;              // pictures sent to the encoder and not yet out
    bool m_forceKey = false;              // the picture being sent must be a key frame
    h264::CRepeats m_repeats;             // repeats written without the encoder
    std::vector<uint8_t> m_ownBytes;      // a picture of m_repeats, or a rewritten packet
    std::mutex m_muxMutex;                // held while a packet goes into m_pFormatCtx
    std::atomic<int> m_writeError{0};     // first error of the output, 0: none
    int64_t m_outputCheckedMs = 0;        // elapsed time of the last output check
    bool m_h264Twin = false;              // the H.264 loop's variant of the encoder step
    bool m_fragmented = false;            // the output is written crash-safe, in fragments
    CFileSyncer m_syncer;                 // puts the fragments on the disk while they come
    std::string m_outputPath;             // m_fileName as the running recording took it
    CVideoPipeline m_pipeline;            // last: its thread ends before the rest goes
};

#endif
