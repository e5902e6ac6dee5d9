// CXmlScanner: checks a document text for well-formedness and builds its element index.
//
// The scan is a single iterative pass (an explicit stack of open elements, no recursion), so a
// hostile document nested arbitrarily deep costs memory in proportion to its size and nothing more.
// Every access is bounds-checked against the text; the scanner never reads past it.
//
// Accepted: text without control characters other than tab, CR and LF, optionally starting with a
// UTF-8 byte-order mark. Bytes 0x80 and above are opaque data wherever character data may stand
// (text, attribute values, comments, CDATA, processing instructions), so UTF-8 and GB18030
// documents both pass; names must still be UTF-8 XML names. An XML declaration only at the very
// start; comments, processing instructions and one DOCTYPE before the root; exactly one root
// element; comments, processing instructions and whitespace after it.
// References must be character references to XML characters or one of the five predefined
// entities. A DOCTYPE internal subset is skipped, not interpreted, so entities declared there are
// unknown and a document that uses them is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CXmlScanner {
public:
    // One element. Offsets are byte offsets into the scanned text; indices are positions in
    // Result::nodes, which lists elements in document order (a parent before its descendants).
    struct Node {
        size_t start = 0;       // the '<' of the start tag
        size_t tagEnd = 0;      // just past the start tag's '>'
        size_t contentEnd = 0;  // the '<' of the end tag; tagEnd for an empty-element tag
        size_t end = 0;         // just past the element's last '>'
        uint32_t nameLen = 0;   // the name starts at start + 1
        bool selfClosed = false;
        int parent = -1;
        int firstChild = -1;
        int lastChild = -1;
        int next = -1;
        int prev = -1;
    };

    struct Result {
        bool syntaxOk = false;  // no syntax error; nodes is empty otherwise
        bool hasRoot = false;   // a root element was found (at most one is accepted)
        std::vector<Node> nodes;
        std::string error;  // why the scan stopped, with the byte offset; empty when fine
        bool WellFormed() const { return syntaxOk && hasRoot; }
    };

    // An attribute of a start tag: the value lies between the quotes, undecoded.
    struct Attr {
        size_t nameStart = 0;
        size_t nameLen = 0;
        size_t valueStart = 0;
        size_t valueEnd = 0;
    };

    static Result Scan(const std::string& text);

    // The attributes of a start tag taken from a successful scan of the same text.
    static std::vector<Attr> Attributes(const std::string& text, const Node& node);

    // True when the len bytes at p form one XML name.
    static bool IsName(const char* p, size_t len);

    // Length of the reference starting at p[0] == '&' (through its ';') when it is a character
    // reference to an XML character or one of the five predefined entities; 0 otherwise.
    static size_t ReferenceLength(const char* p, size_t avail);
};
