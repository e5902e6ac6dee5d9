#include "CSimOptions.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <functional>

#include <iconv.h>

namespace {

using Setter = std::function<bool(CSimOptions&, const std::string&, std::string&)>;

struct OptionDef {
    const char* name;
    const char* arg;  // nullptr: a switch without value
    const char* help;
    Setter set;
};

bool ReadInt(const std::string& text, int minValue, int& out, std::string& error) {
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < minValue || v > INT_MAX) {
        error = "not a number in range: '" + text + "'";
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

Setter Text(std::string CSimOptions::*field) {
    return [field](CSimOptions& o, const std::string& v, std::string&) {
        o.*field = v;
        return true;
    };
}

Setter Int(int CSimOptions::*field, int minValue) {
    return [field, minValue](CSimOptions& o, const std::string& v, std::string& e) {
        return ReadInt(v, minValue, o.*field, e);
    };
}

Setter Flag(bool CSimOptions::*field, bool value) {
    return [field, value](CSimOptions& o, const std::string&, std::string&) {
        o.*field = value;
        return true;
    };
}

bool SetAccount(CSimOptions& o, const std::string& v, std::string& e) {
    size_t colon = v.find(':');
    if (colon == std::string::npos || colon == 0) {
        e = "account must be USER:PASSWORD: '" + v + "'";
        return false;
    }
    o.accounts[v.substr(0, colon)] = v.substr(colon + 1);
    return true;
}

// A code page iconv can convert the page into.
bool SetPageCharset(CSimOptions& o, const std::string& v, std::string& e) {
    const iconv_t cd = iconv_open(v.c_str(), "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        e = "no converter from UTF-8 to '" + v + "'";
        return false;
    }
    iconv_close(cd);
    o.pageCharset = v;
    return true;
}

// Where the simulator listens, what it logs and which accounts and containers it uses.
std::vector<OptionDef> ServerOptions() {
    return {
        {"listen", "ADDR", "loopback address to listen on (default 127.0.0.1)",
         Text(&CSimOptions::listenAddr)},
        {"port", "N", "port to listen on; 0 picks a free one (default 0)",
         Int(&CSimOptions::port, 0)},
        {"port-file", "FILE", "write the port in use to FILE once listening",
         Text(&CSimOptions::portFile)},
        {"control-port", "N",
         "take control commands on a listener of their own at N (0: a free one), which a "
         "'refuse' fault leaves open (default: on the main listener)",
         Int(&CSimOptions::controlPort, 0)},
        {"control-port-file", "FILE",
         "write the control listener's port to FILE (before --port-file is written)",
         Text(&CSimOptions::controlPortFile)},
        {"request-log", "FILE", "append every request, decoded, as one JSON object a line",
         Text(&CSimOptions::requestLog)},
        {"config", "FILE", "read 'name = value' lines with these option names", nullptr},
        {"account", "USER:PASS", "an account the login accepts (repeatable; default demo:demo)",
         SetAccount},
        {"container", "FILE", "algorithm container used to decode requests and code answers",
         Text(&CSimOptions::container)},
        {"renew-container", "FILE",
         "second container sent with Error-Code 200 by the 'renew' fault",
         Text(&CSimOptions::renewContainer)},
    };
}

// What the configuration and the answers announce: intervals, reports, updates, rules, servers.
std::vector<OptionDef> ConfigOptions() {
    return {
        {"state-interval", "S", "state poll interval in the configuration (default 2)",
         Int(&CSimOptions::stateInterval, 0)},
        {"keep-interval", "S", "keep-alive interval in keep answers (default 2)",
         Int(&CSimOptions::keepInterval, 0)},
        {"keep-level", "N", "keep-alive level in keep answers (default 1)",
         Int(&CSimOptions::keepLevel, 0)},
        {"keep-retry", "N", "keep-retry in login answers (default 2)",
         Int(&CSimOptions::keepRetry, 0)},
        {"ticket-expire", "S", "ticket lifetime in seconds (default 300)",
         Int(&CSimOptions::ticketExpire, 1)},
        {"stats-interval", "S", "interval of the StatsInfor entry (default 2)",
         Int(&CSimOptions::statsInterval, 0)},
        {"no-stats", nullptr, "leave the StatsInfor entry out of the configuration",
         Flag(&CSimOptions::stats, false)},
        {"stats-enable", "N", "enable attribute of the StatsInfor entry (default 1)",
         Int(&CSimOptions::statsEnable, 0)},
        {"stats-refuse", nullptr, "StatsInfor names a port where every connection is refused",
         Flag(&CSimOptions::statsRefuse, true)},
        {"stats-stall", nullptr, "the statistics server records reports but holds its answers back",
         Flag(&CSimOptions::statsStall, true)},
        {"no-update", nullptr, "leave the Update entry out of the configuration",
         Flag(&CSimOptions::update, false)},
        {"update-no-list", nullptr, "answer the update query without a package list (\"pkgxmls\")",
         Flag(&CSimOptions::updateList, false)},
        {"against-interval", "S", "against-interval in user-config; 0 leaves it out (default 0)",
         Int(&CSimOptions::againstInterval, 0)},
        {"logout-delay", "S", "logout-delay in user-config (default 300)",
         Int(&CSimOptions::logoutDelay, 0)},
        {"against-extra", "XML", "extra markup inside user-config (the against list)",
         Text(&CSimOptions::againstExtra)},
        {"servers", "LIST", "server-clusters list (default: this simulator's host:port)",
         Text(&CSimOptions::servers)},
        {"account-rule", "TYPE[:VALUE]", "account/modify rule, e.g. add-domain:campus",
         Text(&CSimOptions::accountRule)},
        {"dns1", "ADDR", "first DNS server in domain-config of login answers",
         Text(&CSimOptions::dns1)},
        {"dns2", "ADDR", "second DNS server in domain-config", Text(&CSimOptions::dns2)},
        {"user-id", "TEXT", "userid of login and state answers (default: the account)",
         Text(&CSimOptions::userId)},
        {"note", "TEXT",
         "a 'note' element holding TEXT (any UTF-8) in the page's configuration and body and in "
         "every ticket, login, keep and state answer",
         Text(&CSimOptions::note)},
    };
}

// The page, the probe's redirect, the packages and the faults.
std::vector<OptionDef> PageAndFaultOptions() {
    return {
        {"page-charset", "NAME", "serve the portal page converted to NAME with iconv, e.g. GBK",
         SetPageCharset},
        {"page-config", "FILE",
         "serve the configuration block as FILE holds it, read at each page request, with every "
         "'@BASE@' replaced by this simulator's base URL (for hostile configurations)",
         Text(&CSimOptions::pageConfig)},
        {"redirect-to", "URL", "Location of the probe's redirect instead of the portal page",
         Text(&CSimOptions::redirectTo)},
        {"huge-page", "MIB", "the first portal page request gets MIB MiB of filler after the page",
         Int(&CSimOptions::hugePageMib, 0)},
        {"renew-unchecked", nullptr,
         "the renew fault sends the second container as it is, without loading it (for broken "
         "containers); later requests keep the first one",
         Flag(&CSimOptions::renewUnchecked, true)},
        {"gateway-by-address", nullptr,
         "the probe passes only a client whose address holds a login (its ticket's ipv4), as "
         "a gateway that tells clients apart by address; default: any login passes",
         Flag(&CSimOptions::gatewayByAddress, true)},
        {"school-id", "ID", "schoolid: header of probe answers", Text(&CSimOptions::schoolId)},
        {"domain", "D", "domain: header of probe answers", Text(&CSimOptions::domain)},
        {"area", "A", "area: header of probe answers", Text(&CSimOptions::area)},
        {"wlan-user-ip", "ADDR", "wlanuserip of the redirect (default: the prober's address)",
         Text(&CSimOptions::wlanUserIp)},
        {"wlan-ac-ip", "ADDR", "wlanacip of the redirect (default 127.0.0.1)",
         Text(&CSimOptions::wlanAcIp)},
        {"wlan-user-mac", "MAC", "wlanusermac of the redirect", Text(&CSimOptions::wlanUserMac)},
        {"update-package", "NAME=FILE", "serve FILE as the binfile of package NAME (repeatable)",
         [](CSimOptions& o, const std::string& v, std::string& e) {
             return o.AddPackageFile(v, false, e);
         }},
        {"update-exefile", "NAME=FILE", "serve FILE as the exefile of package NAME (repeatable)",
         [](CSimOptions& o, const std::string& v, std::string& e) {
             return o.AddPackageFile(v, true, e);
         }},
        {"fault", "RULE", "inject a fault, KIND:N[+]:ACTION[:ARG] (repeatable, see below)",
         [](CSimOptions& o, const std::string& v, std::string&) {
             o.faults.push_back(v);
             return true;
         }},
        {"help", nullptr, "print this text", Flag(&CSimOptions::helpRequested, true)},
    };
}

const std::vector<OptionDef>& Table() {
    static const std::vector<OptionDef> table = [] {
        std::vector<OptionDef> all = ServerOptions();
        for (auto group : {ConfigOptions(), PageAndFaultOptions()})
            all.insert(all.end(), group.begin(), group.end());
        return all;
    }();
    return table;
}

const OptionDef* Find(const std::string& name) {
    for (const OptionDef& def : Table()) {
        if (name == def.name)
            return &def;
    }
    return nullptr;
}

std::string Strip(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

}  // namespace

bool CSimOptions::Apply(const std::string& name, const std::string& value, std::string& error) {
    if (name == "config")
        return ParseConfigFile(value, error);
    const OptionDef* def = Find(name);
    if (!def) {
        error = "unknown option '" + name + "'";
        return false;
    }
    if (!def->set(*this, value, error)) {
        error = "--" + name + ": " + error;
        return false;
    }
    return true;
}

bool CSimOptions::AddPackageFile(const std::string& spec, bool exe, std::string& error) {
    size_t eq = spec.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == spec.size()) {
        error = "package must be NAME=FILE: '" + spec + "'";
        return false;
    }
    std::string name = spec.substr(0, eq);
    SimPackage* pkg = nullptr;
    for (SimPackage& p : packages) {
        if (p.name == name)
            pkg = &p;
    }
    if (!pkg) {
        packages.push_back(SimPackage{name, "", ""});
        pkg = &packages.back();
    }
    (exe ? pkg->exeFile : pkg->binFile) = spec.substr(eq + 1);
    return true;
}

bool CSimOptions::Parse(int argc, char** argv, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word.rfind("--", 0) != 0) {
            error = "unexpected argument '" + word + "'";
            return false;
        }
        std::string name = word.substr(2), value;
        size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        } else if (name == "config" || (Find(name) && Find(name)->arg)) {
            if (i + 1 >= argc) {
                error = "--" + name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (!Apply(name, value, error))
            return false;
    }
    if (accounts.empty())
        accounts["demo"] = "demo";
    return true;
}

