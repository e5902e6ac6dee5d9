// CErrorCodeTable: the texts shown for the service's error codes, by the window's dialogs and by
// the service's own console lines.
//
// The texts ship in "conf/code.xml" below the working directory: root "code", one "err" child per
// key with the attributes "id" and "value". A key is the error code in decimal, or the code, a full
// stop and the sub error code exactly as the service sends it. A text may hold "%s" any number of
// times; each is replaced by the extra text of the message.
//
// Threads: Load runs on the main thread before any message is handled; lookups run on the thread
// that handles messages (the window's pipe thread, the console's message thread). The recursive
// mutex keeps them apart all the same.
#pragma once

#include "CAutoString.h"
#include "LockBase.h"

#include <map>

class CXMLOpt;

class CErrorCodeTable {
public:
    // The process-wide table, created empty on first use and never destroyed.
    static CErrorCodeTable* GetInst();

    // An empty table of its own; the client uses GetInst.
    CErrorCodeTable() = default;
    CErrorCodeTable(const CErrorCodeTable&) = delete;
    CErrorCodeTable& operator=(const CErrorCodeTable&) = delete;

    // Fills the table from "<working directory>/conf/code.xml". Returns false (table left empty,
    // one line on standard output) when the file cannot be loaded or has no "code" root.
    bool Load();
    // The same from an explicit file; what Load does once it knows the path.
    bool LoadFile(const char* path);

    // The text for code and subErrCode (a null or empty sub code means "no sub code") with every
    // "%s" replaced by extra. A key without entry gives "错误码：" and the code; a key whose text
    // is empty gives the empty text, which the window replaces by its own form.
    CAutoString GetErrorText(long code, const char* subErrCode, const char* extra);
    // What the window shows: GetErrorText, with "错误码：" and the code in place of an empty text.
    CAutoString GetShownText(long code, const char* subErrCode, const char* extra);
    // True when the table has an entry for code and subErrCode (an empty text counts).
    bool HasText(long code, const char* subErrCode);
    // The same lookup without the stand-in text: true, with text composed as above, only when the
    // key has an entry.
    bool FindErrorText(long code, const char* subErrCode, const char* extra, CAutoString& text);

    // Number of keys held; for the start-up log and tests.
    size_t Size();

private:
    static CAutoString MakeKey(long code, const char* subErrCode);
    // Inserts every "err" child of the root the cursor stands on.
    static void ReadEntries(CXMLOpt& doc, std::map<CAutoString, CAutoString>& table);

    std::map<CAutoString, CAutoString> m_table;
    MutexLock m_lock;
};
