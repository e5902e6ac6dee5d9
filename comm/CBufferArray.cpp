#include "CBufferArray.h"

#include <cstring>
#include <new>

CBufferArray::~CBufferArray() {
    ReleaseBuffer();
}

bool CBufferArray::AddBuffer(char* pBuf, uint64_t dwLen) {
    std::unique_ptr<char[]> chunk(pBuf);
    try {
        m_arrBuf.push_back(std::move(chunk));
    } catch (const std::bad_alloc&) {
        return false;  // the chunk is still ours and dies with it
    }
    try {
        m_arrLen.push_back(dwLen);
    } catch (const std::bad_alloc&) {
        m_arrBuf.pop_back();  // keep the two vectors in step
        return false;
    }
    m_dwBufferSize += dwLen;
    return true;
}

uint64_t CBufferArray::RecvBuffer(char* out, uint64_t dwMax) const {
    uint64_t copied = 0;
    for (size_t i = 0; i < m_arrBuf.size(); ++i) {
        if (m_arrLen[i] > dwMax - copied)
            break;
        if (m_arrLen[i] > 0)
            std::memcpy(out + copied, m_arrBuf[i].get(), m_arrLen[i]);
        copied += m_arrLen[i];
    }
    return copied;
}

void CBufferArray::ReleaseBuffer() {
    m_arrBuf.clear();
    m_arrLen.clear();
    m_dwBufferSize = 0;
}
