// CSimOptions: every setting of portal-sim, read from the command line and an optional config file.
//
// The config file holds one "name = value" per line with the long option names (without "--");
// blank lines and lines starting with '#' are skipped. Options given on the command line after
// "--config" override the file, those before it are overridden by it (plain left-to-right order).
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

// One package the update server offers: a name and up to two files (binfile, exefile).
struct SimPackage {
    std::string name;
    std::string binFile;
    std::string exeFile;
};

class CSimOptions {
public:
    std::string listenAddr = "127.0.0.1";
    int port = 0;  // 0: any free port, written to portFile
    std::string portFile;
    std::string requestLog;
    int controlPort = -1;  // -1: control commands on the main listener; 0: any free port
    std::string controlPortFile;

    std::map<std::string, std::string> accounts;  // account -> password
    std::string container;       // algorithm container the portal servers code with
    std::string renewContainer;  // second container handed out on a renewal demand

    int stateInterval = 2;
    int keepInterval = 2;
    int keepLevel = 1;
    int keepRetry = 2;
    int ticketExpire = 300;
    int statsInterval = 2;
    int againstInterval = 0;  // 0: no "against-interval" element
    int logoutDelay = 300;
    std::string againstExtra;  // extra markup placed inside "user-config"
    std::string servers;       // "server-clusters" list; empty: this simulator's own address
    std::string accountRule;   // "TYPE" or "TYPE:VALUE" for account/modify
    std::string dns1, dns2;
    std::string userId;       // "userid" of login and state answers; empty: the account
    std::string note;         // text of a "note" element in the page and in the answers
    std::string pageCharset;  // code page the portal page is served in; empty: UTF-8

    // Hostile pages and answers for the end-to-end tests.
    std::string pageConfig;       // file holding the configuration block verbatim; empty: generated
    std::string redirectTo;       // Location of the probe's redirect; empty: this simulator's page
    int hugePageMib = 0;          // the first portal page carries this many MiB of filler
    bool renewUnchecked = false;  // the renew fault sends the second container without loading it
    // The probe counts as logged in only for the address a login's ticket was issued to, as a
    // gateway that tells its clients apart by address does; otherwise any login will do.
    bool gatewayByAddress = false;

    std::string schoolId, domain, area;  // gateway headers, sent when all are set
    std::string wlanUserIp;              // empty: the prober's own address
    std::string wlanAcIp = "127.0.0.1";
    std::string wlanUserMac = "00-11-22-33-44-55";

    bool stats = true;
    int statsEnable = 1;       // "enable" of the StatsInfor entry
    bool statsRefuse = false;  // the StatsInfor address names a port that refuses connections
    bool statsStall = false;   // the statistics server records a report but never answers it
    bool update = true;
    bool updateList = true;  // false: the update answer has no "pkgxmls" at all
    std::vector<SimPackage> packages;
    std::vector<std::string> faults;

    bool helpRequested = false;

    // Parses argv. Returns false with a message in error on any unknown option, missing or bad
    // value, or unreadable config file.
    bool Parse(int argc, char** argv, std::string& error);
    // Applies one "name = value" line set; used for the config file.
    bool ParseConfigFile(const std::string& path, std::string& error);

    // Adds "NAME=FILE" as the binfile (exe false) or exefile of package NAME.
    bool AddPackageFile(const std::string& spec, bool exe, std::string& error);

    static void PrintHelp(std::ostream& out);

private:
    bool Apply(const std::string& name, const std::string& value, std::string& error);
};
