#include "CHttpHelper.h"

#include <string>

namespace {

std::string Stripped(CAutoString text) {
    text.Trim();
    return text.ToStdString();
}

// The rest of url after its scheme: after the first "http://", or, when there is none, after the
// first "https://". False when it has neither.
bool AfterScheme(const std::string& url, std::string& rest) {
    size_t pos = url.find("http://");
    size_t skip = 7;
    if (pos == std::string::npos) {
        pos = url.find("https://");
        skip = 8;
    }
    if (pos == std::string::npos)
        return false;
    rest = url.substr(pos + skip);
    return true;
}

}  // namespace

bool CHttpHelper::SetAddress(CAutoString address) {
    const std::string text = Stripped(address);
    m_address = CAutoString(text);
    m_url.Detach();  // assigning a null string would keep the old text
    m_params.clear();
    if (text.find("http://") == std::string::npos)
        return false;
    const size_t mark = text.find('?');
    if (mark == std::string::npos)
        return true;
    m_url = CAutoString(text.substr(0, mark));
    std::string query = text.substr(mark + 1);
    size_t amp;
    while ((amp = query.find('&')) != std::string::npos) {
        const size_t eq = query.find('=');
        if (eq == std::string::npos)
            return false;
        if (eq < amp) {
            m_params[CAutoString(query.substr(0, eq))] =
                CAutoString(query.substr(eq + 1, amp - eq - 1));
        }
        query.erase(0, amp + 1);
    }
    const size_t eq = query.find('=');
    if (eq != std::string::npos) {
        m_params[CAutoString(query.substr(0, eq))] = CAutoString(query.substr(eq + 1));
    }
    return true;
}

bool CHttpHelper::ParseAddress(CAutoString address, CAutoString& url, CAutoString& params) {
    const std::string text = Stripped(address);
    const size_t mark = text.find('?');
    if (text.find("http://") == std::string::npos || mark == std::string::npos)
        return false;
    url = CAutoString(text.substr(0, mark));
    params = CAutoString(text.substr(mark + 1));
    return true;
}

bool CHttpHelper::ParseIP(CAutoString url, CAutoString& host) {
    std::string rest;
    if (!AfterScheme(Stripped(url), rest))
        return false;
    const std::string name = rest.substr(0, rest.find('/'));
    if (name.empty())
        return false;
    host = CAutoString(name);
    return true;
}

bool CHttpHelper::ParseIP(CAutoString url, CAutoString& host, CAutoString& port) {
    std::string rest;
    if (!AfterScheme(Stripped(url), rest))
        return false;
    const size_t slash = rest.find('/');
    std::string name = rest.substr(0, slash);
    if (name.empty())
        return false;
    const size_t colon = name.find(':');
    const bool split = slash != std::string::npos && colon != std::string::npos;
    // "http://:8080/" names a port but no host: refused like any other empty host.
    if (split && colon == 0)
        return false;
    if (split) {
        port = CAutoString(name.substr(colon + 1));
        name.erase(colon);
    }
    host = CAutoString(name);
    return true;
}

CAutoString CHttpHelper::GetParam(const CAutoString& name) {
    CAutoString& value = m_params[name];
    if (value.IsNull())
        value = CAutoString("");
    return value;
}
