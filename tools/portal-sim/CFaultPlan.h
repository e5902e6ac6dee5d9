// CFaultPlan: the faults a running simulator injects, by request kind and per-kind request count.
//
// Every request of a kind is counted (1-based) whether or not a fault hits it. Rules are tried in
// the order they were added; the first that matches the count wins. Thread-safe: handlers on the
// server's worker threads call Next() concurrently with control commands calling Add()/Clear().
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct SimFault {
    std::string action;  // refuse drop delay http500 garbage truncate redirect notag error ...
    std::string arg;     // text after the action, may be empty
    std::string rule;    // the rule as written, for the request log
};

class CFaultPlan {
public:
    // Adds "KIND:N[+]:ACTION[:ARG]"; N "next" is the request after the last one counted so far
    // (requests still in flight count, which a test reading the request log cannot know).
    // Returns false with a message for a malformed rule.
    bool Add(const std::string& rule, std::string& error);
    void Clear();
    // Counts one request of kind and returns the fault to apply to it, if any.
    std::optional<SimFault> Next(const std::string& kind);

private:
    struct Rule {
        std::string kind;  // "any" matches every kind, counted on its own
        long from = 1;
        bool onwards = false;
        SimFault fault;
    };
    bool Matches(const Rule& rule, long count) const;

    std::mutex m_lock;
    std::vector<Rule> m_rules;
    std::map<std::string, long> m_counts;
};
