#include "CXMLOpt.h"

#include <climits>
#include <cstdlib>
#include <string>

bool CXMLOpt::LoadFile(const char* path) {
    if (!Load(path))
        return false;
    m_filename = path;
    return true;
}

bool CXMLOpt::SaveFile() {
    return !m_filename.IsNull() && Save(m_filename);
}

CAutoString CXMLOpt::GetValue(const char* path) {
    return SetXMLPos(path) ? GetData() : CAutoString("");
}

int CXMLOpt::GetIntValue(const char* path) {
    const CAutoString text = GetValue(path);
    // atoi semantics without its undefined behaviour on overflow: clamp to the int range.
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

CAutoString CXMLOpt::GetDoc(const char* path) {
    if (path == nullptr)
        return GetDoc();
    return SetXMLPos(path) ? GetSubDoc() : CAutoString("");
}

bool CXMLOpt::SetValue(const char* path, const char* text) {
    return CreateXMLPos(path) && SetData(text, MNF_ESCAPEALL);
}

bool CXMLOpt::SetValue(const char* path, int value) {
    return CreateXMLPos(path) && SetData(value, MNF_ESCAPEALL);
}

bool CXMLOpt::SetXMLPos(const char* path) {
    if (path == nullptr || *path == '\0')
        return false;
    ResetPos();
    CAutoString head;
    CAutoString rest(path);
    bool more = true;
    while (more) {
        more = StringSplit(CAutoString(rest), head, rest);
        // An empty name ("a..b", "a.") names no element; FindChildElem would take any.
        if (head.IsEmpty() || !FindChildElem(head))
            return false;
        IntoElem();
    }
    return true;
}

bool CXMLOpt::CreateXMLPos(const char* path) {
    if (path == nullptr || *path == '\0')
        return false;
    ResetPos();
    CAutoString head;
    CAutoString rest(path);
    bool more = true;
    while (more) {
        more = StringSplit(CAutoString(rest), head, rest);
        if (head.IsEmpty())
            return false;
        if (!FindChildElem(head) && !InsertChildElem(head, "", MNF_ESCAPEALL))
            return false;
        IntoElem();
    }
    return true;
}

bool CXMLOpt::StringSplit(const char* source, CAutoString& head, CAutoString& rest) {
    const std::string text = source != nullptr ? source : "";
    const size_t dot = text.find('.');
    if (dot == std::string::npos) {
        head = CAutoString(text.c_str());
        rest = CAutoString("");
        return false;
    }
    head = CAutoString(text.substr(0, dot).c_str());
    rest = CAutoString(text.substr(dot + 1).c_str());
    return true;
}
