// CZsmHelper: loader of the external algorithm module that codes portal request bodies and
// decodes portal answers.
//
// The module is a shared object inside the container file (see CZxmContainer). To use it the
// loader unpacks it to "protect.so" in the temporary folder (the working directory unless set),
// opens it with dlopen(RTLD_NOW) and removes the file at once, whatever the outcome, so the file
// never outlives the operation that wrote it. The opened module is kept until the container file
// changes (another inode, size or modification time) or Update replaces it; until then each
// operation reuses it instead of unpacking and loading again.
//
// Every public operation is safe to call from any thread: one mutex serialises them, because all
// loads share the one temporary path and the cached module.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CAutoString.h"

class CZsmHelper {
public:
    // The identifier reported when no module can be loaded.
    static const char kNoAlgoId[];
    // What Code answers when no module can be used; it is then sent as the request body.
    static const char kCodeFallback[];

    // The process-wide instance, created on first use and never destroyed.
    static CZsmHelper* GetInst();

    // Sets the container path. preset and presetLen are accepted for callers that pass a preset
    // identifier and are not used. Returns 1.
    int Init(const char* path, const char* preset, int presetLen);
    // Folder that receives "protect.so"; empty (the default) means the working directory.
    void SetTempDir(const char* dir);

    // Closes the cached module; the next operation loads it again from the container.
    void Release();
    // Always 1: a replaced container is picked up by the next operation by itself.
    int IsUpdated() { return 1; }

    // The identifier of the container's module, or kNoAlgoId when none can be loaded (the last
    // identifier read is then kept for later). Empty when the container carries none.
    CAutoString GetAlgoId();

    // Replaces the container file with len bytes at data, after checking that they form a
    // container that unpacks. Returns 1 on success, -1 when the bytes are refused or the file
    // cannot be written (the old container then stays in place), 0 when data is null.
    int Update(const char* data, size_t len);

    // Codes a NUL-terminated text. Never null: a new[]-allocated result, or a new[]-allocated
    // copy of kCodeFallback when the module is missing or fails. Release with FreeResult.
    char* Code(const char* text);
    // Decodes a NUL-terminated text coded by the same module. Returns a new[]-allocated,
    // NUL-terminated text, or null when the module is missing or refuses the text.
    char* DeCode(const char* text);
    // Releases a result of Code or DeCode; null is ignored.
    static void FreeResult(char* p) { delete[] p; }

    // The path protect.so is written to (for tests and log lines).
    std::string TempModulePath() const;

    CZsmHelper(const CZsmHelper&) = delete;
    CZsmHelper& operator=(const CZsmHelper&) = delete;

private:
    struct ZsoFile;
    struct FileStamp {
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = 0;
        long mtimeSec = 0;
        long mtimeNsec = 0;
        bool operator==(const FileStamp& o) const;
    };

    CZsmHelper();
    ~CZsmHelper();

    // Returns the module for the current container, loading it when the container changed;
    // null when there is none. Caller holds m_lock; the pointer is valid while it does.
    ZsoFile* openZsmModule();
    std::unique_ptr<ZsoFile> loadZsoModule();  // m_stamp is set to what it read
    bool writeTmpSo(const std::string& path, const std::vector<unsigned char>& image) const;
    bool readContainer(std::string& bytes, FileStamp& stamp) const;
    int UpdateZsm(const char* data, size_t len);
    std::string tempModulePathLocked() const;

    std::string m_strZsm;               // container path
    std::string m_strTmpDir;            // folder for protect.so; empty: working directory
    CAutoString m_strAlgoId;            // last identifier read
    std::unique_ptr<ZsoFile> m_module;  // cached module, or null
    FileStamp m_stamp;                  // identity of the container m_module came from
    mutable std::mutex m_lock;
};
