// CZsmHelper: loader of the external algorithm module that codes portal request bodies and
// decodes portal answers.
//
// The module is a shared object inside the container file (see CZxmContainer), and the portal can
// replace it: it is foreign code and never runs in this process. The loader reads and unpacks the
// container here and hands the shared object to a helper process (CZsmProcess, program OrvaneZsm
// next to the service) that loads it from a memory file, confines itself, and answers each coding
// and decoding over a socket. Nothing is written to disk for it.
//
// The helper is kept until the container file changes (another inode, size or modification
// time), Update replaces it, or it fails. A module that crashes, takes longer than 2 s for one
// call or answers more than the cap gives the same results as a missing module; the failure is
// logged at the error level and the next call starts a fresh helper.
//
// Every public operation is safe to call from any thread: one mutex serialises them.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <mutex>
#include <string>

#include "CAutoString.h"
#include "CZsmProcess.h"

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
    // The helper program to run; empty (the default) means OrvaneZsm in this program's folder.
    void SetHostPath(const char* path);

    // Ends the helper; the next operation starts one again from the container.
    void Release();
    // Always 1: a replaced container is picked up by the next operation by itself.
    int IsUpdated() { return 1; }

    // The identifier of the container's module, or kNoAlgoId when none can be loaded (the last
    // identifier read is then kept for later). Empty when the container carries none.
    CAutoString GetAlgoId();

    // Replaces the container file with len bytes at data, after checking that they form a
    // container that unpacks, ends the old helper and starts one with the new module. Returns 1
    // on success, -1 when the bytes are refused or the file cannot be written (the old container
    // then stays in place), 0 when data is null.
    int Update(const char* data, size_t len);

    // Codes a NUL-terminated text. Never null: a new[]-allocated result, or a new[]-allocated
    // copy of kCodeFallback when the module is missing or fails. Release with FreeResult.
    char* Code(const char* text);
    // Decodes a NUL-terminated text coded by the same module. Returns a new[]-allocated,
    // NUL-terminated text, or null when the module is missing or refuses the text.
    char* DeCode(const char* text);
    // Releases a result of Code or DeCode; null is ignored.
    static void FreeResult(char* p) { delete[] p; }

    // Process id of the running helper, or -1 (for tests and log lines).
    pid_t HelperPid() const;

    CZsmHelper(const CZsmHelper&) = delete;
    CZsmHelper& operator=(const CZsmHelper&) = delete;

private:
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

    // True when a helper runs the current container's module, starting one when the container
    // changed or the last one ended. Caller holds m_lock.
    bool ensureHelper();
    bool startHelper();
    // One request to the helper; false (helper ended, failure logged) unless it answered.
    bool callHelper(char op, const char* text, std::string& answer);
    bool readContainer(std::string& bytes, FileStamp& stamp) const;
    int UpdateZsm(const char* data, size_t len);
    std::string hostPathLocked() const;

    std::string m_strZsm;        // container path
    std::string m_strHostPath;   // helper program; empty: next to this program
    CAutoString m_strAlgoId;     // last identifier read
    std::string m_loadedAlgoId;  // identifier of the module the helper runs
    CZsmProcess m_process;
    FileStamp m_stamp;  // identity of the container the helper's module came from
    mutable std::mutex m_lock;
};
