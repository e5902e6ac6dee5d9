// Helpers shared by the fuzz targets: a private scratch folder for targets that need files, and
// whole-file reads and writes. Targets never touch anything outside the scratch folder.
#pragma once

#include <unistd.h>  // mkdtemp

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace orvane_fuzz {

inline void Check(bool condition) {
    if (!condition)
        std::abort();
}

// One folder per process under $TMPDIR (or /tmp), removed at normal exit.
inline const std::string& ScratchDir() {
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/orvane-fuzz-XXXXXX";
        Check(mkdtemp(tmpl.data()) != nullptr);
        static struct Remover {
            std::string path;
            ~Remover() {
                std::error_code ec;
                std::filesystem::remove_all(path, ec);
            }
        } remover{tmpl};
        return tmpl;
    }();
    return dir;
}

inline std::string ScratchFile(const char* name) {
    return ScratchDir() + "/" + name;
}

inline void WriteWhole(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    Check(static_cast<bool>(out));
}

inline std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// Takes the text up to the next zero byte (or the end) off the front of the input.
inline std::string TakePiece(const uint8_t*& data, size_t& size) {
    size_t n = 0;
    while (n < size && data[n] != 0)
        ++n;
    std::string piece(reinterpret_cast<const char*>(data), n);
    const size_t used = n < size ? n + 1 : n;
    data += used;
    size -= used;
    return piece;
}

}  // namespace orvane_fuzz
