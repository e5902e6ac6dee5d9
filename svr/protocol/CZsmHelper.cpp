#include "CZsmHelper.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "CLog.h"
#include "CUniqueFd.h"
#include "CZxmContainer.h"

const char CZsmHelper::kNoAlgoId[] = "00000000-0000-0000-0000-000000000000";
const char CZsmHelper::kCodeFallback[] = "tarce log algo auto compstr null value";

namespace {

using CodeFn = char* (*)(const char*);
using FreeResultFn = void (*)(char*);
using PrepareCallback = void (*)(void*, const char*, void*);
using PrepareFn = int (*)(const char*, const char*, PrepareCallback, void*);

// Exchange record of one decode: capacity of data in, needed length (with terminator) out.
struct ZsoDecodeInfo {
    int32_t ret = 0;
    uint32_t size = 0;
    char* data = nullptr;
    bool called = false;
};

constexpr size_t kMaxContainerFile = CZxmContainer::kMaxUnpacked + (1u << 20);
constexpr uint32_t kMaxDecoded = 64u << 20;
constexpr size_t kFallbackBufferSize = 50;

void zsmLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void zsmLog(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    va_list again;
    va_copy(again, ap);
    const int len = vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    std::string line(len > 0 ? static_cast<size_t>(len) : 0, '\0');
    if (len > 0)
        vsnprintf(&line[0], line.size() + 1, format, again);
    va_end(again);
    // The service runs detached from any terminal: its log is where these are read.
    CLog::GetInst()->WriteLog(CLog::ERROR, "%s", line.c_str());
}

// Called by the module's Prepare with the decoded text; copies it when it fits and always
// reports the size it needs.
void ZsmPPCB(void* /*ctx*/, const char* result, void* info) {
    auto* di = static_cast<ZsoDecodeInfo*>(info);
    if (di == nullptr)
        return;
    di->called = true;
    const size_t len = result != nullptr ? strlen(result) : 0;
    if (result == nullptr || len + 1 > kMaxDecoded) {
        di->ret = -1;
        di->size = kMaxDecoded + 1;  // beyond the bound: the caller refuses it
        return;
    }
    if (di->data != nullptr && di->size >= len + 1) {
        memcpy(di->data, result, len + 1);
    } else {
        di->ret = -1;
    }
    di->size = static_cast<uint32_t>(len + 1);
}

// Removes a file when the scope ends, whatever path the scope takes.
class RemoveOnExit {
public:
    explicit RemoveOnExit(std::string path) : m_path(std::move(path)) {}
    ~RemoveOnExit() { unlink(m_path.c_str()); }
    RemoveOnExit(const RemoveOnExit&) = delete;
    RemoveOnExit& operator=(const RemoveOnExit&) = delete;

private:
    std::string m_path;
};

bool writeAll(int fd, const unsigned char* data, size_t len) {
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

char* copyText(const char* text) {
    const size_t len = strlen(text);
    char* out = new char[len + 1];
    memcpy(out, text, len + 1);
    return out;
}

char* fallbackResult() {
    char* out = new char[kFallbackBufferSize]();
    memcpy(out, CZsmHelper::kCodeFallback, sizeof(CZsmHelper::kCodeFallback));
    return out;
}

}  // namespace

// One opened module. The shared object's file is already gone; the mapping lives until dlclose.
struct CZsmHelper::ZsoFile {
    std::string keyid;
    std::string key;
    std::string algoid;
    void* dh = nullptr;
    CodeFn code = nullptr;
    FreeResultFn freeResult = nullptr;
    PrepareFn prepare = nullptr;

