#include "CPipeSplitter.h"

#include <cstdio>

void CPipeSplitter::Feed(const char* data, size_t len, const Deliver& deliver) {
    size_t start = 0;
    for (size_t i = 0; i < len; ++i) {
        if (data[i] != '\0')
            continue;
        if (m_bDiscarding) {
            // The zero byte that ends an oversize message: the stream is in step again.
            m_bDiscarding = false;
        } else if (m_partial.empty()) {
            deliver(CAutoString(data + start, i - start));
        } else {
            m_partial.append(data + start, i - start);
            deliver(CAutoString(m_partial));
            m_partial.clear();
        }
        start = i + 1;
    }
    if (m_bDiscarding || start == len)
        return;
    // The read ended inside a message: keep its beginning for the next read.
    m_partial.append(data + start, len - start);
    if (m_partial.size() > m_maxMessage) {
        printf("pipe message longer than %zu bytes without terminator dropped\n", m_maxMessage);
        std::string().swap(m_partial);
        m_bDiscarding = true;
    }
}

size_t CPipeSplitter::Reset() {
    const size_t dropped = m_partial.size();
    std::string().swap(m_partial);
    m_bDiscarding = false;
    return dropped;
}
