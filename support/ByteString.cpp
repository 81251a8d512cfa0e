#include "support/ByteString.h"

#include <string.h>

CByteString::CByteString(const char* src, int len) {
    if (src != nullptr && len < 0)
        len = static_cast<int>(strlen(src));
    if (len > 0) {
        m_length = len;
        m_data = new uint8_t[len + 1]();
        if (src != nullptr)
            memcpy(m_data, src, len);
    }
}

CByteString::~CByteString() {
    Free();
}

void CByteString::Free() {
    delete[] m_data;
    m_data = nullptr;
    m_length = 0;
}

void CByteString::Assign(const CByteString& other) {
    if (other.m_data == nullptr || &other == this)
        return;
    int n = other.m_length;
    if (n < 0)
        n = static_cast<int>(strlen(reinterpret_cast<const char*>(other.m_data)));
    Free();
    Resize(n);
    if (n >= 1) {
        memcpy(m_data, other.m_data, n);
        m_data[n] = 0;
    }
}

void CByteString::Resize(int n) {
    if (n <= 0)
        return;
    uint8_t* resized = new uint8_t[n + 1]();
    const int old = m_length < 0 ? 0 : m_length;
    if (m_data != nullptr) {
        memcpy(resized, m_data, n < old ? n : old);
        delete[] m_data;
    }
    m_data = resized;
    m_length = n;
}
