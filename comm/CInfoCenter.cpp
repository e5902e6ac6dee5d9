#include "CInfoCenter.h"

#include "CLockGuard.h"
#include "CLog.h"
#include "CSimpleFile.h"

#include <unistd.h>

#include <cerrno>

#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex g_instanceMutex;
CInfoCenter* g_instance = nullptr;
std::string g_storeName;
std::string g_storeBase;
bool g_storeBaseSet = false;

typedef CLockGuard<RWLock, ExclusiveLockPolicy> WriteGuard;
typedef CLockGuard<RWLock, SharedLockPolicy> ReadGuard;

}  // namespace

void CInfoCenter::SetStoreFile(const char* fileName, const char* baseDir) {
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    g_storeName = fileName ? fileName : "";
    g_storeBaseSet = baseDir != nullptr;
    g_storeBase = baseDir ? baseDir : "";
}

CInfoCenter* CInfoCenter::GetInst() {
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    if (g_instance == nullptr) {
        std::string path;
        if (!g_storeName.empty()) {
            path = (g_storeBaseSet ? g_storeBase : CSimpleFile::WorkingDirectory()) + g_storeName;
        }
        g_instance = new CInfoCenter(path.c_str());
    }
    return g_instance;
}

void CInfoCenter::Release() {
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    delete g_instance;
    g_instance = nullptr;
}

CInfoCenter::CInfoCenter(const char* storePath) {
    if (storePath != nullptr && *storePath != '\0')
        LoadLocalValue(storePath);
}

bool CInfoCenter::LoadLocalValue(const char* path) {
    WriteGuard guard(&m_globalDataMapLock);
    return m_xmlOpt.LoadFile(path);
}

void CInfoCenter::SetValue(const char* key, const char* value) {
    if (key == nullptr || value == nullptr)
        return;
    WriteGuard guard(&m_dataMapLock);
    m_dataMap[CAutoString(key)] = CAutoString(value);
}

CAutoString CInfoCenter::GetValue(const char* key) {
    if (key == nullptr)
        return CAutoString("");
    ReadGuard guard(&m_dataMapLock);
    auto it = m_dataMap.find(CAutoString(key));
    return it == m_dataMap.end() ? CAutoString("") : it->second;
}

void CInfoCenter::SetGlobalValue(const char* key, const char* value) {
    if (key == nullptr || value == nullptr)
        return;
    SetValue(key, value);
    {
        WriteGuard guard(&m_globalDataMapLock);
        m_globalDataMap[CAutoString(key)] = CAutoString(value);
    }
    OfferGlobal(key, value);
}

void CInfoCenter::SynchroGlobalValue() {
    ValueMap snapshot;
    {
        ReadGuard guard(&m_globalDataMapLock);
        snapshot = m_globalDataMap;
    }
    // Posted outside the lock: the outlet may take its own locks.
    for (const auto& pair : snapshot)
        OfferGlobal(pair.first.c_str(), pair.second.c_str());
}

void CInfoCenter::OfferGlobal(const char* key, const char* value) {
    const CAutoString params = MakeParam("key", key) + MakeParam("value", value);
    PostMsg("Portal", "InfoCenter", "SetValue", params.c_str());
}

CAutoString CInfoCenter::GetLocalValue(const char* key) {
    if (key == nullptr || *key == '\0')
        return CAutoString("");
    WriteGuard guard(&m_globalDataMapLock);
    CAutoString value = m_xmlOpt.GetValue(key);
    return value.IsNull() ? CAutoString("") : value;
}

bool CInfoCenter::SetLocalValue(const char* key, const char* value) {
    if (key == nullptr || value == nullptr)
        return false;
    return SetLocalValues({{CAutoString(key), CAutoString(value)}});
}

bool CInfoCenter::SetLocalValues(const LocalValues& values) {
    for (const auto& pair : values) {
        if (pair.first.IsEmpty() || pair.second.IsNull())
            return false;
    }
    WriteGuard guard(&m_globalDataMapLock);
    const CAutoString path(m_xmlOpt.GetFileName());
    if (path.IsEmpty() || values.empty())
        return false;
    // A value the document refuses (control characters) is left out, as a single write of it
    // would be; the others are still written.
    size_t set = 0;
    for (const auto& pair : values)
        set += m_xmlOpt.SetValue(pair.first.c_str(), pair.second.c_str()) ? 1 : 0;
    if (set == 0)
        return false;
    // Save replaces the file atomically and writes it back in its declared encoding.
    if (!m_xmlOpt.SaveFile()) {
        // The document in memory keeps the values; the file on disk keeps its old content.
        CLog::GetInst()->WriteLog(CLog::WARN, "store %s not rewritten; %s kept in memory only",
                                  path.c_str(), values.front().first.c_str());
        return false;
    }
    return set == values.size();
}

CAutoString CInfoCenter::GetStorePath() {
    WriteGuard guard(&m_globalDataMapLock);
    return CAutoString(m_xmlOpt.GetFileName());
}
