// CZsmHost: the algorithm-module helper's side of the conversation (program OrvaneZsm).
//
// Runs in the unprivileged child that CZsmProcess starts, on the socket at descriptor 3. It loads
// the module handed over in the first request from a memory file (never from a path another
// process could change), then confines itself with a seccomp filter and answers coding and
// decoding requests until the socket closes. The module's constructors run before the filter,
// with the helper's user and nothing else: no other descriptors, no environment, "/" as the
// working directory.
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

    // Loads the shared object in image; false with why set when the loader refuses it.
    bool load(const std::string& image, std::string& why);
    std::string code(const std::string& text);
    std::string decode(const std::string& text);

    CFrameChannel& m_channel;
    std::string m_keyid;
    CodeFn m_code = nullptr;
    FreeResultFn m_freeResult = nullptr;
    PrepareFn m_prepare = nullptr;
};
