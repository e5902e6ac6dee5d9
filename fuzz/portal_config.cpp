// Fuzzes everything the service reads out of portal pages and portal answers: the configuration
// block cut out of a page, the configuration document, the three answer documents and the Wi-Fi
// time lookups. Answers are fed as decoded documents; decoding belongs to the algorithm module.
#include "CPortalParser.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CPortalParser parser;

    // As a whole page, and as a configuration document in its own right, twice on one record so
    // the overwrite of an existing record is exercised as well.
    std::unique_ptr<CAuthConfig> config;
    CAutoString block;
    if (parser.GetConfigWithString(text.c_str(), block) > 0) parser.ParserConfig(block, config);
    parser.ParserConfig(text.c_str(), config);
    if (config) {
        CPortalParser::GetCheckWifiShareTime(config->againstList);
        CPortalParser::GetCheckWifiLogoutTime(config->againstList);
    }

    CAutoString ticket, userid, keepUrl, termUrl, userConfig, domainConfig;
    int expire = 0, keepRetry = 0, interval = 0, level = 0;
    CPortalParser::ReadTickResponse(text.c_str(), ticket, expire);
    CPortalParser::ReadAuthResponse(text.c_str(), userid, keepRetry, keepUrl, termUrl, userConfig,
                                    domainConfig);
    CPortalParser::ReadKeepResponse(text.c_str(), interval, level);
    CPortalParser::GetCheckWifiShareTime(text.c_str());
    CPortalParser::GetCheckWifiLogoutTime(text.c_str());
    return 0;
}
