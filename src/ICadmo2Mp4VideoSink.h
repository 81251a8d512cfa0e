// Callback interface through which the recording loops drive their recorder object: pause and
// stop polling, the audio pump tick and the device start/stop notifications.
#ifndef VISTREC_SRC_ICADMO2MP4VIDEOSINK_H
#define VISTREC_SRC_ICADMO2MP4VIDEOSINK_H

class ICadmo2Mp4Video_Sink {
  public:
    virtual ~ICadmo2Mp4Video_Sink() {}
    virtual void reserved1(void* unused) = 0;
    virtual void reserved2() = 0;
    // Audio pump; called on the record thread between frames. Result ignored by the loops.
    virtual int onTick() = 0;
    // Polled by the loops on the record thread; written by the host's thread.
    virtual bool isPaused() = 0;
    virtual bool isStopped() = 0;
    // The loop entered a pause / left it / wrote the header and is about to record.
    virtual void onPause() = 0;
    virtual void onResume() = 0;
    virtual void onStart() = 0;
};

#endif
