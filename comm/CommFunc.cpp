#include "CommFunc.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>

#include "CSimpleFile.h"

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
