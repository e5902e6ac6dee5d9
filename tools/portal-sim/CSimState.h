// CSimState: tickets and logins of the simulated portal.
//
// A ticket is issued to a client, expires after its lifetime unless a login holds it, and carries
// at most one login. The portal can end a login on its own (Error-Code 14 afterwards). All
// operations are thread-safe and answer with the portal's result code.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// Result codes sent in "Error-Code".
enum SimCode : int {
    kCodeOk = 0,
    kCodeMalformed = 2,    // body not decodable, or not a request document
    kCodeChecksum = 4,     // VXR-Checksum does not match the body
    kCodeAlgoId = 5,       // Algo-ID names another container
    kCodeBadTicket = 10,   // ticket unknown or expired
    kCodeBadAccount = 11,  // account unknown or password wrong
    kCodeNoLogin = 13,     // the ticket holds no login
    kCodeEnded = 14,       // the portal ended this login
    kCodeRenew = 200,      // body is a replacement algorithm container
    kCodeStateIdle = 300,  // ticket known, no login yet
    kCodeStateNoTicket = 301,
};

struct SimTerminal {
    std::string ticket;
    std::string hostName;
    std::string ip4;
};

class CSimState {
public:
    CSimState(int ticketLifetimeSec, std::map<std::string, std::string> accounts);

    std::string IssueTicket(const std::string& clientId, const std::string& hostName,
                            const std::string& ip4);
    int Login(const std::string& ticket, const std::string& account, const std::string& password);
    // kCodeOk while the ticket's login is alive; kCodeEnded once the portal ended it.
    int Keep(const std::string& ticket);
    // kCodeOk with the account of the login; kCodeStateIdle, kCodeStateNoTicket or kCodeEnded.
    int State(const std::string& ticket, std::string& account);
    int Logout(const std::string& ticket, const std::string& reason);
    void EndAllLogins();
    // Every open ticket gets a login for account, as if the user had logged in from the portal
    // page or another program with that ticket; returns how many tickets were taken.
    int AdoptOpenTickets(const std::string& account);
    void Reset();

    bool AnyLoggedIn();
    // A login is alive on a ticket issued to this address.
    bool LoggedInFrom(const std::string& ip4);
    // The account logged in on a ticket of this client, or empty.
    std::string AccountOfClient(const std::string& clientId);
    std::vector<SimTerminal> Terminals(const std::string& account);

private:
    using Clock = std::chrono::steady_clock;
    struct Ticket {
        Clock::time_point expiry;
        std::string clientId, hostName, ip4;
        std::string account;  // non-empty while logged in or ended
        bool loggedIn = false;
        bool ended = false;
    };
    // Caller holds m_lock. Null for an unknown ticket or an expired one without a login.
    Ticket* FindLocked(const std::string& ticket);

    const int m_lifetimeSec;
    const std::map<std::string, std::string> m_accounts;
    std::mutex m_lock;
    std::map<std::string, Ticket> m_tickets;
    unsigned long m_serial = 0;
};
