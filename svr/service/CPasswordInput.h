// CPasswordInput: the console password read from standard input instead of the command line, so
// that it stays out of shell history and of every process listing. Used by start-up, before any
// other thread exists and before the console starts reading its answers from the same descriptor.
#pragma once

#include "CAutoString.h"

class CPasswordInput {
public:
    enum Result {
        kRead = 0,   // a non-empty password was read
        kEmpty,      // end of input before any character, or an empty first line
        kTooLong,    // the first line is longer than kMaxLength
        kReadError,  // the descriptor could not be read
    };
    // Longer lines are refused, not cut: a cut password would only be refused by the portal.
    static constexpr size_t kMaxLength = 1024;

    // Reads the first line of fd into password: up to the first line feed (not included, nor a
    // carriage return before it) or end of input. Reads one byte at a time, so nothing after the
    // line is taken from the descriptor: later lines stay for the console's answers. On a
    // terminal the typing is not echoed and a prompt goes to standard error. Whatever was read
    // is wiped from the memory used for reading; on any result but kRead password is left empty.
    static Result ReadLine(int fd, CAutoString& password);
    // A line for the user that explains a result other than kRead.
    static const char* Describe(Result result);

    // Overwrites the text's characters with zero bytes where they are, then empties it.
    static void Wipe(CAutoString& text);
};
