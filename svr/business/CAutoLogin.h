// CAutoLogin: what the Portal business needs to log in again by itself after a login ended without
// being asked for: the last log-in request (kept in memory only, never stored), whether a recovery
// is under way, and the pace of its attempts (the first at once, then growing delays with jitter,
// at most kMaxDelay apart, without a count limit, so that a portal that blacklists clients which
// re-dial too fast is never hammered).
//
// Thread-safe: the console hands over its log-in on its own thread, the window's client start
// reads the state on the message thread, and the task handlers run on the work thread.
#pragma once

#include <chrono>
#include <mutex>
#include <random>

#include "CAutoString.h"

class CAutoLogin {
public:
    static constexpr std::chrono::seconds kFirstDelay{2};
    static constexpr std::chrono::seconds kMaxDelay{300};

    CAutoLogin();
    CAutoLogin(const CAutoLogin&) = delete;
    CAutoLogin& operator=(const CAutoLogin&) = delete;

    // The whole "PortalConnect" message of the last log-in. persistent (the console's) keeps
    // trying from the first attempt on, also before any login was made.
    void Remember(const CAutoString& loginMessage, bool persistent = false);
    // Forgets the request and ends a recovery: the user asked to be logged out.
    void Forget();
    bool HasLogin() const;
    bool Persistent() const;
    // Empty when none is remembered.
    CAutoString Login() const;

    // A recovery starts (again from the first, immediate attempt); false without a login.
    bool Begin(int cause);
    bool Active() const;
    // The code that started the recovery (for the log and the final report).
    int Cause() const;
    // Seconds until the next attempt, counting it: 0 for the first of a recovery, then
    // kFirstDelay doubling up to kMaxDelay, each with up to a fifth of jitter either way.
    long NextDelay();
    // Ends a recovery; the next one starts from an immediate attempt again.
    void Stop();

    // False for the refusals that retrying cannot mend: wrong account or password, account
    // locked, logged in elsewhere, a mobile account, the version limit.
    static bool Retryable(int code);
    // The delay before attempt n (0 = the first) without jitter.
    static long BaseDelay(int attempt);

private:
    mutable std::mutex m_lock;
    CAutoString m_login{""};
    bool m_persistent = false;
    bool m_active = false;
    int m_cause = 0;
    int m_attempt = 0;
    std::mt19937 m_random;
};
