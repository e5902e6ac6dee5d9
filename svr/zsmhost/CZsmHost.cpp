#include "CZsmHost.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "CFrameChannel.h"
#include "CUniqueFd.h"
#include "CZsmFilter.h"
#include "ZsmProtocol.h"

#ifndef MFD_EXEC
#define MFD_EXEC 0x0010U
#endif

namespace {

// Collects the text the module's Prepare hands to its callback.
struct DecodeSink {
    std::string text;
    bool called = false;
    bool tooLarge = false;
};

void collectDecoded(void* /*ctx*/, const char* result, void* info) {
    auto* sink = static_cast<DecodeSink*>(info);
    if (sink == nullptr || result == nullptr)
        return;
    sink->called = true;
    const size_t len = strlen(result);
    sink->tooLarge = len > ZsmProtocol::kMaxAnswer;
    if (!sink->tooLarge)
        sink->text.assign(result, len);
}

bool writeAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// A memory file that may be mapped executable; kernels that do not know MFD_EXEC refuse the flag.
int executableMemfd() {
    int fd = memfd_create("zsm-module", MFD_CLOEXEC | MFD_EXEC);
    if (fd < 0 && errno == EINVAL)
        fd = memfd_create("zsm-module", MFD_CLOEXEC);
    return fd;
}

std::string answer(char status, const std::string& payload = std::string()) {
    std::string out(1, status);
    out += payload;
    return out;
}

}  // namespace

int CZsmHost::writeImage(const std::string& image, std::string& why) {
    CUniqueFd mem(executableMemfd());
    if (mem.get() < 0 || !writeAll(mem.get(), image.data(), image.size())) {
        why = std::string("memory file: ") + strerror(errno);
        return -1;
    }
    return mem.Release();
}

bool CZsmHost::load(int memFd, std::string& why) {
    const std::string path = "/proc/self/fd/" + std::to_string(memFd);
    // Never closed: the process ends with the module.
    void* dh = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (dh == nullptr) {
        const char* err = dlerror();
        why = std::string("dlopen: ") + (err != nullptr ? err : "refused");
        return false;
    }
    m_code = reinterpret_cast<CodeFn>(dlsym(dh, "Code"));
    m_freeResult = reinterpret_cast<FreeResultFn>(dlsym(dh, "FreeResult"));
    m_prepare = reinterpret_cast<PrepareFn>(dlsym(dh, "Prepare"));
    return true;
}

std::string CZsmHost::code(const std::string& text) {
    if (m_code == nullptr)
        return answer(ZsmProtocol::kStNoSymbol);
    char* result = m_code(text.c_str());
    if (result == nullptr)
        return answer(ZsmProtocol::kStFailed);
    const bool fits = strlen(result) <= ZsmProtocol::kMaxAnswer;
    std::string out =
        fits ? answer(ZsmProtocol::kStText, result) : answer(ZsmProtocol::kStTooLarge);
    if (m_freeResult != nullptr)
        m_freeResult(result);
    return out;
}

std::string CZsmHost::decode(const std::string& text) {
    if (m_prepare == nullptr)
        return answer(ZsmProtocol::kStNoSymbol);
    DecodeSink sink;
    const int status = m_prepare(m_keyid.c_str(), text.c_str(), collectDecoded, &sink);
    if (status == 1 && sink.called)
        return sink.tooLarge ? answer(ZsmProtocol::kStTooLarge)
                             : answer(ZsmProtocol::kStText, sink.text);
    const uint32_t u = static_cast<uint32_t>(status);
    const char le[4] = {static_cast<char>(u & 0xff), static_cast<char>((u >> 8) & 0xff),
                        static_cast<char>((u >> 16) & 0xff), static_cast<char>((u >> 24) & 0xff)};
    return answer(ZsmProtocol::kStFailed, std::string(le, sizeof(le)));
}

bool CZsmHost::loadConfined(const std::string& image, std::string& why) {
    // Both filters are built before the first is in force: building one makes calls of its own.
    CZsmFilter loading(CZsmFilter::kLoading, ZsmProtocol::kHostSocketFd);
    CZsmFilter serving(CZsmFilter::kServing, ZsmProtocol::kHostSocketFd);
    CUniqueFd mem(writeImage(image, why));
    if (mem.get() < 0)
        return false;
    // Before any of the module's code runs (its constructors run inside dlopen): /proc/self and
    // ptrace are closed to other processes of this user, and the loading filter is in force.
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0 || !loading.Load()) {
        why = "confinement could not be set up";
        return false;
    }
    if (!load(mem.get(), why))
        return false;
    // The mapping keeps the module; the descriptor must go while closing is still allowed.
    if (!mem.Close() || !serving.Load()) {
        why = "confinement could not be set up";
        return false;
    }
    return true;
}

int CZsmHost::Run() {
    std::string request;
    if (m_channel.Receive(request, -1) != CFrameChannel::kOk || request.empty() ||
        request[0] != ZsmProtocol::kOpLoad || request.size() < 1 + ZsmProtocol::kKeyIdLen)
        return 2;
    m_keyid = request.substr(1, ZsmProtocol::kKeyIdLen);
    std::string image = request.substr(1 + ZsmProtocol::kKeyIdLen);
    request.clear();
    request.shrink_to_fit();
    std::string why;
    loadConfined(image, why);
    if (!why.empty()) {
        m_channel.Send(answer(ZsmProtocol::kStLoadFailed, why), -1);
        return 2;
    }
    if (m_channel.Send(answer(ZsmProtocol::kStLoaded), -1) != CFrameChannel::kOk)
        return 0;
    while (m_channel.Receive(request, -1) == CFrameChannel::kOk) {
        std::string out;
        if (!request.empty() && request[0] == ZsmProtocol::kOpCode)
            out = code(request.substr(1));
        else if (!request.empty() && request[0] == ZsmProtocol::kOpDecode)
            out = decode(request.substr(1));
        else
            return 2;
        if (m_channel.Send(out, -1) != CFrameChannel::kOk)
            return 0;
        if (out[0] == ZsmProtocol::kStTooLarge)
            return 3;
    }
    return 0;
}
