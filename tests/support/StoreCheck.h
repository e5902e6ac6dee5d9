// Checks on the programs' XML store files after a process was killed: the file parses, and the
// keys (top-level elements) it held before are all still there.
#pragma once

#include <set>
#include <string>

#include "CMarkup.h"
#include "TestSupport.h"

namespace orvane_test {

// The names of the root's child elements; false when the file is missing or not well formed.
inline bool storeKeys(const std::string& path, std::set<std::string>& keys) {
    keys.clear();
    CMarkup doc;
    if (!doc.SetDoc(readFile(path).c_str()) || !doc.FindElem())
        return false;
    doc.IntoElem();
    while (doc.FindElem())
        keys.insert(doc.GetTagName().ToStdString());
    return true;
}

// Empty when the store at path parses and holds every key of before; otherwise what is wrong.
inline std::string storeDamage(const std::string& path, const std::set<std::string>& before) {
    std::set<std::string> now;
    if (!storeKeys(path, now))
        return path + " does not parse:\n" + readFile(path);
    std::string lost;
    for (const std::string& key : before) {
        if (!now.count(key))
            lost += " " + key;
    }
    return lost.empty() ? "" : path + " lost" + lost + ":\n" + readFile(path);
}

}  // namespace orvane_test
