// CSimCodec: the portal side of the body coding. Decodes request bodies and codes answers with the
// algorithm module inside the current container, and names that container's identifier.
//
// The module loader is a process-wide object with one current container, so every call here is
// serialised by m_lock; handlers on several worker threads may call concurrently.
#pragma once

#include <mutex>
#include <string>

class CSimCodec {
public:
    CSimCodec() = default;
    ~CSimCodec() = default;
    CSimCodec(const CSimCodec&) = delete;
    CSimCodec& operator=(const CSimCodec&) = delete;

    // Uses the container at path from now on. Returns false (and keeps the previous container)
    // when the container cannot be loaded.
    bool Load(const std::string& path);
    const std::string& ContainerPath() const { return m_path; }
    // Identifier of the current container; empty before a successful Load.
    std::string AlgoId();

    // Decodes a coded body; false when the module rejects it.
    bool Decode(const std::string& coded, std::string& plain);
    // Codes a plain document; empty on failure.
    std::string Encode(const std::string& plain);

    // MD5 of data as 32 lower-case hexadecimal digits.
    static std::string Md5Hex(const std::string& data);

private:
    std::mutex m_lock;
    std::string m_path;
    std::string m_algoId;
};
