// CBufferArray: collects a response in the chunks in which it arrives, so nothing is copied twice
// and no size has to be known in advance.
//
// Invariant: m_arrBuf and m_arrLen have equal length and m_dwBufferSize is the sum of m_arrLen.
// Not thread-safe; one transfer owns one collector.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

class CBufferArray {
public:
    CBufferArray() = default;
    virtual ~CBufferArray();
    CBufferArray(const CBufferArray&) = delete;
    CBufferArray& operator=(const CBufferArray&) = delete;

    // Appends a chunk allocated with new[]; ownership passes in (also when false is returned).
    // Returns false only when the bookkeeping could not grow; the chunk is then freed.
    bool AddBuffer(char* pBuf, uint64_t dwLen);
    uint64_t GetAllBufferSize() const { return m_dwBufferSize; }
    // Copies whole chunks in arrival order into out while the total stays within dwMax, stopping
    // at the first chunk that does not fit. Never writes past dwMax. Returns the bytes copied.
    uint64_t RecvBuffer(char* out, uint64_t dwMax) const;
    // Frees every chunk; the collector is empty afterwards.
    void ReleaseBuffer();

private:
    std::vector<std::unique_ptr<char[]>> m_arrBuf;
    std::vector<uint64_t> m_arrLen;
    uint64_t m_dwBufferSize = 0;
};
