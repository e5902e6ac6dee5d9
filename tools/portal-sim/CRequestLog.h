// CRequestLog: appends one JSON object a line to the request-log file.
//
// Each line is written with a single write() on a descriptor opened with O_APPEND, under a lock,
// so a reader never sees half a record and concurrent handlers never interleave.
#pragma once

#include <cjson/cJSON.h>

#include <memory>
#include <mutex>
#include <string>

struct CJsonDeleter {
    void operator()(cJSON* p) const { cJSON_Delete(p); }
};
using JsonPtr = std::unique_ptr<cJSON, CJsonDeleter>;

class CRequestLog {
public:
    CRequestLog() = default;
    ~CRequestLog();
    CRequestLog(const CRequestLog&) = delete;
    CRequestLog& operator=(const CRequestLog&) = delete;

    // Opens (creating or appending to) path. An empty path means no log; returns false when the
    // file cannot be opened.
    bool Open(const std::string& path);
    // Adds a "seq" member (1, 2, ...) and writes the record as one line. No-op without a file.
    void Append(JsonPtr record);

private:
    std::mutex m_lock;
    int m_fd = -1;
    long m_seq = 0;
};
