#include "CZsmHelper.h"

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
#include "CSimpleFile.h"
#include "CUniqueFd.h"
#include "CZxmContainer.h"
#include "ZsmProtocol.h"

const char CZsmHelper::kNoAlgoId[] = "00000000-0000-0000-0000-000000000000";
const char CZsmHelper::kCodeFallback[] = "tarce log algo auto compstr null value";

namespace {

constexpr size_t kMaxContainerFile = CZxmContainer::kMaxUnpacked + (1u << 20);
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

// Text from the helper goes into log lines: printable ASCII only, and not much of it.
std::string printable(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, 200))
        out += (c >= 0x20 && c < 0x7f) ? c : '?';
    return out;
}

// The folder of this program, where OrvaneZsm is installed next to it.
std::string ownFolder() {
    std::string buf(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", &buf[0], buf.size());
    if (n <= 0 || static_cast<size_t>(n) >= buf.size())
        return ".";
    buf.resize(static_cast<size_t>(n));
    const size_t slash = buf.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : buf.substr(0, slash));
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
    m_process.Stop();
    return 1;
}

void CZsmHelper::SetHostPath(const char* path) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_strHostPath = path != nullptr ? path : "";
    m_process.Stop();
}

void CZsmHelper::Release() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_process.Stop();
}

pid_t CZsmHelper::HelperPid() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_process.Pid();
}

std::string CZsmHelper::hostPathLocked() const {
    if (!m_strHostPath.empty())
        return m_strHostPath;
    return ownFolder() + "/" + ZsmProtocol::kHostProgram;
}

CAutoString CZsmHelper::GetAlgoId() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!ensureHelper())
        return CAutoString(kNoAlgoId);
    m_strAlgoId = CAutoString(m_loadedAlgoId);
    return m_strAlgoId;
}

char* CZsmHelper::Code(const char* text) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::string answer;
    if (text == nullptr || !ensureHelper() || !callHelper(ZsmProtocol::kOpCode, text, answer))
        return fallbackResult();
    switch (answer[0]) {
        case ZsmProtocol::kStText:
            return copyText(answer.c_str() + 1);
        case ZsmProtocol::kStNoSymbol:
            zsmLog("zsm code not find");
            break;
        default:
            zsmLog("zsm code err");
            break;
    }
    return fallbackResult();
}

char* CZsmHelper::DeCode(const char* text) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::string answer;
    if (text == nullptr || !ensureHelper() || !callHelper(ZsmProtocol::kOpDecode, text, answer))
        return nullptr;
    if (answer[0] == ZsmProtocol::kStText)
        return copyText(answer.c_str() + 1);
    if (answer[0] == ZsmProtocol::kStNoSymbol) {
        zsmLog("zsm Prepare not find");
        return nullptr;
    }
    uint32_t status = 0;
    for (size_t i = 0; i < 4 && i + 1 < answer.size(); ++i)
        status |= static_cast<uint32_t>(static_cast<unsigned char>(answer[i + 1])) << (8 * i);
    zsmLog("zsm Prepare err %d", static_cast<int32_t>(status));
    return nullptr;
}

bool CZsmHelper::callHelper(char op, const char* text, std::string& answer) {
    std::string request(1, op);
    request += text;
    CZsmProcess::Result r = m_process.Call(request, answer);
    if (r == CZsmProcess::kOk && !answer.empty() && answer[0] != ZsmProtocol::kStTooLarge)
        return true;
    if (r == CZsmProcess::kOk && !answer.empty()) {
        m_process.Stop();
        r = CZsmProcess::kTooLarge;  // the helper measured it instead of sending it
    }
    switch (r) {
        case CZsmProcess::kTimeout:
            zsmLog("zsm module gave no answer within %d ms, helper ended",
                   CZsmProcess::kCallTimeoutMs);
            break;
        case CZsmProcess::kTooLarge:
            zsmLog("zsm module answered more than %u bytes, helper ended",
                   static_cast<unsigned>(ZsmProtocol::kMaxAnswer));
            break;
        case CZsmProcess::kOk:
            zsmLog("zsm helper sent an empty answer, helper ended");
            m_process.Stop();
            break;
        default:
            zsmLog("zsm helper ended during a call (%s)", m_process.LastEnd().c_str());
            break;
    }
    return false;
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
    // The old helper goes first: a renewal never depends on the old module letting go.
    m_process.Stop();
    const int r = UpdateZsm(data, len);
    if (r == 1)
        ensureHelper();
    return r;
}

// Writes a temporary file of unpredictable name next to the container and renames it over the
// container, so a failed write keeps the old one and nothing planted beside it is ever opened.
int CZsmHelper::UpdateZsm(const char* data, size_t len) {
    if (m_strZsm.empty() || !CSimpleFile::WriteFileAtomic(m_strZsm.c_str(), data, len)) {
        zsmLog("Write File %s fail: %s", m_strZsm.c_str(), strerror(errno));
        return -1;
    }
    return 1;
}

bool CZsmHelper::ensureHelper() {
    struct stat st;
    if (m_strZsm.empty() || stat(m_strZsm.c_str(), &st) != 0) {
        m_process.Stop();
        return false;
    }
    FileStamp now;
    now.dev = st.st_dev;
    now.ino = st.st_ino;
    now.size = st.st_size;
    now.mtimeSec = st.st_mtim.tv_sec;
    now.mtimeNsec = st.st_mtim.tv_nsec;
    if (m_process.Running() && now == m_stamp)
        return true;
    m_process.Stop();
    return startHelper();
}

bool CZsmHelper::startHelper() {
    std::string bytes;
    FileStamp read;
    if (!readContainer(bytes, read))
        return false;
    CZxmContainer container;
    if (!container.Parse(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size())) {
        zsmLog("zsm container %s refused: %s", m_strZsm.c_str(), container.Error());
        return false;
    }
    bytes.clear();
    std::string why;
    if (!m_process.Start(hostPathLocked(), container.KeyId(), container.Image(), why)) {
        zsmLog("zsm module of %s not loaded: %s", m_strZsm.c_str(), printable(why).c_str());
        return false;
    }
    // The stamp of what was read: a change after the first look is seen by the next call.
    m_stamp = read;
    m_loadedAlgoId = container.AlgoId();
    return true;
}

bool CZsmHelper::readContainer(std::string& bytes, FileStamp& stamp) const {
    // Never through a link, nor a file that shares its inode with a name elsewhere.
    CUniqueFd fd(CSimpleFile::OpenSingleLink(AT_FDCWD, m_strZsm.c_str(), O_RDONLY));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0)
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
