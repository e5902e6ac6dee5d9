// The three portal answers (ticket, login, keep-alive) as decoded documents; decoding belongs to
// the algorithm module, which the fuzzer does not load. A document that is not a "response" leaves
// every output as the caller set it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "CPortalParser.h"
#include "FuzzSupport.h"

using orvane_fuzz::Check;

namespace {

const CAutoString kMark("mark");

void TicketAnswer(const char* doc) {
    CAutoString ticket = kMark;
    int expire = -7;
    if (CPortalParser::ReadTickResponse(doc, ticket, expire) != 0)
        Check(ticket == kMark && expire == -7);
}

void LoginAnswer(const char* doc) {
    CAutoString userid = kMark, keepUrl = kMark, termUrl = kMark, userConfig = kMark,
                domainConfig = kMark;
    int keepRetry = -7;
    if (CPortalParser::ReadAuthResponse(doc, userid, keepRetry, keepUrl, termUrl, userConfig,
                                        domainConfig) != 0) {
        Check(userid == kMark && keepUrl == kMark && termUrl == kMark && userConfig == kMark &&
              domainConfig == kMark && keepRetry == -7);
    }
}

void KeepAnswer(const char* doc) {
    int interval = -7, level = -7;
    if (CPortalParser::ReadKeepResponse(doc, interval, level) != 0)
        Check(interval == -7 && level == -7);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    TicketAnswer(text.c_str());
    LoginAnswer(text.c_str());
    KeepAnswer(text.c_str());
    CPortalParser::GetCheckWifiShareTime(text.c_str());
    CPortalParser::GetCheckWifiLogoutTime(text.c_str());

    return 0;
}
