// Feeds arbitrary bytes to the XML document class, then walks and edits what it accepted.
// The first byte steers the walk so that the fuzzer can reach different edit sequences.
#include "CMarkup.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

void Walk(CMarkup& doc, uint8_t steer) {
    doc.FindElem();
    for (int i = 0; i < 8 && doc.FindChildElem(); ++i) {
        doc.GetChildData();
        doc.GetChildAttrib("a");
        if ((steer >> (i % 8)) & 1) {
            doc.IntoElem();
            doc.GetData();
            doc.GetSubDoc();
            doc.OutOfElem();
        }
    }
    doc.ResetPos();
    doc.FindElem();
    const bool wasWellFormed = doc.IsWellFormed();
    doc.AddChildElem("x", "a<b&c]]>d", (steer & 1) ? CMarkup::MNF_WITHCDATA : 0);
    doc.SetAttrib("k", "\"'&<>", CMarkup::MNF_WITHREFS);
    doc.InsertChildElem("y", 42);
    if (doc.IntoElem()) {
        doc.SetData("&amp;&bogus;", CMarkup::MNF_WITHREFS);
        doc.OutOfElem();
    }
    // Edits never turn a well-formed document into one that is not.
    const CAutoString text = doc.GetDoc();
    if (wasWellFormed)
        Check(CMarkup(text.c_str()).IsWellFormed());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t steer = data[0];
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    CMarkup doc;
    doc.SetDoc(text.c_str());  // stops at an embedded NUL, as every caller's text does
    CMarkup copy(doc);
    Walk(doc, steer);
    copy.AddChildSubDoc(text.c_str());
    copy.GetDoc();
    CMarkup::UnescapeText(text.c_str());
    CMarkup::EscapeText(text.c_str(), steer & 0x18, steer & 2);
    return 0;
}
