#include "CPortalParser.h"

#include <iconv.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "CZsmHelper.h"

namespace {

// Owns one iconv conversion descriptor.
class IconvHandle {
public:
    IconvHandle(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~IconvHandle() {
        if (Valid())
            iconv_close(m_cd);
    }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;
    bool Valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return m_cd; }

private:
    iconv_t m_cd;
};

struct ZsmResultDeleter {
    void operator()(char* p) const { CZsmHelper::FreeResult(p); }
};
using ZsmResult = std::unique_ptr<char, ZsmResultDeleter>;

std::string workingDirectory() {
    std::string buf(1024, '\0');
    while (getcwd(&buf[0], buf.size()) == nullptr) {
        if (errno != ERANGE || buf.size() >= (1u << 16))
            return ".";
        buf.resize(buf.size() * 2);
    }
    return std::string(buf.c_str());
}

}  // namespace

CPortalParser::~CPortalParser() {
    Release();
}

int CPortalParser::Init() {
    const std::string path = workingDirectory() + "/zuvUzarod.zxm";
    return CZsmHelper::GetInst()->Init(path.c_str(), nullptr, 0);
}

void CPortalParser::Release() {
    CZsmHelper::GetInst()->Release();
}

CAutoString CPortalParser::MakeRequestHead(const CAutoString& userAgent,
                                           const CAutoString& clientId, const CAutoString& checksum,
                                           const CAutoString& schoolId, const CAutoString& domain,
                                           const CAutoString& area) {
    const CAutoString algoId = GetAlgoId();
    CAutoString head;
    head.Format(
        "Connection:close\r\nUser-Agent:%s\r\nAlgo-ID:%s\r\nClient-ID:%s\r\nVXR-Checksum:%s\r\n",
        userAgent.c_str(), algoId.c_str(), clientId.c_str(), checksum.c_str());
    CAutoString line;
    if (!schoolId.IsEmpty() && line.Format("VXR-SchoolId:%s\r\n", schoolId.c_str()) > 0)
        head += line;
    if (!domain.IsEmpty() && line.Format("VXR-Domain:%s\r\n", domain.c_str()) > 0)
        head += line;
    if (!area.IsEmpty() && line.Format("VXR-Area:%s\r\n", area.c_str()) > 0)
        head += line;
    return head;
}

CAutoString CPortalParser::EncodePostRequestData(const CAutoString& document) {
    ZsmResult coded(CZsmHelper::GetInst()->Code(document.c_str()));
    return coded ? CAutoString(coded.get()) : CAutoString();
}

CAutoString CPortalParser::DecodePostResponseData(const char* body) {
    ZsmResult decoded(CZsmHelper::GetInst()->DeCode(body != nullptr ? body : ""));
    if (!decoded)
        return CAutoString("");
    const size_t n = strlen(decoded.get());
    // GB18030 never needs more bytes than UTF-8 for the same text; 3n plus a terminator is ample.
    std::unique_ptr<char[]> converted(new char[3 * n + 1]());
    if (CodeConvert("UTF-8", "GB18030", decoded.get(), n, converted.get(), 3 * n) < 0) {
        return CAutoString(decoded.get());
    }
    return CAutoString(converted.get());
}

int32_t CPortalParser::CodeConvert(const char* from, const char* to, const char* input,
                                   size_t inLen, char* output, size_t outLen) {
    if (from == nullptr || to == nullptr || (input == nullptr && inLen > 0) || output == nullptr)
        return -1;
    IconvHandle cd(to, from);
    if (!cd.Valid())
        return -1;
    memset(output, 0, outLen);
    char* in = const_cast<char*>(input);  // iconv's prototype is not const-correct; it only reads
    char* out = output;
    size_t inLeft = inLen;
    size_t outLeft = outLen;
    const size_t rc = iconv(cd.Get(), &in, &inLeft, &out, &outLeft);
    if (rc == static_cast<size_t>(-1))
        return -1;
    return static_cast<int32_t>(rc);
}

CAutoString CPortalParser::GetAlgoId() {
    return CZsmHelper::GetInst()->GetAlgoId();
}

int32_t CPortalParser::UpdateAlgoidBody(const char* data, uint64_t len) {
    if (data == nullptr || len == 0)
        return 0;
    return CZsmHelper::GetInst()->Update(data, static_cast<size_t>(len));
}
