// CDownloadList: the automatic update's download list, "update.xml" in the download folder.
//
// Root "update", one "item" per package with the attributes "name", "md5", "size" and "state"
// (0 recorded, 1 download attempted, 2 downloaded) and, as text, the download URL, which becomes
// the local package path once the package is in. Values from the update server are escaped on the
// way in, so a URL with "&" or a name with quotes cannot break the file.
//
// Not thread-safe; the update runs on one thread.
#pragma once

#include "CAutoString.h"

#include <cstdint>
#include <functional>

class CDownloadList {
public:
    enum EListState { LIST_UNREADABLE, LIST_EMPTY, LIST_INCOMPLETE, LIST_COMPLETE };

    explicit CDownloadList(const char* path) : m_path(path) {}

    // Loads the file and reports whether every item is downloaded.
    EListState Check() const;

    // Records one file entry of the server's answer: an item of the same name with another URL is
    // reset to state 0 with the new values; one with the same URL stays; a new name is appended;
    // a missing or unreadable file is started afresh. False when the file cannot be written.
    bool Record(const char* name, const char* url, const char* md5, int64_t size);

    // For each item in state 0 or 1 with a name and a URL: marks it attempted, calls fetch(name,
    // url), and when fetch returns true marks it downloaded with the local path it reported.
    // The file is saved after every item, so an interrupted run keeps what it got.
    using Fetch = std::function<bool(const CAutoString& name, const CAutoString& url,
                                     CAutoString& localPath)>;
    void DownloadPending(const Fetch& fetch);

    // A name that is safe to turn into a file name in the download folder: 1 to 64 bytes, no "/",
    // no "..", no control characters.
    static bool IsSafeName(const char* name);

private:
    CAutoString m_path;
};