bool CSimOptions::ParseConfigFile(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read config file '" + path + "'";
        return false;
    }
    std::string line;
    for (int lineNo = 1; std::getline(in, line); ++lineNo) {
        line = Strip(line);
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        std::string name = Strip(line.substr(0, eq));
        std::string value = eq == std::string::npos ? "" : Strip(line.substr(eq + 1));
        if (name == "config") {
            error = path + ":" + std::to_string(lineNo) + ": config files do not nest";
            return false;
        }
        if (!Apply(name, value, error)) {
            error = path + ":" + std::to_string(lineNo) + ": " + error;
            return false;
        }
    }
    return true;
}

void CSimOptions::PrintHelp(std::ostream& out) {
    out << "usage: portal-sim [--option VALUE | --option=VALUE]...\n"
           "Plays the campus gateway, portal servers, statistics and update servers on one\n"
           "loopback address. Stops on SIGTERM or SIGINT.\n\nOptions:\n";
    for (const OptionDef& def : Table()) {
        std::string left =
            std::string("  --") + def.name + (def.arg ? std::string(" ") + def.arg : "");
        out << left << std::string(left.size() < 32 ? 32 - left.size() : 1, ' ') << def.help
            << "\n";
    }
    out << "\nFault rules KIND:N[+]:ACTION[:ARG]: the N-th request of KIND (N+ : the N-th and "
           "every\n"
           "later one) gets ACTION instead of its normal answer; N 'next' is the first request\n"
           "of KIND after the rule is added.\n"
           "  KIND   probe page ticket auth keep state term query stats update download any\n"
           "  ACTION refuse[:MS]     close the listener for MS ms (default 2000); this request is "
           "dropped\n"
           "         drop            close the connection without an answer\n"
           "         delay:MS        wait MS ms, then answer normally\n"
           "         http500         answer HTTP 500\n"
           "         garbage         answer 200 with a body that is not coded\n"
           "         truncate        announce a longer body than is sent, then close\n"
           "         flood:BYTES     answer 200 with BYTES bytes, sent as they go (no length)\n"
           "         listsize:TEXT   (update) list every package file with size TEXT\n"
           "         redirect        answer 302 to the portal page (intercepted)\n"
           "         notag           answer 200 with Error-Code 0 but no Server-Tag (intercepted)\n"
           "         error:CODE[:SUB] answer Error-Code CODE with Sub-Error SUB\n"
           "         lastlogin:TEXT  answer Error-Code 105 with Last-Login TEXT\n"
           "         endlogin        end the login at the portal and answer Error-Code 14\n"
           "         renew           answer Error-Code 200 with the renew container; later\n"
           "                         requests must use it\n"
           "\nControl: POST /sim/control (to the --control-port listener when one is given) with\n"
           "one command a line: 'fault RULE', 'clear-faults',\n"
           "'end-login' (the portal ends every login), 'login-elsewhere USER' (every open ticket\n"
           "is logged in as USER, as by another program), 'reset' (forget tickets and logins),\n"
           "'stats-stall on|off' (the statistics server holds its answers back until it stops,\n"
           "at most 60 s, or answers again).\n";
}
