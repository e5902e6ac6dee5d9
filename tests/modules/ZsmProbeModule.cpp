// A hostile algorithm module for the tests of the module's confinement. It keeps the exported
// contract (Code, FreeResult, Prepare) and misbehaves on request:
//
//   at load   its constructor records its effective user id
//   Code(t)   t = "crash": dies of an illegal instruction; "loop": never returns; "huge": answers
//             100 MB; "open": tries to open a file and answers "open-ok" or "open-failed";
//             anything else: answers "euid=<id>"
//   Prepare   "crash", "loop" and "huge" as above; anything else decodes to itself
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

struct ZsmKeySlot {
    char marker[24];
    char keyid[3];
    unsigned char keyLen;
    char key[255];
};

extern "C" {
__attribute__((visibility("default"), used))
ZsmKeySlot kZsmKeySlot = {"orvane.zxm.keyslot.v1", {'P', 'R', 'B'}, 0, ""};
}

namespace {

using PrepareCallback = void (*)(void* ctx, const char* text, void* info);

constexpr size_t kHuge = 100u << 20;
int g_euid = -1;

__attribute__((constructor)) void probeAtLoad() {
    g_euid = static_cast<int>(geteuid());
}

char* copy(const std::string& s) {
    char* out = static_cast<char*>(malloc(s.size() + 1));
    if (out != nullptr)
        memcpy(out, s.c_str(), s.size() + 1);
    return out;
}

char* huge() {
    char* out = static_cast<char*>(malloc(kHuge + 1));
    if (out == nullptr)
        return nullptr;
    memset(out, 'h', kHuge);
    out[kHuge] = '\0';
    return out;
}

// Misbehaviours shared by Code and Prepare; returns only for texts that are none of them.
void misbehave(const char* text) {
    if (strcmp(text, "crash") == 0)
        __builtin_trap();
    if (strcmp(text, "loop") == 0) {
        for (;;)
            __asm__ volatile("");
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) char* Code(const char* text) {
    misbehave(text);
    if (strcmp(text, "huge") == 0)
        return huge();
    if (strcmp(text, "open") == 0) {
        const int fd = open("/etc/hostname", O_RDONLY | O_CLOEXEC);
        if (fd >= 0)
            close(fd);
        return copy(fd >= 0 ? "open-ok" : "open-failed");
    }
    char line[32];
    snprintf(line, sizeof(line), "euid=%d", g_euid);
    return copy(line);
}

extern "C" __attribute__((visibility("default"))) void FreeResult(char* result) {
    free(result);
}

extern "C" __attribute__((visibility("default"))) int Prepare(const char* /*keyid*/,
                                                              const char* text, PrepareCallback cb,
                                                              void* info) {
    if (text == nullptr || cb == nullptr)
        return -1;
    misbehave(text);
    if (strcmp(text, "huge") == 0) {
        char* big = huge();
        if (big == nullptr)
            return 0;
        cb(nullptr, big, info);
        free(big);
        return 1;
    }
    cb(nullptr, text, info);
    return 1;
}
