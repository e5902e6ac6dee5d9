// Small helpers shared by both programs: time text, shell commands, directories and trimming,
// plus a few free functions.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "CAutoString.h"

namespace CommFunc {

// The local time of now formatted with strftime (at most 99 characters; "" when it does not
// fit). The programs use "%Y-%m-%d %H:%M:%S".
CAutoString GetLocalTime(const char* format);

// Runs command through the shell and copies the first line of its output (at most size - 1
// bytes) into buffer, with blanks, CR, LF and tabs stripped from both ends. Returns buffer, or
// null when the command is empty, buffer is unusable or the shell cannot be started. The command
// is executed as given: callers build it only from values they chose or checked.
char* GetShellLine(const char* command, char* buffer, size_t size);

// Runs command with the system shell (same caller duty as above). False when the shell reports
// status 127 (command not found), the shell cannot be started, or the command is empty.
bool ShellExecute(const char* command);

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
