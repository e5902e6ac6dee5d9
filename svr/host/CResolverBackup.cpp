#include "CResolverBackup.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "CLog.h"
#include "CSimpleFile.h"
#include "CUniqueFd.h"

namespace {

// A file of ours: a regular file of this user that nobody else may write, read whole. Anything
// else at the path is reported and ignored.
bool ReadOwnFile(const std::string& path, std::string& text) {
    CUniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 022) != 0) {
        CLog::GetInst()->WriteLog(
            CLog::ERROR, "[CResolverBackup] %s is not a file of ours, ignored", path.c_str());
        return false;
    }
    text.clear();
    return CSimpleFile::ReadAll(fd.get(), text);
}

// Replaced through a temporary file renamed into place (mode 0600, a link at the path replaced,
// never followed), so a crash leaves either the old file or the whole new one.
int WriteOwnFile(const std::string& path, const std::string& text) {
    if (CSimpleFile::WriteFileAtomic(path.c_str(), text.data(), text.size(), false))
        return 0;
    return errno != 0 ? errno : EIO;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        if (end > pos)
            lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

}  // namespace

CResolverBackup::CResolverBackup(std::string savedPath, std::string recordPath)
    : m_savedPath(std::move(savedPath)), m_recordPath(std::move(recordPath)) {}

bool CResolverBackup::Load() {
    return m_held || LoadFromDisk();
}

bool CResolverBackup::LoadFromDisk() {
    if (m_savedPath.empty() || !ReadOwnFile(m_savedPath, m_original))
        return false;
    // Without a record nothing on the file can be proved ours: IsOurs answers no to every text.
    std::string record;
    m_digests.clear();
    if (!m_recordPath.empty() && ReadOwnFile(m_recordPath, record))
        m_digests = Lines(record);
    if (m_digests.size() > kMaxDigests)
        m_digests.erase(m_digests.begin(), m_digests.end() - kMaxDigests);
    m_held = true;
    return true;
}

bool CResolverBackup::IsOurs(const std::string& text) const {
    const std::string digest = Digest(text);
    return !digest.empty() &&
           std::find(m_digests.begin(), m_digests.end(), digest) != m_digests.end();
}

int CResolverBackup::Begin(const std::string& original) {
    Forget();
    if (!m_savedPath.empty()) {
        if (int error = WriteOwnFile(m_savedPath, original))
            return error;
    }
    m_original = original;
    m_held = true;
    return 0;
}

int CResolverBackup::Note(const std::string& text) {
    const std::string digest = Digest(text);
    if (digest.empty())
        return EIO;  // a text that could not be noted must not be written
    if (std::find(m_digests.begin(), m_digests.end(), digest) != m_digests.end())
        return 0;
    std::vector<std::string> previous = m_digests;
    m_digests.push_back(digest);
    if (m_digests.size() > kMaxDigests)
        m_digests.erase(m_digests.begin());
    if (int error = WriteRecord()) {
        m_digests.swap(previous);
        return error;
    }
    return 0;
}

int CResolverBackup::WriteRecord() const {
    if (m_savedPath.empty() || m_recordPath.empty())
        return 0;
    std::string record;
    for (const std::string& digest : m_digests)
        record += digest + "\n";
    return WriteOwnFile(m_recordPath, record);
}

void CResolverBackup::Forget() {
    m_held = false;
    m_original.clear();
    m_digests.clear();
    // The copy goes first: a record without a copy is never read, a copy without a record is
    // never applied.
    if (!m_savedPath.empty())
        unlink(m_savedPath.c_str());
    if (!m_recordPath.empty())
        unlink(m_recordPath.c_str());
}

std::string CResolverBackup::Digest(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        return std::string();
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0x0f];
    }
    return hex;
}
