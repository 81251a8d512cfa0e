// A plain owned byte array with a length, always followed by one zero byte.
#ifndef VISTREC_SUPPORT_BYTESTRING_H
#define VISTREC_SUPPORT_BYTESTRING_H

#include <stdint.h>

class CByteString {
  public:
    // len < 0: up to src's zero byte. (null, n > 0) gives n zero bytes.
    explicit CByteString(const char* src = nullptr, int len = -1);
    ~CByteString();
    CByteString(const CByteString&) = delete;
    CByteString& operator=(const CByteString&) = delete;

    void Free();
    // Copies other's bytes; an other without storage leaves this unchanged.
    void Assign(const CByteString& other);
    // New length n (> 0), keeping the first bytes and zero-filling the rest.
    void Resize(int n);

    uint8_t* Data() { return m_data; }
    const uint8_t* Data() const { return m_data; }
    int Length() const { return m_length; }

  private:
    uint8_t* m_data = nullptr;  // owned: m_length bytes + a zero byte
    int m_length = 0;
};

#endif
