// CLog: the service's log writer. Every line is the local time "%m-%d %H:%M:%S ", the message and
// a line feed, with no level tag.
//
// Thread-safe: each line is formatted first and then written whole, with one write(2) under the
// log's lock, so lines of different threads never interleave. Lines written before Create has
// opened the file are dropped.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>

#include "CSimpleFile.h"

// Private base: the stream must only be reached under the log's lock.
class CLog : private CSimpleFile {
public:
    enum LEVEL { ERROR = 0, WARN = 1, NOTICE = 2, INFO = 3, DEBUG = 4 };

    // The process-wide log, created during static initialisation and never destroyed.
    static CLog* GetInst();

    // The programs use GetInst(); tests build their own logs pointed at a temporary folder.
    CLog() = default;
    ~CLog() override = default;

    // Opens (creating if needed, for appending) directory + dateFormat-of-now + "_" + name. The
    // directory is created when missing; when that fails the name is used without it, relative
    // to the working directory. An empty directory or date format leaves that part out. Returns
    // 0 when the file is open, -1 when nothing could be opened (lines are then dropped).
    int Create(const char* directory, const char* name, const char* dateFormat);
    // Closes the file; later lines are dropped until the next Create.
    void Close();
    // Lines of a level above this one are not written. 0 (errors only) until set.
    void SetLevel(int level) { m_level.store(level); }
    int GetLevel() const { return m_level.load(); }
    // The path that the last Create opened, empty when none.
    std::string GetPath() const;

    // printf-style; writes one line when level <= GetLevel() and the text is not empty.
    void WriteLog(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Formats the local time of now with the strftime format into buffer (size bytes). Returns
    // the length written, 0 when it does not fit or the time cannot be read (buffer is then "").
    static size_t getTimeNow(char* buffer, size_t size, const char* format);

private:
    std::atomic<int> m_level{0};
    mutable std::mutex m_mutex;
    std::string m_path;
};
