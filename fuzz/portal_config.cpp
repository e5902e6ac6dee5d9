// The portal page and its configuration: the block cut out of a page, then the configuration
// document read into a record, twice on one record so that overwriting an existing record is
// exercised too, and the sharing-check times read from the against list it carried.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "CPortalParser.h"
#include "FuzzSupport.h"

using orvane_fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CPortalParser parser;

    std::unique_ptr<CAuthConfig> config;
    CAutoString block("untouched");
    const int length = parser.GetConfigWithString(text.c_str(), block);
    if (length > 0) {
        // The block is the text between the markers, found in the page as it stands.
        Check(static_cast<unsigned>(length) == block.GetLength());
        Check(std::strstr(text.c_str(), block.c_str()) != nullptr);
        Check(std::strstr(block.c_str(), "//auth.orvane.local-->") == nullptr);
        parser.ParserConfig(block.c_str(), config);
    } else {
        Check(length == 0 && block == CAutoString("untouched"));
    }
    // A rejected document still leaves the record it created, with its defaults.
    parser.ParserConfig(text.c_str(), config);
    Check(config != nullptr);
    CPortalParser::GetCheckWifiShareTime(config->againstList);
    CPortalParser::GetCheckWifiLogoutTime(config->againstList);
    return 0;
}
