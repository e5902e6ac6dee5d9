#include "CDownloadList.h"

#include "CMarkup.h"
#include "CSimpleFile.h"
#include "CXMLOpt.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kRefused[] = "3";

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
    bool any = false, incomplete = false;
    while (doc.FindElem("item")) {
        const CAutoString state = doc.GetAttrib("state");
        if (state == kRefused)
            return LIST_REFUSED;
        incomplete = incomplete || state != "2";
        any = true;
    }
    if (incomplete)
        return LIST_INCOMPLETE;
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

void CDownloadList::DownloadPending(const Fetch& fetch, int64_t maxBytes) {
    CXMLOpt doc;
    if (RefuseBadSizes(maxBytes) || !OpenList(doc, m_path))
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
        const EFetch result = fetch(name, url, ParseSize(doc.GetAttrib("size").c_str()), localPath);
        if (result == FETCH_FAILED)
            continue;
        if (result == FETCH_REFUSED) {
            doc.SetAttrib("state", kRefused);
            SaveList(doc, m_path);
            return;
        }
        doc.SetAttrib("state", "2");
        doc.SetData(localPath.c_str());
        SaveList(doc, m_path);
    }
}

// True when an item is refused afterwards (also one refused before).
bool CDownloadList::RefuseBadSizes(int64_t maxBytes) {
    CXMLOpt doc;
    if (!OpenList(doc, m_path))
        return false;
    bool refused = false, changed = false;
    while (doc.FindElem("item")) {
        if (doc.GetAttrib("state") == kRefused) {
            refused = true;
            continue;
        }
        const CAutoString text = doc.GetAttrib("size");
        const int64_t size = ParseSize(text.c_str());
        if (size > 0 && size <= maxBytes)
            continue;
        if (size > 0) {
            std::printf("update package %s refused: its listed size %" PRId64
                        " bytes is over the installer's limit of %" PRId64 "\n",
                        doc.GetAttrib("name").c_str(), size, maxBytes);
        } else {
            std::printf("update package %s refused: its listed size is not a positive number\n",
                        doc.GetAttrib("name").c_str());
        }
        doc.SetAttrib("state", kRefused);
        refused = changed = true;
    }
    if (changed)
        SaveList(doc, m_path);
    return refused;
}

namespace {

std::string ItemKey(CXMLOpt& doc) {
    return doc.GetAttrib("name").ToStdString() + '\n' + doc.GetData().ToStdString() + '\n' +
           doc.GetAttrib("md5").ToStdString() + '\n' + doc.GetAttrib("size").ToStdString();
}

}  // namespace

std::vector<std::string> CDownloadList::Refused() const {
    std::vector<std::string> keys;
    CXMLOpt doc;
    if (!OpenList(doc, m_path))
        return keys;
    while (doc.FindElem("item")) {
        if (doc.GetAttrib("state") == kRefused)
            keys.push_back(ItemKey(doc));
    }
    return keys;
}

bool CDownloadList::KeepRefused(const std::vector<std::string>& refused) {
    CXMLOpt doc;
    if (refused.empty() || !OpenList(doc, m_path))
        return true;
    bool changed = false;
    while (doc.FindElem("item")) {
        if (std::find(refused.begin(), refused.end(), ItemKey(doc)) == refused.end())
            continue;
        doc.SetAttrib("state", kRefused);
        changed = true;
    }
    return !changed || SaveList(doc, m_path);
}

int64_t CDownloadList::ParseSize(const char* text) {
    if (text == nullptr || *text == '\0' || std::strlen(text) > 18 ||
        std::strspn(text, "0123456789") != std::strlen(text))
        return -1;
    return std::strtoll(text, nullptr, 10);
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
