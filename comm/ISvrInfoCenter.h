// ISvrInfoCenter: the face of the process-wide key/value store that the router hands to its
// businesses. Two independent layers: values in memory (gone at exit) and local values kept in the
// program's store file (they survive restarts). Absent keys read as the empty string in both.
// Every operation may be called from any thread.
#pragma once

#include "CAutoString.h"

#include <utility>
#include <vector>

class ISvrInfoCenter {
public:
    virtual ~ISvrInfoCenter() = default;

    // Memory layer: setting an existing key replaces its value; keys compare exactly.
    virtual void SetValue(const char* key, const char* value) = 0;
    virtual CAutoString GetValue(const char* key) = 0;
    // SetValue, and remembers the pair as one published to the other process.
    virtual void SetGlobalValue(const char* key, const char* value) = 0;
    // Offers every global pair again, in ascending key order.
    virtual void SynchroGlobalValue() = 0;

    // Local layer, bound to the store file.
    virtual CAutoString GetLocalValue(const char* key) = 0;
    // True when the value was set and the store file rewritten. False when there is no store
    // (missing or rootless file) or the file could not be rewritten; the old file then stays.
    virtual bool SetLocalValue(const char* key, const char* value) = 0;
    // Several local values, set in order, with one rewrite of the store file: each rewrite is
    // synced to disk, and a conversation that stores several values must not wait for one sync
    // per value. An empty key refuses the whole list and sets nothing; a value the store cannot
    // hold is left out while the others are written. True when every value was set and the file
    // rewritten; otherwise false as for SetLocalValue.
    using LocalValues = std::vector<std::pair<CAutoString, CAutoString>>;
    virtual bool SetLocalValues(const LocalValues& values) = 0;
};
