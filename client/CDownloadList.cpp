#include "CDownloadList.h"

#include "CMarkup.h"
#include "CSimpleFile.h"
#include "CXMLOpt.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

CAutoString ItemMarkup(const char* name, const char* url, const char* md5, int64_t size) {
    CAutoString item;
    item.Format("<item name=\"%s\" md5=\"%s\" size=\"%" PRId64 "\" state=\"0\">%s</item>",
                CMarkup::EscapeText(name, CMarkup::MNF_ESCAPEALL, true).c_str(),
                CMarkup::EscapeText(md5, CMarkup::MNF_ESCAPEALL, true).c_str(), size,
                CMarkup::EscapeText(url, CMarkup::MNF_ESCAPEALL).c_str());
    return item;
}

// Leaves the cursor inside the "update" root; false when the file is missing or unreadable.
bool OpenList(CXMLOpt& doc, const char* path) {
    if (!doc.LoadFile(path))
        return false;
    doc.ResetPos();
    return doc.FindElem("update") && doc.IntoElem();
}

// Written back in the form it was read in (byte-order mark, declared encoding): the bare text
// would be UTF-8 under whatever the declaration names, which the next read converts wrongly or
// refuses, and the list would be lost.
bool SaveList(const CXMLOpt& doc, const char* path) {
    return doc.Save(path);
}

}  // namespace

CDownloadList::EListState CDownloadList::Check() const {
    CXMLOpt doc;
    if (!OpenList(doc, m_path))
        return LIST_UNREADABLE;
    bool any = false;
    while (doc.FindElem("item")) {
        if (doc.GetAttrib("state") != "2")
            return LIST_INCOMPLETE;
        any = true;
    }
    return any ? LIST_COMPLETE : LIST_EMPTY;
}

bool CDownloadList::Record(const char* name, const char* url, const char* md5, int64_t size) {
    CXMLOpt doc;
    if (!OpenList(doc, m_path)) {
        CAutoString text;
        text.Format(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n \t\t\t<update>\n \t\t\t%s\n "
            "\t\t\t</update>",
            ItemMarkup(name, url, md5, size).c_str());
        return CSimpleFile::WriteFileAtomic(m_path, text.c_str(), text.GetLength());
    }
    while (doc.FindElem("item")) {
        if (doc.GetAttrib("name") != name)
            continue;
        if (doc.GetData() == url)
            return true;
        doc.SetAttrib("size", CAutoString(std::to_string(size)).c_str());
        doc.SetAttrib("state", "0");
        doc.SetAttrib("md5", md5);
        doc.SetData(url);
        return SaveList(doc, m_path);
    }
    doc.OutOfElem();
    if (!doc.AddChildSubDoc(ItemMarkup(name, url, md5, size).c_str()))
        return false;
    return SaveList(doc, m_path);
}

void CDownloadList::DownloadPending(const Fetch& fetch) {
    CXMLOpt doc;
    if (!OpenList(doc, m_path))
        return;
    while (doc.FindElem("item")) {
        CAutoString state = doc.GetAttrib("state");
        if (state == "0")
            doc.SetAttrib("state", "1");
        const int value = std::atoi(state.c_str());
        CAutoString name = doc.GetAttrib("name");
        CAutoString url = doc.GetData();
        if ((value != 0 && value != 1) || name.IsEmpty() || url.IsEmpty())
            continue;
        SaveList(doc, m_path);
        CAutoString localPath;
        // A failed download stays in state 1: only a package that is really in counts.
        if (!fetch(name, url, localPath))
            continue;
        doc.SetAttrib("state", "2");
        doc.SetData(localPath.c_str());
        SaveList(doc, m_path);
    }
}

bool CDownloadList::IsSafeName(const char* name) {
    if (name == nullptr)
        return false;
    const size_t len = std::strlen(name);
    if (len == 0 || len > 64 || std::strchr(name, '/') != nullptr ||
        std::strstr(name, "..") != nullptr)
        return false;
    for (size_t i = 0; i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7f)
            return false;
    }
    return true;
}
