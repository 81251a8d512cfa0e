#include "support/MemoryBuffer.h"

#include <string.h>

CMemoryBuffer::~CMemoryBuffer() {
    Clear();
}

void CMemoryBuffer::Append(const void* src, int len) {
    if (src == nullptr || len <= 0)
        return;
    if (m_used + len > m_capacity) {
        // Grow to exactly what is needed; the new room starts zeroed.
        const int capacity = m_used + len;
        uint8_t* grown = new uint8_t[capacity]();
        if (m_used > 0)
            memcpy(grown, m_data, m_used);
        delete[] m_data;
        m_data = grown;
        m_capacity = capacity;
    }
    memcpy(m_data + m_used, src, len);
    m_used += len;
}

int CMemoryBuffer::Read(void* dst, int len) {
    if (dst == nullptr)
        return 0;
    const int n = m_used < len ? m_used : len;
    if (n > 0)
        memcpy(dst, m_data, n);
    return Skip(n);
}

int CMemoryBuffer::Skip(int len) {
    const int n = m_used < len ? m_used : len;
    if (n <= 0)
        return 0;
    // Keep the remaining bytes at the front; the storage is not shrunk.
    if (m_used - n > 0)
        memmove(m_data, m_data + n, m_used - n);
    m_used -= n;
    return n;
}

void CMemoryBuffer::Clear() {
    delete[] m_data;
    m_data = nullptr;
    m_capacity = 0;
    m_used = 0;
}
