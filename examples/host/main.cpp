// A minimal host of libvistrec: makes an MP4 recorder, records the screen for two seconds and
// deletes the recorder.
//   vistrec-example-host OUTPUT.mp4
// The library logs to "log/record.log" beside the program when that folder exists.
#include <vistrec/IRecordMp4.h>

#include <chrono>
#include <cstdio>
#include <thread>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.mp4\n", argv[0]);
        return 2;
    }
    IRecordMp4* recorder = create_screen_record(nullptr);
    if (recorder == nullptr) {
        std::fprintf(stderr, "no recorder\n");
        return 1;
    }
    recorder->setFileName(argv[1]);
    recorder->setFrameRate(20);
    recorder->setCaptureRect(false, nullptr);  // the first display
    recorder->setDisplay(1);
    recorder->startRecord();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const unsigned int recordedMs = recorder->stopRecord();
    delete recorder;
    std::printf("recorded %u ms into %s\n", recordedMs, argv[1]);
    return recordedMs > 0 ? 0 : 1;
}
