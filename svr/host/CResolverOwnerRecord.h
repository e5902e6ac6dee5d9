// CResolverOwnerRecord: what the service applied to a resolver service (systemd-resolved or
// resolvconf) and what undoes it, kept in an owner-only file next to the saved resolver text, so
// that a service killed while logged in undoes it at its next start. The resolver file's own
// rewrite keeps its records in CResolverBackup.
//
// The file is written whole through a temporary file renamed into place, before the change it
// describes is made. It is read only when it is a regular file of this user with a single link
// that nobody else may read or write, and only when every line of it makes sense: a record that
// another user placed, or a damaged one, is never acted on.
//
// Text, one setting a line:
//   owner systemd-resolved | owner resolvconf
//   link IFACE IFINDEX          (systemd-resolved: the link changed)
//   dns ADDRESS                 (systemd-resolved: the link's own servers, to put back)
//   domain NAME | domain ~NAME  (systemd-resolved: the link's own domains, ~ for routing only)
//   record IFACE.orvane         (resolvconf: the record to delete)
//
// Not thread-safe; used by its owner's thread.
#pragma once

#include <string>

#include "CResolvedLink.h"

class CResolverOwnerRecord {
public:
    enum class Owner { kNone, kResolved, kResolvconf };
    // Larger is not a record of ours.
    static constexpr size_t kMaxSize = 16384;

    Owner owner = Owner::kNone;
    std::string iface;  // the link's interface name (systemd-resolved)
    int ifindex = 0;
    CResolvedLink::Settings before;  // what the link held before (systemd-resolved)
    std::string record;              // the interface record (resolvconf)

    // The text of the record, and the record read back from one; false (and *this unchanged)
    // for a text that is not a whole, sensible record.
    std::string Text() const;
    bool Parse(const std::string& text);

    // Reads the record at path; false when there is none that counts (see above).
    bool Load(const std::string& path);
    // 0, or the system error number when it could not be written (then nothing may be applied).
    int Save(const std::string& path) const;
    static void Forget(const std::string& path);

private:
    bool ParseLine(const std::string& key, const std::string& value);
};
