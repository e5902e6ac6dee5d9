#include "CAutoLogin.h"

#include <algorithm>

CAutoLogin::CAutoLogin() : m_random(std::random_device{}()) {}

void CAutoLogin::Remember(const CAutoString& loginMessage, bool persistent) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_login = loginMessage;
    m_persistent = m_persistent || persistent;
}

void CAutoLogin::Forget() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_login = "";
    m_persistent = false;
    m_active = false;
    m_attempt = 0;
}

bool CAutoLogin::HasLogin() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return !m_login.IsEmpty();
}

bool CAutoLogin::Persistent() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_persistent && !m_login.IsEmpty();
}

CAutoString CAutoLogin::Login() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_login;
}

bool CAutoLogin::Begin(int cause) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_login.IsEmpty())
        return false;
    m_active = true;
    m_cause = cause;
    m_attempt = 0;
    return true;
}

bool CAutoLogin::Active() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_active;
}

int CAutoLogin::Cause() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_cause;
}

long CAutoLogin::BaseDelay(int attempt) {
    if (attempt <= 0)
        return 0;
    long delay = kFirstDelay.count();
    for (int i = 1; i < attempt && delay < kMaxDelay.count(); ++i)
        delay *= 2;
    return std::min<long>(delay, kMaxDelay.count());
}

long CAutoLogin::NextDelay() {
    std::lock_guard<std::mutex> guard(m_lock);
    const long base = BaseDelay(m_attempt++);
    if (base == 0)
        return 0;
    // Clients that lost the same portal at the same moment must not come back in step.
    std::uniform_real_distribution<double> jitter(0.8, 1.2);
    const long delay = static_cast<long>(static_cast<double>(base) * jitter(m_random) + 0.5);
    return std::clamp<long>(delay, 1, kMaxDelay.count());
}

void CAutoLogin::Stop() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_active = false;
    m_attempt = 0;
}

bool CAutoLogin::Retryable(int code) {
    switch (code) {
        case 140003:  // version limit: only an upgrade helps
        case 140011:  // wrong account or password
        case 140012:  // account locked or suspended
        case 140105:  // mobile account that cannot log in here
        case 150200:  // logged in elsewhere
        case 150201:  // not a mobile number
            return false;
        default:
            return true;
    }
}
