#include "CRequestLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

CRequestLog::~CRequestLog() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool CRequestLog::Open(const std::string& path) {
    if (path.empty())
        return true;
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return m_fd >= 0;
}

void CRequestLog::Append(JsonPtr record) {
    if (!record)
        return;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_fd < 0)
        return;
    cJSON_AddNumberToObject(record.get(), "seq", static_cast<double>(++m_seq));
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_PrintUnformatted(record.get()),
                                                      &cJSON_free);
    if (!text)
        return;
    std::string line = std::string(text.get()) + "\n";
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(m_fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}
