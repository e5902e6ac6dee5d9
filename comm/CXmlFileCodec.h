// CXmlFileCodec: turns the bytes of an XML (or HTML) file into UTF-8 text and back, and writes
// files atomically. Documents live in memory as UTF-8; the file keeps the encoding it declares.
#pragma once

#include <string>

class CXmlFileCodec {
public:
    // How the bytes of a loaded file were laid out; Save keeps the same layout where the
    // declaration allows it.
    enum class Form { Utf8, Utf8Bom, Utf16LE, Utf16BE };

    // Decodes file bytes: a byte-order mark decides UTF-8 or UTF-16; otherwise the encoding named
    // by the XML declaration (or an HTML meta charset) is converted through iconv; UTF-8 when
    // none is named. False when the encoding is unknown or the bytes are invalid in it.
    static bool Decode(const std::string& bytes, std::string& text, Form& form);
    // Encodes UTF-8 text for a file: in the encoding the text declares, UTF-16 with a byte-order
    // mark for UTF-16 (or when loaded so and nothing else is declared), UTF-8 otherwise. A text
    // that would not read back from the declared encoding (UTF-7 codes the markup) goes out as
    // UTF-8 with a byte-order mark. False when a character cannot be represented.
    static bool Encode(const std::string& text, Form form, std::string& bytes);

    // The encoding named by the XML declaration at the start of text, or by an HTML meta tag;
    // empty when none.
    static std::string DeclaredEncoding(const std::string& text);
    // iconv conversion of the whole input; false on any invalid or unrepresentable sequence.
    static bool Convert(const std::string& in, const char* from, const char* to, std::string& out);

    // Reads a regular file with one link, never through a symbolic link (CSimpleFile::
    // OpenSingleLink).
    static bool ReadFile(const char* path, std::string& bytes);
    // Writes bytes to a temporary file in the same folder and renames it over path, so readers
    // see either the old or the new file, never a half-written one. The file is readable by its
    // owner only afterwards, whatever it was before (see CSimpleFile::WriteFileAtomic).
    static bool WriteFileAtomic(const char* path, const std::string& bytes);
};
