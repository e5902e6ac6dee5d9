// CInfoCenter: the process-wide key/value store (see ISvrInfoCenter).
//
// Each program names its store file once, before the first GetInst: the service
// "/conf/conf.xml", the client "/conf/client.xml", both under the working directory. The store
// file is part of the installation: it is never created here, and a missing or rootless file
// leaves an empty local layer that refuses writes. Every local write replaces the whole file
// atomically through CXMLOpt::SaveFile (temporary file in the same folder, synced, renamed), so a
// crash or a full disk never leaves a half-written store.
//
// Locks: m_dataMapLock guards the memory map; m_globalDataMapLock guards the global map and the
// XML store. Reading the XML store moves its cursor, so local reads lock exclusively. No
// operation holds both locks at once.
#pragma once

#include "CAutoString.h"
#include "CBusiness.h"
#include "CXMLOpt.h"
#include "ISvrInfoCenter.h"
#include "LockBase.h"

#include <map>

class CInfoCenter : public CBusiness, public ISvrInfoCenter {
public:
    typedef std::map<CAutoString, CAutoString> ValueMap;

    // Names the store file: fileName (e.g. "/conf/conf.xml") appended to baseDir, or to the
    // working directory when baseDir is null. Takes effect at the next creation of the instance.
    static void SetStoreFile(const char* fileName, const char* baseDir = nullptr);
    // The instance, created and loaded from the named store on first use; never null.
    static CInfoCenter* GetInst();
    // Destroys the instance; the next GetInst creates and loads a new one. Only for callers that
    // know no other thread uses the instance (tests).
    static void Release();

    // A store bound to storePath (loaded at once); programs use GetInst instead.
    explicit CInfoCenter(const char* storePath);

    // Loads the local layer from path; false (empty layer) when missing or ill-formed.
    bool LoadLocalValue(const char* path);

    void SetValue(const char* key, const char* value) override;
    CAutoString GetValue(const char* key) override;
    void SetGlobalValue(const char* key, const char* value) override;
    void SynchroGlobalValue() override;
    CAutoString GetLocalValue(const char* key) override;
    bool SetLocalValue(const char* key, const char* value) override;
    bool SetLocalValues(const LocalValues& values) override;

    // The path the local layer was loaded from; empty when there is no store.
    CAutoString GetStorePath();

private:
    // The "SetValue" parameters offered for a global pair. No router is attached to the
    // information center, so CBusiness::PostMsg drops them unless a program attaches one.
    void OfferGlobal(const char* key, const char* value);

    ValueMap m_dataMap;
    ValueMap m_globalDataMap;
    RWLock m_dataMapLock;
    RWLock m_globalDataMapLock;
    CXMLOpt m_xmlOpt;
};
