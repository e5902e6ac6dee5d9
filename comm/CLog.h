// CLog: the service's log writer. Every line is the local time "%m-%d %H:%M:%S ", the message and
// a line feed, with no level tag.
//
// Thread-safe: each line is formatted first and then written whole, with one write(2) under the
// log's lock, so lines of different threads never interleave. Lines written before Create has
// opened the file are dropped.
//
// Logged text carries values from the network, so every message is made safe before it is
// written: it is cut at kMaxMessageBytes, and CR, LF, tab and every other control character are
// written as escapes ("\r", "\n", "\t", "\xHH"), so one call is always exactly one line and no
// value can forge another. When a line would take the file past its size cap, the file is
// renamed to GetPath() + ".1" (replacing the previous old file) and a new one is started.
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

    // Bytes of one formatted message that are kept; the rest is replaced by a note of its size.
    static constexpr size_t kMaxMessageBytes = 4096;
    // Size of the log file at which it is rotated, unless SetMaxFileSize changes it.
    static constexpr size_t kDefaultMaxFileBytes = 8 * 1024 * 1024;

    // The process-wide log, created during static initialisation and never destroyed.
    static CLog* GetInst();

    // The programs use GetInst(); tests build their own logs pointed at a temporary folder.
    CLog() = default;
    ~CLog() override = default;

    // Opens (creating if needed, for appending) directory + dateFormat-of-now + "_" + name. The
    // directory is created when missing; when that fails the name is used without it, relative
    // to the working directory. An empty directory or date format leaves that part out. Returns
    // 0 when the file is open, -1 when nothing could be opened (lines are then dropped). A file
    // with a second link or a link at the name is never opened; a line on standard error says so.
    int Create(const char* directory, const char* name, const char* dateFormat);
    // Closes the file; later lines are dropped until the next Create.
    void Close();
    // Lines of a level above this one are not written. 0 (errors only) until set.
    void SetLevel(int level) { m_level.store(level); }
    int GetLevel() const { return m_level.load(); }
    // The path that the last Create opened, empty when none.
    std::string GetPath() const;
    // Size cap of the file (at least one line is always written to a fresh file).
    void SetMaxFileSize(size_t bytes);

    // printf-style; writes one line when level <= GetLevel() and the text is not empty.
    void WriteLog(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Formats the local time of now with the strftime format into buffer (size bytes). Returns
    // the length written, 0 when it does not fit or the time cannot be read (buffer is then "").
    static size_t getTimeNow(char* buffer, size_t size, const char* format);

    // message as it is written: trailing line feeds dropped, cut at kMaxMessageBytes, control
    // characters escaped.
    static std::string MakeSafe(const std::string& message);
    // A secret (a ticket) in a form fit for the log: its length, and its first four characters
    // when it is longer than eight.
    static std::string Abbreviate(const char* secret);

private:
    // Opens path for appending and learns its size; m_mutex held.
    int OpenLocked(const std::string& path);
    // Moves the full file aside and starts a new one under the same name; m_mutex held.
    void RotateLocked();

    std::atomic<int> m_level{0};
    mutable std::mutex m_mutex;
    std::string m_path;
    size_t m_size = 0;
    size_t m_maxSize = kDefaultMaxFileBytes;
};
