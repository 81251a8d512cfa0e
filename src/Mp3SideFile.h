// The MP3 copy of a recording's sound: LAME at 16 kHz mono, fed the captured PCM that goes to
// the MP4's audio track (not the silence made up where none was captured), flushed at the end
// and given a LAME/Info tag, so that players show the right duration. A side file that cannot
// be made costs a log line and nothing else: the MP4 is written as usual.
#ifndef VISTREC_SRC_MP3SIDEFILE_H
#define VISTREC_SRC_MP3SIDEFILE_H

#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

struct lame_global_struct;

class CMp3SideFile {
  public:
    CMp3SideFile() = default;
    ~CMp3SideFile() { Finish(); }
    CMp3SideFile(const CMp3SideFile&) = delete;
    CMp3SideFile& operator=(const CMp3SideFile&) = delete;

    // Opens the encoder and creates `path`; false, with a log line, when either fails.
    bool Start(const std::string& path);
    // Encodes `bytes` of 16-bit signed mono PCM at 16000 Hz; nothing when not started.
    void Encode(const uint8_t* pcm, int bytes);
    // Writes what the encoder still holds and the tag, and closes the file. Idempotent.
    void Finish();

    bool IsOpen() const { return m_file != nullptr; }

  private:
    struct LameCloser {
        void operator()(lame_global_struct* lame) const;
    };
    struct FileCloser {
        void operator()(FILE* file) const { fclose(file); }
    };
    void Write(const unsigned char* data, int bytes);

    std::unique_ptr<lame_global_struct, LameCloser> m_lame;
    std::unique_ptr<FILE, FileCloser> m_file;
    std::string m_path;
    std::vector<unsigned char> m_out;  // encoder output, sized for the largest block
    int64_t m_samples = 0;
    bool m_writeFailed = false;
};

#endif
