// CZsmHost: the algorithm-module helper's side of the conversation (program OrvaneZsm).
//
// Runs in the unprivileged child that CZsmProcess starts, on the socket at descriptor 3. It loads
// the module handed over in the first request from a memory file (never from a path another
// process could change) under a first seccomp filter, so that even the module's constructors
// cannot start a process, open a socket, send a signal or write a file; then narrows the filter
// further and answers coding and decoding requests until the socket closes (see CZsmFilter.h).
#pragma once

#include <string>

class CFrameChannel;

class CZsmHost {
public:
    explicit CZsmHost(CFrameChannel& channel) : m_channel(channel) {}
    CZsmHost(const CZsmHost&) = delete;
    CZsmHost& operator=(const CZsmHost&) = delete;

    // Serves until the socket closes. Returns the process's exit status: 0 after an orderly
    // end, 2 when the load, the confinement or a request failed, 3 after an oversized answer.
    int Run();

private:
    using CodeFn = char* (*)(const char*);
    using FreeResultFn = void (*)(char*);
    using PrepareCallback = void (*)(void*, const char*, void*);
    using PrepareFn = int (*)(const char*, const char*, PrepareCallback, void*);

    // Loads the module under the loading filter, then puts the serving filter in force; false
    // with why set.
    bool loadConfined(const std::string& image, std::string& why);
    // A memory file holding image, or -1 with why set.
    static int writeImage(const std::string& image, std::string& why);
    // Loads the shared object in the memory file; false with why set when the loader refuses it.
    bool load(int memFd, std::string& why);
    std::string code(const std::string& text);
    std::string decode(const std::string& text);

    CFrameChannel& m_channel;
    std::string m_keyid;
    CodeFn m_code = nullptr;
    FreeResultFn m_freeResult = nullptr;
    PrepareFn m_prepare = nullptr;
};
