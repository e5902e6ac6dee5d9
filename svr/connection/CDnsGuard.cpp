#include "CDnsGuard.h"

#include "CLog.h"
#include "CMarkup.h"
#include "IPortalHost.h"

int CDnsGuard::SetDNS(CAutoString& strDNS) {
    CMarkup xml;
    if (strDNS.IsEmpty() || !xml.SetDoc(strDNS) || !xml.FindElem("domain-config"))
        return -1;
    xml.ResetChildPos();
    if (xml.FindChildElem("dns1"))
        m_strDNS1 = xml.GetChildData();
    xml.ResetChildPos();
    if (xml.FindChildElem("dns2"))
        m_strDNS2 = xml.GetChildData();
    if ((m_strDNS1.IsEmpty() && m_strDNS2.IsEmpty()) || m_pHost == nullptr)
        return -1;
    CAutoString dns1 = m_strDNS1.IsNull() ? CAutoString("") : m_strDNS1;
    CAutoString dns2 = m_strDNS2.IsNull() ? CAutoString("") : m_strDNS2;
    int ret = m_pHost->SetDNS(dns1, dns2);
    CLog::GetInst()->WriteLog(CLog::INFO, "set dns %s %s return %d", m_strDNS1.c_str(),
                              m_strDNS2.c_str(), ret);
    if (ret != 0)
        return ret;
    m_strDNS1 = dns1;
    m_strDNS2 = dns2;
    return 0;
}

// The file goes back as the machine had it, byte for byte: re-applying the replaced addresses
// would lose every server line beyond the second and any server the address check refuses.
void CDnsGuard::RestoreDNS() {
    if (m_pHost == nullptr)
        return;
    const int ret = m_pHost->RestoreDNS();
    if (ret != 0)
        CLog::GetInst()->WriteLog(CLog::WARN, "restore dns return %d", ret);
}
