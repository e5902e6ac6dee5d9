#include "CErrorCodeTable.h"

#include "CLockGuard.h"
#include "CXMLOpt.h"

#include <unistd.h>

#include <cstdio>
#include <string>

CErrorCodeTable* CErrorCodeTable::GetInst() {
    // Never destroyed: the pipe message thread may still look texts up while the process exits.
    static CErrorCodeTable* inst = new CErrorCodeTable();
    return inst;
}

bool CErrorCodeTable::Load() {
    // Relative: the programs work from the installation folder they checked and entered.
    return LoadFile("./conf/code.xml");
}

bool CErrorCodeTable::LoadFile(const char* path) {
    std::map<CAutoString, CAutoString> table;
    CXMLOpt doc;
    bool ok = path != nullptr && doc.LoadFile(path);
    if (!ok)
        std::printf("load file %s failed! \n", path ? path : "");
    doc.ResetPos();
    if (ok && !doc.FindElem("code")) {
        std::printf("code not found! \n");
        ok = false;
    }
    if (ok)
        ReadEntries(doc, table);
    // A failed load leaves the table empty rather than half of an older file.
    CLockGuard<MutexLock> guard(&m_lock);
    m_table.swap(table);
    return ok;
}

void CErrorCodeTable::ReadEntries(CXMLOpt& doc, std::map<CAutoString, CAutoString>& table) {
    doc.IntoElem();
    while (doc.FindElem("err")) {
        // emplace keeps the first text of a repeated id.
        table.emplace(CAutoString(doc.GetAttrib("id").c_str()),
                      CAutoString(doc.GetAttrib("value").c_str()));
    }
}

CAutoString CErrorCodeTable::MakeKey(long code, const char* subErrCode) {
    CAutoString key;
    if (subErrCode != nullptr && *subErrCode != '\0')
        key.Format("%ld.%s", code, subErrCode);
    else
        key.Format("%ld", code);
    return key;
}

CAutoString CErrorCodeTable::GetErrorText(long code, const char* subErrCode, const char* extra) {
    CAutoString text;
    if (!FindErrorText(code, subErrCode, extra, text))
        text.Format("错误码：%ld", code);
    return text;
}

bool CErrorCodeTable::FindErrorText(long code, const char* subErrCode, const char* extra,
                                    CAutoString& text) {
    const CAutoString key = MakeKey(code, subErrCode);
    CLockGuard<MutexLock> guard(&m_lock);
    auto it = m_table.find(key);
    if (it == m_table.end())
        return false;
    text = it->second.c_str();
    text.Replace("%s", extra ? extra : "");
    return true;
}

CAutoString CErrorCodeTable::GetShownText(long code, const char* subErrCode, const char* extra) {
    CAutoString text = GetErrorText(code, subErrCode, extra);
    if (text.IsEmpty())
        text.Format("错误码：%ld", code);
    return text;
}

bool CErrorCodeTable::HasText(long code, const char* subErrCode) {
    const CAutoString key = MakeKey(code, subErrCode);
    CLockGuard<MutexLock> guard(&m_lock);
    return m_table.find(key) != m_table.end();
}

size_t CErrorCodeTable::Size() {
    CLockGuard<MutexLock> guard(&m_lock);
    return m_table.size();
}
