// Small helpers shared by both programs: time text, directories and trimming,
// plus a few free functions.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "CAutoString.h"

namespace CommFunc {

// The local time of now formatted with strftime (at most 99 characters; "" when it does not
// fit). The programs use "%Y-%m-%d %H:%M:%S".
CAutoString GetLocalTime(const char* format);

// See CSimpleFile::RecuMkDir.
bool RecuMkDir(const char* path, mode_t mode, bool lastIsFile);

// Strips every character of chars from both ends of text, in place. Returns text.
char* Trim(char* text, const char* chars);

}  // namespace CommFunc

// Sleeps for ms milliseconds.
void Sleep(unsigned int ms);

// True when text is exactly 11 decimal digits (a mobile telephone number).
bool IsTelNum(const char* text);

// Writes value in decimal into buffer, which must hold at least 12 bytes; base is not used (every
// caller wants decimal). Returns buffer.
char* itoa(int value, char* buffer, int base);
