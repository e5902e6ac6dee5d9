// The resolver rewrite on a scratch file: announced servers and the old file text come from the
// input (pieces separated by zero bytes). A rewrite adds only server lines for valid announced
// addresses, a refused one leaves the file alone, and the restore brings back the old text byte
// for byte and forgets the saved copy and the record of what was written.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

#include "CNetHelper.h"
#include "FuzzSupport.h"

using orvane_fuzz::Check;
using orvane_fuzz::TakePiece;

namespace {

std::set<std::string> Lines(const std::string& text) {
    std::set<std::string> lines;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.insert(text.substr(pos, end - pos));
        pos = end;
    }
    return lines;
}

bool Announced(const std::string& line, const std::string& dns) {
    return !dns.empty() && CNetHelper::IsValidAddress(dns.c_str()) == 0 &&
           line == "nameserver " + dns + "\n";
}

// Every line of the new text that the old one did not have is a server line for an announced,
// valid address.
void CheckAdded(const std::string& old, const std::string& now, const std::string& dns1,
                const std::string& dns2) {
    const std::set<std::string> before = Lines(old);
    for (const std::string& line : Lines(now)) {
        if (before.count(line) == 0)
            Check(Announced(line, dns1) || Announced(line, dns2));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string dns1 = TakePiece(data, size);
    const std::string dns2 = TakePiece(data, size);
    const std::string old(reinterpret_cast<const char*>(data), size);
    const std::string path = orvane_fuzz::ScratchFile("resolv.conf");
    const std::string saved = orvane_fuzz::ScratchFile("resolv.conf.saved");
    const std::string record = orvane_fuzz::ScratchFile("resolv.conf.written");
    orvane_fuzz::WriteWhole(path, old);
    std::remove(saved.c_str());
    std::remove(record.c_str());

    CNetHelper helper(path.c_str(), saved.c_str());
    for (int round = 0; round < 2; ++round) {  // the second is a later login's rewrite
        CAutoString first(dns1.c_str()), second(dns2.c_str());
        const std::string before = orvane_fuzz::ReadWhole(path);
        if (helper.SetDNSServers(first, second) != 0) {
            Check(orvane_fuzz::ReadWhole(path) == before);
            continue;
        }
        CheckAdded(old, orvane_fuzz::ReadWhole(path), dns1, dns2);
    }
    // Half of the time the restore comes from a service started after a kill, which has only
    // the saved copy to go by.
    CNetHelper restarted(path.c_str(), saved.c_str());
    CNetHelper& restorer = (old.size() & 1) ? restarted : helper;
    Check(restorer.RestoreDNSServers() == 0);
    Check(orvane_fuzz::ReadWhole(path) == old);
    Check(!restorer.HasSavedServers() && !orvane_fuzz::Exists(saved) &&
          !orvane_fuzz::Exists(record));
    return 0;
}
