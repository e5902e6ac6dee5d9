#include "CSimState.h"

#include <cstdio>
#include <utility>

CSimState::CSimState(int ticketLifetimeSec, std::map<std::string, std::string> accounts)
    : m_lifetimeSec(ticketLifetimeSec), m_accounts(std::move(accounts)) {}

CSimState::Ticket* CSimState::FindLocked(const std::string& ticket) {
    auto it = m_tickets.find(ticket);
    if (it == m_tickets.end())
        return nullptr;
    Ticket& t = it->second;
    if (!t.loggedIn && !t.ended && Clock::now() >= t.expiry)
        return nullptr;
    return &t;
}

std::string CSimState::IssueTicket(const std::string& clientId, const std::string& hostName,
                                   const std::string& ip4) {
    std::lock_guard<std::mutex> guard(m_lock);
    char id[40];
    std::snprintf(id, sizeof id, "TK%08lX%08lX", ++m_serial,
                  static_cast<unsigned long>(Clock::now().time_since_epoch().count() & 0xffffffff));
    Ticket& t = m_tickets[id];
    t.expiry = Clock::now() + std::chrono::seconds(m_lifetimeSec);
    t.clientId = clientId;
    t.hostName = hostName;
    t.ip4 = ip4;
    return id;
}

int CSimState::Login(const std::string& ticket, const std::string& account,
                     const std::string& password) {
    std::lock_guard<std::mutex> guard(m_lock);
    Ticket* t = FindLocked(ticket);
    if (!t)
        return kCodeBadTicket;
    auto acc = m_accounts.find(account);
    if (acc == m_accounts.end() || acc->second != password)
        return kCodeBadAccount;
    t->account = account;
    t->loggedIn = true;
    t->ended = false;
    return kCodeOk;
}

int CSimState::Keep(const std::string& ticket) {
    std::lock_guard<std::mutex> guard(m_lock);
    Ticket* t = FindLocked(ticket);
    if (!t)
        return kCodeBadTicket;
    if (t->ended)
        return kCodeEnded;
    return t->loggedIn ? kCodeOk : kCodeNoLogin;
}

int CSimState::State(const std::string& ticket, std::string& account) {
    std::lock_guard<std::mutex> guard(m_lock);
    Ticket* t = FindLocked(ticket);
    if (!t)
        return kCodeStateNoTicket;
    if (t->ended)
        return kCodeEnded;
    if (!t->loggedIn)
        return kCodeStateIdle;
    account = t->account;
    return kCodeOk;
}

int CSimState::Logout(const std::string& ticket, const std::string& /*reason*/) {
    std::lock_guard<std::mutex> guard(m_lock);
    Ticket* t = FindLocked(ticket);
    if (!t)
        return kCodeBadTicket;
    if (t->ended)
        return kCodeEnded;
    if (!t->loggedIn)
        return kCodeNoLogin;
    t->loggedIn = false;
    t->account.clear();
    return kCodeOk;
}

void CSimState::EndAllLogins() {
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto& entry : m_tickets) {
        if (entry.second.loggedIn) {
            entry.second.loggedIn = false;
            entry.second.ended = true;
        }
    }
}

int CSimState::AdoptOpenTickets(const std::string& account) {
    std::lock_guard<std::mutex> guard(m_lock);
    int taken = 0;
    for (auto& entry : m_tickets) {
        Ticket& t = entry.second;
        if (t.loggedIn || t.ended || Clock::now() >= t.expiry)
            continue;
        t.account = account;
        t.loggedIn = true;
        ++taken;
    }
    return taken;
}

void CSimState::Reset() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_tickets.clear();
}

bool CSimState::AnyLoggedIn() {
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& entry : m_tickets) {
        if (entry.second.loggedIn)
            return true;
    }
    return false;
}

bool CSimState::LoggedInFrom(const std::string& ip4) {
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& entry : m_tickets) {
        if (entry.second.loggedIn && entry.second.ip4 == ip4)
            return true;
    }
    return false;
}

std::vector<SimTerminal> CSimState::Terminals(const std::string& account) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<SimTerminal> out;
    for (const auto& entry : m_tickets) {
        const Ticket& t = entry.second;
        if (t.loggedIn && t.account == account)
            out.push_back({entry.first, t.hostName, t.ip4});
    }
    return out;
}

std::string CSimState::AccountOfClient(const std::string& clientId) {
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& entry : m_tickets) {
        if (entry.second.loggedIn && entry.second.clientId == clientId)
            return entry.second.account;
    }
    return "";
}
