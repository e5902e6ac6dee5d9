// Portal answers as the transport hands them over: header lookup, redirect extraction from the
// Location header, a meta refresh or a script in the page head, and the address helpers the
// probe applies to a redirect. Input: status selector byte, then head, body and a header name
// separated by zero bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "CHttpData.h"
#include "CHttpHelper.h"
#include "FuzzSupport.h"

using orvane_fuzz::Check;
using orvane_fuzz::TakePiece;

namespace {

char* Owned(const std::string& text) {
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

bool HasBreak(const CAutoString& value) {
    return std::strpbrk(value.c_str(), " \r\n") != nullptr;
}

void CheckRedirect(const CHttpData& answer) {
    const CAutoString target = answer.GetRedirectAddress();
    if (target.IsEmpty())
        return;
    Check(answer.retCode == 200 || answer.retCode == 302 || answer.retCode == 303);
    Check(target.GetLength() <= CHttpData::kMaxRedirectBytes);
    Check(std::strncmp(target.c_str(), "http://", 7) == 0 ||
          std::strncmp(target.c_str(), "https://", 8) == 0);
    Check(!HasBreak(target));
    for (const char* c = target.c_str(); *c != '\0'; ++c)
        Check(!(*c >= 'A' && *c <= 'Z'));
}

void CheckAddress(const CAutoString& address) {
    CAutoString host("x"), port("y");
    if (CHttpHelper::ParseIP(address, host))
        Check(!host.IsEmpty() && std::strchr(host.c_str(), '/') == nullptr);
    host = "x";
    if (CHttpHelper::ParseIP(address, host, port))
        Check(!host.IsEmpty() && std::strchr(host.c_str(), '/') == nullptr);
    CAutoString url, params;
    CHttpHelper::ParseAddress(address, url, params);
    CHttpHelper helper;
    if (helper.SetAddress(address)) {
        for (const auto& param : helper.GetParams())
            Check(!HasBreak(param.first) && !HasBreak(param.second));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int32_t kStatus[] = {200, 302, 303, 301, 307, 404, 0, 500};
    if (size == 0)
        return 0;
    CHttpData answer(true);
    answer.retCode = kStatus[data[0] % 8];
    ++data;
    --size;
    answer.RespHead(Owned(TakePiece(data, size)));
    answer.RespData(Owned(TakePiece(data, size)));
    const std::string name = TakePiece(data, size);

    for (const char* known : {"Location", "VXR-SchoolId:", "VXR-Domain", name.c_str()})
        Check(!HasBreak(answer.GetHeadAttri(known)));
    CheckRedirect(answer);
    CheckAddress(answer.GetRedirectAddress());
    CheckAddress(CAutoString(answer.RespData()));
    return 0;
}
