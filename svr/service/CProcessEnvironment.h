// CProcessEnvironment: the environment the service runs with.
//
// The service runs as root but inherits its environment from whoever started it. Variables that
// change how the loader, the C library, libcurl or TLS behave (a preload, another message
// catalogue or converter module, a proxy, a file that receives TLS keys) would let that caller
// steer the root process, so they are removed, and PATH becomes a fixed list of system folders.
// The sanitizer options of test builds (ASAN_OPTIONS, TSAN_OPTIONS, ...) are kept: they are read
// before main and affect only those builds.
#pragma once

#include <string>

class CProcessEnvironment {
public:
    // The PATH the service runs with: system folders that only root can change.
    static constexpr const char* kPath = "/usr/sbin:/usr/bin:/sbin:/bin";

    // True when the variable name is removed by Sanitise.
    static bool IsDropped(const std::string& name);
    // Removes every variable IsDropped names and sets PATH to kPath. Must run before any thread
    // is started (the environment is not thread-safe). Returns the number of variables removed.
    static int Sanitise();
};