    ZsoFile() = default;
    ~ZsoFile() {
        if (dh != nullptr)
            dlclose(dh);
    }
    ZsoFile(const ZsoFile&) = delete;
    ZsoFile& operator=(const ZsoFile&) = delete;
};

bool CZsmHelper::FileStamp::operator==(const FileStamp& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtimeSec == o.mtimeSec &&
           mtimeNsec == o.mtimeNsec;
}

static_assert(sizeof(CZsmHelper::kCodeFallback) <= kFallbackBufferSize, "fallback fits its buffer");

CZsmHelper::CZsmHelper() : m_strAlgoId(kNoAlgoId) {}
CZsmHelper::~CZsmHelper() = default;

CZsmHelper* CZsmHelper::GetInst() {
    static CZsmHelper* const inst = new CZsmHelper();
    return inst;
}

int CZsmHelper::Init(const char* path, const char* /*preset*/, int /*presetLen*/) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_strZsm = path != nullptr ? path : "";
    m_module.reset();
    return 1;
}

void CZsmHelper::SetTempDir(const char* dir) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_strTmpDir = dir != nullptr ? dir : "";
}

void CZsmHelper::Release() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_module.reset();
}

std::string CZsmHelper::TempModulePath() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return tempModulePathLocked();
}

std::string CZsmHelper::tempModulePathLocked() const {
    return (m_strTmpDir.empty() ? std::string(".") : m_strTmpDir) + "/protect.so";
}

CAutoString CZsmHelper::GetAlgoId() {
    std::lock_guard<std::mutex> guard(m_lock);
    ZsoFile* m = openZsmModule();
    if (m == nullptr)
        return CAutoString(kNoAlgoId);
    m_strAlgoId = CAutoString(m->algoid);
    return m_strAlgoId;
}

char* CZsmHelper::Code(const char* text) {
    std::lock_guard<std::mutex> guard(m_lock);
    ZsoFile* m = openZsmModule();
    if (m == nullptr || text == nullptr)
        return fallbackResult();
    if (m->code == nullptr) {
        zsmLog("zsm code not find");
        return fallbackResult();
    }
    char* result = m->code(text);
    if (result == nullptr) {
        zsmLog("zsm code err");
        return fallbackResult();
    }
    char* copy = copyText(result);
    if (m->freeResult != nullptr)
        m->freeResult(result);
    return copy;
}

char* CZsmHelper::DeCode(const char* text) {
    std::lock_guard<std::mutex> guard(m_lock);
    ZsoFile* m = openZsmModule();
    if (m == nullptr || text == nullptr)
        return nullptr;
    if (m->prepare == nullptr) {
        zsmLog("zsm Prepare not find");
        return nullptr;
    }
    // First pass learns the size, second pass fills a buffer of that size.
    ZsoDecodeInfo info;
    int status = m->prepare(m->keyid.c_str(), text, ZsmPPCB, &info);
    if (status != 1 || !info.called || info.size == 0 || info.size > kMaxDecoded) {
        zsmLog("zsm Prepare err %d", status);
        return nullptr;
    }
    const uint32_t capacity = info.size;
    std::unique_ptr<char[]> buffer(new char[capacity]());
    info = ZsoDecodeInfo();
    info.size = capacity;
    info.data = buffer.get();
    status = m->prepare(m->keyid.c_str(), text, ZsmPPCB, &info);
    // A module that answers differently the second time must not leave a cut-off text behind.
    if (status != 1 || !info.called || info.ret != 0 || info.size > capacity) {
        zsmLog("zsm Prepare err %d", status);
        return nullptr;
    }
    return buffer.release();
}

