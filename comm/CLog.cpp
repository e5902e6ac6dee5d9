#include "CLog.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

// The log exists before main runs, as every part of the service may log from its constructors.
CLog* const g_logAtStartup = CLog::GetInst();

const char kStampFormat[] = "%m-%d %H:%M:%S ";

// vasprintf semantics without a length limit; empty on a formatting failure.
std::string FormatArgs(const char* format, va_list args) {
    if (format == nullptr)
        return std::string();
    va_list copy;
    va_copy(copy, args);
    const int need = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (need <= 0)
        return std::string();
    std::vector<char> buffer(static_cast<size_t>(need) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    return std::string(buffer.data(), static_cast<size_t>(need));
}

}  // namespace

CLog* CLog::GetInst() {
    static CLog* const instance = new CLog();
    return instance;
}

size_t CLog::getTimeNow(char* buffer, size_t size, const char* format) {
    if (buffer == nullptr || size == 0)
        return 0;
    buffer[0] = '\0';
    if (format == nullptr)
        return 0;
    const time_t now = std::time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr)
        return 0;
    const size_t n = std::strftime(buffer, size, format, &local);
    if (n == 0)
        buffer[0] = '\0';
    return n;
}

int CLog::Create(const char* directory, const char* name, const char* dateFormat) {
    std::string path;
    if (directory != nullptr && *directory != '\0') {
        // RecuMkDir also accepts an existing directory; a file in the way drops the folder part.
        if (RecuMkDir(directory, 0700, false)) {
            path = directory;
            if (path.back() != '/' && path.back() != '\\')
                path += '/';
        }
    }
    if (dateFormat != nullptr && *dateFormat != '\0') {
        char date[50];  // a date prefix longer than this is left out rather than cut
        if (getTimeNow(date, sizeof(date), dateFormat) > 0) {
            path += date;
            path += '_';
        }
    }
    if (name != nullptr)
        path += name;

    std::lock_guard<std::mutex> lock(m_mutex);
    const int rc = CreateFile(path.c_str(), "a+");
    m_path = rc == 0 ? path : std::string();
    return rc;
}

void CLog::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    CloseFile();
    m_path.clear();
}

std::string CLog::GetPath() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_path;
}

void CLog::WriteLog(int level, const char* format, ...) {
    if (m_level.load() < level)
        return;
    va_list args;
    va_start(args, format);
    const std::string message = FormatArgs(format, args);
    va_end(args);
    if (message.empty())
        return;

    std::lock_guard<std::mutex> lock(m_mutex);
    if (!IsOpen())
        return;
    // Stamped under the lock so that the stamps in the file never go backwards.
    char stamp[32];
    const size_t stampLen = getTimeNow(stamp, sizeof(stamp), kStampFormat);
    std::string line(stamp, stampLen);
    line += message;
    line += '\n';
    WriteFile(line.data(), line.size());
}
