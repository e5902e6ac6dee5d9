#include "CSimCodec.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "CZsmHelper.h"

namespace {

// A loader result released with the loader's own call.
struct ZsmResultDeleter {
    void operator()(char* p) const { CZsmHelper::GetInst()->FreeResult(p); }
};
using ZsmResult = std::unique_ptr<char, ZsmResultDeleter>;

}  // namespace

bool CSimCodec::Load(const std::string& path) {
    std::lock_guard<std::mutex> guard(m_lock);
    CZsmHelper* zsm = CZsmHelper::GetInst();
    // The simulator runs from the build tree, where the helper program is not next to it.
    zsm->SetHostPath(ORVANE_ZSM_HOST);
    zsm->Init(path.c_str(), nullptr, 0);
    std::string id = zsm->GetAlgoId().ToStdString();
    if (id.empty() || id == CZsmHelper::kNoAlgoId) {
        // Keep serving with the container that worked.
        if (!m_path.empty())
            zsm->Init(m_path.c_str(), nullptr, 0);
        return false;
    }
    m_path = path;
    m_algoId = id;
    return true;
}

std::string CSimCodec::AlgoId() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_algoId;
}

bool CSimCodec::Decode(const std::string& coded, std::string& plain) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_path.empty() || coded.empty())
        return false;
    ZsmResult out(CZsmHelper::GetInst()->DeCode(coded.c_str()));
    if (!out)
        return false;
    plain = out.get();
    return true;
}

std::string CSimCodec::Encode(const std::string& plain) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_path.empty())
        return "";
    ZsmResult out(CZsmHelper::GetInst()->Code(plain.c_str()));
    if (!out || std::strcmp(out.get(), CZsmHelper::kCodeFallback) == 0)
        return "";
    return out.get();
}

std::string CSimCodec::Md5Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &len, EVP_md5(), nullptr) != 1)
        return "";
    std::string hex;
    char byte[3];
    for (unsigned int i = 0; i < len; ++i) {
        std::snprintf(byte, sizeof byte, "%02x", digest[i]);
        hex += byte;
    }
    return hex;
}
