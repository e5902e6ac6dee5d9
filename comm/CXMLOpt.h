// CXMLOpt: a CMarkup bound to a file, with access by dotted path ("P.newState").
//
// The first name of a path is looked up among the children of the root element, whatever the
// root's name; each further name among the children of the element found before, taking the first
// match at every level. There is no escape for "." and no index syntax.
#pragma once

#include "CMarkup.h"

class CXMLOpt : public CMarkup {
public:
    CXMLOpt() = default;
    explicit CXMLOpt(const char* text) : CMarkup(text) {}

    // Load; on success remembers path as the file SaveFile writes.
    bool LoadFile(const char* path);
    // False when no file was loaded; otherwise Save(m_filename).
    bool SaveFile();
    const char* GetFileName() const { return m_filename; }

    // The element's decoded text; empty when the path does not resolve.
    CAutoString GetValue(const char* path);
    // atoi of GetValue; 0 when the path does not resolve.
    int GetIntValue(const char* path);
    // Null path: the whole document; otherwise the element's own markup, or empty.
    CAutoString GetDoc(const char* path);
    using CMarkup::GetDoc;
    // Finds or creates the path (new elements become the first child), then sets its text.
    // Only the document in memory changes.
    bool SetValue(const char* path, const char* text);
    bool SetValue(const char* path, int value);

    bool SetXMLPos(const char* path);
    bool CreateXMLPos(const char* path);
    // Cuts source at its first "." into head and rest; false (rest empty) when there is none.
    static bool StringSplit(const char* source, CAutoString& head, CAutoString& rest);

private:
    CAutoString m_filename;
};
