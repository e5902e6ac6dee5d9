#include "CLog.h"

#include <sys/stat.h>

#include <cerrno>
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

// CR, LF and tab as their C escapes, every other control character as "\xHH"; bytes from 0x80
// up are text (UTF-8 or GB18030) and stay.
std::string Escaped(const std::string& text) {
    std::string safe;
    safe.reserve(text.size() + 16);
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\r') {
            safe += "\\r";
        } else if (c == '\n') {
            safe += "\\n";
        } else if (c == '\t') {
            safe += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            safe += hex;
        } else {
            safe += ch;
        }
    }
    return safe;
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
    return OpenLocked(path);
}

int CLog::OpenLocked(const std::string& path) {
    const int rc = CreateFile(path.c_str(), "a+");
    if (rc != 0 && (errno == EMLINK || errno == ELOOP || errno == EINVAL)) {
        // Lines are dropped from here on, so this is the only word of why the log stays empty.
        const char* why = errno == EMLINK
                              ? "it has more than one link, so lines would land elsewhere"
                          : errno == ELOOP ? "it is a symbolic link"
                                           : "it is not a regular file";
        std::fprintf(stderr, "the log %s is not written: %s\n", path.c_str(), why);
    }
    m_path = rc == 0 ? path : std::string();
    struct stat st;
    m_size = rc == 0 && stat(path.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
    return rc;
}

void CLog::RotateLocked() {
    const std::string path = m_path;
    CloseFile();
    // rename replaces whatever is at the old name, a link included, without following it. When
    // it fails the full file is reopened and kept rather than lost; the next line tries again.
    (void)std::rename(path.c_str(), (path + ".1").c_str());
    OpenLocked(path);
}

void CLog::SetMaxFileSize(size_t bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_maxSize = bytes;
}

std::string CLog::MakeSafe(const std::string& message) {
    size_t length = message.size();
    while (length > 0 && (message[length - 1] == '\n' || message[length - 1] == '\r'))
        --length;
    if (length <= kMaxMessageBytes)
        return Escaped(message.substr(0, length));
    return Escaped(message.substr(0, kMaxMessageBytes)) + "...(" + std::to_string(length) +
           " bytes, cut)";
}

std::string CLog::Abbreviate(const char* secret) {
    const std::string text = secret != nullptr ? secret : "";
    // A short secret would be all but given away by its first characters.
    const std::string head = text.size() > 8 ? Escaped(text.substr(0, 4)) : std::string();
    return head + "...(" + std::to_string(text.size()) + " chars)";
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
    const std::string message = MakeSafe(FormatArgs(format, args));
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
    if (m_size > 0 && m_size + line.size() > m_maxSize) {
        RotateLocked();
        if (!IsOpen())
            return;
    }
    if (WriteFile(line.data(), line.size()) == 0)
        m_size += line.size();
}
