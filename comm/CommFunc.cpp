#include "CommFunc.h"

#include <sys/wait.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>

#include "CSimpleFile.h"

namespace {

struct PipeCloser {
    void operator()(FILE* fp) const { ::pclose(fp); }
};
using PipePtr = std::unique_ptr<FILE, PipeCloser>;

}  // namespace

namespace CommFunc {

CAutoString GetLocalTime(const char* format) {
    char text[100] = "";
    const time_t now = std::time(nullptr);
    struct tm local;
    if (format != nullptr && localtime_r(&now, &local) != nullptr) {
        if (std::strftime(text, sizeof(text), format, &local) == 0)
            text[0] = '\0';
    }
    return CAutoString(text);
}

char* GetShellLine(const char* command, char* buffer, size_t size) {
    if (command == nullptr || *command == '\0' || buffer == nullptr || size == 0)
        return nullptr;
    PipePtr pipe(::popen(command, "r"));
    if (!pipe)
        return nullptr;
    buffer[0] = '\0';
    // fgets stops at the first line feed, so the caller's buffer is the only limit. The rest of
    // the output is not read: closing the pipe ends a talkative command instead of waiting on it.
    const int limit = size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
    if (std::fgets(buffer, limit, pipe.get()) == nullptr)
        buffer[0] = '\0';
    return Trim(buffer, " \r\n\t");
}

bool ShellExecute(const char* command) {
    if (command == nullptr || *command == '\0')
        return false;
    const int status = std::system(command);
    if (status == -1)
        return false;
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
}

bool RecuMkDir(const char* path, mode_t mode, bool lastIsFile) {
    return CSimpleFile::RecuMkDir(path, mode, lastIsFile);
}

char* Trim(char* text, const char* chars) {
    if (text == nullptr || chars == nullptr || *chars == '\0')
        return text;
    size_t len = std::strlen(text);
    while (len > 0 && std::strchr(chars, text[len - 1]) != nullptr)
        --len;
    text[len] = '\0';
    const size_t lead = std::strspn(text, chars);
    if (lead > 0)
        std::memmove(text, text + lead, len - lead + 1);
    return text;
}

}  // namespace CommFunc

void Sleep(unsigned int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool IsTelNum(const char* text) {
    if (text == nullptr)
        return false;
    for (int i = 0; i < 11; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
    }
    return text[11] == '\0';
}

char* itoa(int value, char* buffer, int base) {
    (void)base;
    if (buffer != nullptr)
        std::snprintf(buffer, 12, "%d", value);
    return buffer;
}
