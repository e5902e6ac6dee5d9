// CMarkup: an XML document held as text, with a cursor and in-place editing.
//
// The cursor has three positions: parent, main (the current element) and child (the current child
// of the main element); each may be empty. Edits change the text in place, so comments, processing
// instructions, the declaration and untouched text survive verbatim. Tag names compare exactly.
// Not thread-safe: even reading moves the cursor; each owner guards its own documents.
#pragma once

#include "CAutoString.h"

#include <memory>

class CMarkup {
public:
    // Flags of the add, insert and set operations.
    enum {
        MNF_ESCAPEALL = 0,   // escape every markup character of the value
        MNF_WITHREFS = 8,    // keep character and entity references already written in the value
        MNF_WITHCDATA = 16,  // write the value inside a CDATA section (split around any "]]>")
    };

    CMarkup();
    explicit CMarkup(const char* text);
    CMarkup(const CMarkup& other);
    CMarkup& operator=(const CMarkup& other);
    virtual ~CMarkup();

    // Replaces the document with text (null means empty), parses it and resets the cursor.
    // Returns true when the document is well formed.
    bool SetDoc(const char* text);
    bool IsWellFormed() const;
    // Why the document is not well formed (with the byte offset), for the caller's log; empty
    // for a well-formed document.
    CAutoString GetError() const;
    // The whole current document text, edits included.
    CAutoString GetDoc() const;
    // Reads a file (UTF-8 with or without BOM, UTF-16 with BOM, or a declared encoding converted
    // through iconv) and parses it as SetDoc. Save writes the text back in its declared encoding.
    bool Load(const char* path);
    bool Save(const char* path) const;

    void ResetPos();
    void ResetChildPos();

    // A null or empty name matches any element.
    bool FindElem(const char* name = nullptr);
    bool FindChildElem(const char* name = nullptr);
    bool IntoElem();
    bool OutOfElem();

    // Decoded text content (CDATA verbatim, comments left out); empty string when there is no such
    // element or when it has child elements.
    CAutoString GetData() const;
    CAutoString GetChildData() const;
    CAutoString GetTagName() const;
    CAutoString GetChildTagName() const;
    CAutoString GetAttrib(const char* name) const;
    CAutoString GetChildAttrib(const char* name) const;
    // The element's own markup, start tag to end tag inclusive.
    CAutoString GetSubDoc() const;
    CAutoString GetChildSubDoc() const;

    // Every edit keeps the document well formed: a bad name or a value that cannot be written
    // (e.g. control characters) fails and leaves the document unchanged.
    bool AddElem(const char* name, const char* value = nullptr, int flags = 0);
    bool AddElem(const char* name, int value, int flags = 0);
    bool AddChildElem(const char* name, const char* value = nullptr, int flags = 0);
    bool AddChildElem(const char* name, int value, int flags = 0);
    bool InsertChildElem(const char* name, const char* value = nullptr, int flags = 0);
    bool InsertChildElem(const char* name, int value, int flags = 0);
    bool AddChildSubDoc(const char* markup);
    bool SetAttrib(const char* name, const char* value, int flags = 0);
    bool SetAttrib(const char* name, int value, int flags = 0);
    // Fails when there is no main element or when it has child elements (they would be lost).
    bool SetData(const char* value, int flags = 0);
    bool SetData(int value, int flags = 0);

    // Escapes text for element content (attribute = false) or attribute values.
    static CAutoString EscapeText(const char* text, int flags, bool attribute = false);
    // Decodes the five predefined entities and character references.
    static CAutoString UnescapeText(const char* text);

private:
    struct Impl;  // the text, its element index and the cursor
    CAutoString ElementData(int i) const;
    CAutoString ElementAttrib(int i, const char* name) const;
    CAutoString ElementMarkup(int i) const;
    bool AddChild(const char* name, const char* value, int flags, bool before);

    std::unique_ptr<Impl> m_pImpl;
};
