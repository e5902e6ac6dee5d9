// CResolvedLink: systemd-resolved's settings of one link over its D-Bus API on the system bus
// (whose address DBUS_SYSTEM_BUS_ADDRESS may change): whether the resolver service runs, what a
// link holds, the portal's servers set as the link's DNS with the routing domain "~." (every name
// goes to them), and the link put back as it was.
//
// Every call has a time limit (kCallTimeoutUsec). After a call that the bus did not answer, every
// later call of the same object fails at once, so a hung bus holds the caller for one limit, not
// one per call. Everything the bus answers is hostile input: entries are checked (Valid) and
// their count capped.
//
// One object is used by one thread at a time; it connects on first use and disconnects when it
// goes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sd_bus;
struct sd_bus_message;

class CResolvedLink {
public:
    // A server address: AF_INET with 4 bytes or AF_INET6 with 16.
    struct Server {
        int family = 0;
        std::vector<uint8_t> address;
    };
    // A search or routing domain; routeOnly is the "~" of "~example.org".
    struct Domain {
        std::string name;
        bool routeOnly = false;
    };
    // What a link holds of the two settings the service changes.
    struct Settings {
        std::vector<Server> dns;
        std::vector<Domain> domains;
        bool Empty() const { return dns.empty() && domains.empty(); }
    };

    static constexpr uint64_t kCallTimeoutUsec = 2000000;
    // More entries than a link ever holds: an answer past it is refused, not truncated.
    static constexpr size_t kMaxEntries = 64;
    static constexpr size_t kMaxDomainLength = 253;

    // busAddress: a D-Bus address to use in place of the system bus ("unix:path=..."); empty for
    // the system bus.
    explicit CResolvedLink(std::string busAddress = "") : m_address(std::move(busAddress)) {}
    ~CResolvedLink();
    // Holds the bus connection.
    CResolvedLink(const CResolvedLink&) = delete;
    CResolvedLink& operator=(const CResolvedLink&) = delete;

    // 1 when the resolver's name has an owner on the bus; 0 when it has none or there is no
    // system bus to ask; a negative error number when the bus did not answer.
    int IsRunning();
    // 0 with the link's DNS and Domains settings in before, else a negative error number.
    int ReadLink(int ifindex, Settings& before);
    // Sets servers as the link's DNS and "~." as its only domain; 0 or a negative error number.
    int SetLink(int ifindex, const std::vector<Server>& servers);
    // Puts before back: RevertLink when it is empty (the link had nothing of its own), else both
    // settings as they were. 0 or a negative error number.
    int PutBack(int ifindex, const Settings& before);
    // The bus's text for the last failure, for the log.
    const std::string& LastError() const { return m_lastError; }

    static bool Valid(const Server& server);
    static bool Valid(const Domain& domain);

private:
    int Open();
    int Call(const char* method, sd_bus_message* call, sd_bus_message** reply);
    // r, with a failure noted: refused (the peer answered with an error, message its text), or
    // not answered, which gives the connection up.
    int Answered(const char* what, int r, bool refused, const char* message);
    // Gets a property of the link object at path, its array entered.
    int Property(const std::string& path, const char* member, const char* type,
                 sd_bus_message** reply);
    int NewCall(const char* method, int ifindex, sd_bus_message** call);
    int SetDns(int ifindex, const std::vector<Server>& servers);
    int SetDomains(int ifindex, const std::vector<Domain>& domains);
    int LinkPath(int ifindex, std::string& path);
    int ReadDns(const std::string& path, std::vector<Server>& dns);
    int ReadDomains(const std::string& path, std::vector<Domain>& domains);
    int Failed(int error, const char* what);

    std::string m_address;
    sd_bus* m_bus = nullptr;
    int m_broken = 0;  // the error of a call the bus did not answer; later calls fail with it
    std::string m_lastError;
};
