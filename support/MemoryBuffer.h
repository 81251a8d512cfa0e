// Byte FIFO through which the audio path hands sound from stage to stage. Not thread-safe: the
// owner of a shared buffer holds its own lock around every call.
#ifndef VISTREC_SUPPORT_MEMORYBUFFER_H
#define VISTREC_SUPPORT_MEMORYBUFFER_H

#include <stdint.h>

class CMemoryBuffer {
  public:
    CMemoryBuffer() = default;
    virtual ~CMemoryBuffer();
    CMemoryBuffer(const CMemoryBuffer&) = delete;
    CMemoryBuffer& operator=(const CMemoryBuffer&) = delete;

    // Adds len bytes at the end, growing the storage to exactly what is needed.
    void Append(const void* src, int len);
    // Takes up to len bytes from the front into dst; returns how many were taken.
    int Read(void* dst, int len);
    // Drops up to `len` bytes from the front; returns how many.
    int Skip(int len);
    // Drops all bytes and the storage.
    void Clear();

    int Size() const { return m_used; }
    int Capacity() const { return m_capacity; }
    const uint8_t* Data() const { return m_data; }

  private:
    uint8_t* m_data = nullptr;  // owned, array new; null exactly when m_capacity is 0
    int m_used = 0;
    int m_capacity = 0;
};

#endif