int CZsmHelper::Update(const char* data, size_t len) {
    if (data == nullptr)
        return 0;
    CZxmContainer check;
    if (!check.Parse(reinterpret_cast<const unsigned char*>(data), len)) {
        zsmLog("zsm update refused: %s", check.Error());
        return -1;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    return UpdateZsm(data, len);
}

// Writes a temporary file of unpredictable name next to the container and renames it over the
// container, so a failed write keeps the old one and nothing planted beside it is ever opened.
int CZsmHelper::UpdateZsm(const char* data, size_t len) {
    if (m_strZsm.empty() || !CSimpleFile::WriteFileAtomic(m_strZsm.c_str(), data, len)) {
        zsmLog("Write File %s fail: %s", m_strZsm.c_str(), strerror(errno));
        return -1;
    }
    m_module.reset();
    return 1;
}

CZsmHelper::ZsoFile* CZsmHelper::openZsmModule() {
    struct stat st;
    if (m_strZsm.empty() || stat(m_strZsm.c_str(), &st) != 0) {
        m_module.reset();
        return nullptr;
    }
    FileStamp now;
    now.dev = st.st_dev;
    now.ino = st.st_ino;
    now.size = st.st_size;
    now.mtimeSec = st.st_mtim.tv_sec;
    now.mtimeNsec = st.st_mtim.tv_nsec;
    if (m_module != nullptr && now == m_stamp)
        return m_module.get();
    // The old module must be closed before the new one is opened under the same path.
    m_module.reset();
    m_module = loadZsoModule();
    return m_module.get();
}

bool CZsmHelper::readContainer(std::string& bytes, FileStamp& stamp) const {
    CUniqueFd fd(open(m_strZsm.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > kMaxContainerFile) {
        zsmLog("zsm container %s too large", m_strZsm.c_str());
        return false;
    }
    stamp.dev = st.st_dev;
    stamp.ino = st.st_ino;
    stamp.size = st.st_size;
    stamp.mtimeSec = st.st_mtim.tv_sec;
    stamp.mtimeNsec = st.st_mtim.tv_nsec;
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = read(fd.get(), &bytes[got], bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);  // a file that shrank while being read parses as what was read
    return true;
}

std::unique_ptr<CZsmHelper::ZsoFile> CZsmHelper::loadZsoModule() {
    std::string bytes;
    FileStamp stamp;
    if (!readContainer(bytes, stamp))
        return nullptr;
    CZxmContainer container;
    if (!container.Parse(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size())) {
        zsmLog("zsm container %s refused: %s", m_strZsm.c_str(), container.Error());
        return nullptr;
    }
    const std::string tmp = tempModulePathLocked();
    if (!writeTmpSo(tmp, container.Image()))
        return nullptr;
    RemoveOnExit removeTmp(tmp);
    // A module still mapped under this name (one that refused to unload) would be handed back by
    // dlopen instead of the new file.
    if (void* stale = dlopen(tmp.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
        dlclose(stale);
        zsmLog("zsm previous module still loaded, %s not loaded", tmp.c_str());
        return nullptr;
    }
    void* dh = dlopen(tmp.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (dh == nullptr) {
        const char* why = dlerror();
        zsmLog("zsm dlopen %s fail: %s", tmp.c_str(), why != nullptr ? why : "");
        return nullptr;
    }
    auto m = std::make_unique<ZsoFile>();
    m->dh = dh;
    m->keyid = container.KeyId();
    m->key = container.Key();
    m->algoid = container.AlgoId();
    m->code = reinterpret_cast<CodeFn>(dlsym(dh, "Code"));
    m->freeResult = reinterpret_cast<FreeResultFn>(dlsym(dh, "FreeResult"));
    m->prepare = reinterpret_cast<PrepareFn>(dlsym(dh, "Prepare"));
    m_stamp = stamp;
    return m;
}

// Creates protect.so fresh: a stale file or a planted link is removed first, and O_EXCL with
// O_NOFOLLOW refuses anything that appears in its place before the open.
bool CZsmHelper::writeTmpSo(const std::string& path,
                            const std::vector<unsigned char>& image) const {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        zsmLog("zsm cannot remove stale %s: %s", path.c_str(), strerror(errno));
        return false;
    }
    CUniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700));
    if (fd.get() < 0) {
        zsmLog("zsm cannot create %s: %s", path.c_str(), strerror(errno));
        return false;
    }
    bool ok = writeAll(fd.get(), image.data(), image.size()) && fchmod(fd.get(), 0700) == 0;
    ok = fd.Close() && ok;
    if (!ok) {
        zsmLog("zsm cannot write %s", path.c_str());
        unlink(path.c_str());
    }
    return ok;
}
