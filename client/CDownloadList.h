// CDownloadList: the automatic update's download list, "update.xml" in the download folder.
//
// Root "update", one "item" per package with the attributes "name", "md5", "size" and "state"
// (0 recorded, 1 download attempted, 2 downloaded, 3 refused) and, as text, the download URL,
// which becomes the local package path once the package is in. A refused item (a listed size
// the installer would refuse, or a server that sent more than it listed) is never downloaded
// again while the server lists it the same way, and no other item is downloaded while it stands:
// the update could not be installed whole. Values from the update server are escaped on the
// way in, so a URL with "&" or a name with quotes cannot break the file.
//
// Not thread-safe; the update runs on one thread.
#pragma once

#include "CAutoString.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CDownloadList {
public:
    enum EListState { LIST_UNREADABLE, LIST_EMPTY, LIST_INCOMPLETE, LIST_COMPLETE, LIST_REFUSED };
    enum EFetch { FETCH_FAILED, FETCH_DONE, FETCH_REFUSED };

    explicit CDownloadList(const char* path) : m_path(path) {}

    // Loads the file and reports whether every item is downloaded (LIST_REFUSED: one is refused).
    EListState Check() const;

    // Records one file entry of the server's answer: an item of the same name with another URL is
    // reset to state 0 with the new values; one with the same URL stays; a new name is appended;
    // a missing or unreadable file is started afresh. False when the file cannot be written.
    bool Record(const char* name, const char* url, const char* md5, int64_t size);

    // First refuses every item whose size is not a positive number up to maxBytes, with a line
    // saying why; with a refused item nothing is fetched. Otherwise, for each item in state 0 or
    // 1 with a name and a URL: marks it attempted, calls fetch(name, url, size), marks it
    // downloaded with the local path it reported on FETCH_DONE, refused on FETCH_REFUSED (and
    // fetches nothing more). The file is saved after every item, so an interrupted run keeps
    // what it got.
    using Fetch = std::function<EFetch(const CAutoString& name, const CAutoString& url,
                                       int64_t size, CAutoString& localPath)>;
    void DownloadPending(const Fetch& fetch, int64_t maxBytes);

    // The refused items, each as one key of its name, URL, MD5 and size.
    std::vector<std::string> Refused() const;
    // Marks refused again every item whose key is in refused (a list recorded afresh from the
    // same answer). False when the file cannot be written.
    bool KeepRefused(const std::vector<std::string>& refused);
    // A listed size as the answer gives it: decimal digits only, else -1 (refused later).
    static int64_t ParseSize(const char* text);

    // A name that is safe to turn into a file name in the download folder: 1 to 64 bytes, no "/",
    // no "..", no control characters.
    static bool IsSafeName(const char* name);

private:
    bool RefuseBadSizes(int64_t maxBytes);

    CAutoString m_path;
};
