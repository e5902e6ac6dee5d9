#include "CFaultPlan.h"

#include <cstdlib>
#include <set>

namespace {

const std::set<std::string> kKinds = {"probe", "page",  "ticket", "auth",   "keep",     "state",
                                      "term",  "query", "stats",  "update", "download", "any"};
const std::set<std::string> kActions = {"refuse",   "drop",     "delay", "http500", "garbage",
                                        "truncate", "redirect", "notag", "error",   "lastlogin",
                                        "endlogin", "renew",    "flood", "listsize"};

bool ValidArg(const std::string& action, const std::string& arg) {
    if (action == "delay")
        return !arg.empty() && std::atol(arg.c_str()) > 0;
    if (action == "error")
        return !arg.empty() && arg[0] >= '0' && arg[0] <= '9';
    if (action == "lastlogin" || action == "listsize")
        return !arg.empty();
    if (action == "flood")
        return !arg.empty() && std::atoll(arg.c_str()) > 0;
    return true;
}

}  // namespace

bool CFaultPlan::Add(const std::string& text, std::string& error) {
    size_t c1 = text.find(':');
    size_t c2 = c1 == std::string::npos ? c1 : text.find(':', c1 + 1);
    if (c2 == std::string::npos) {
        error = "fault rule must be KIND:N[+]:ACTION[:ARG]: '" + text + "'";
        return false;
    }
    Rule rule;
    rule.kind = text.substr(0, c1);
    std::string count = text.substr(c1 + 1, c2 - c1 - 1);
    rule.onwards = !count.empty() && count.back() == '+';
    if (rule.onwards)
        count.pop_back();
    // "next" is resolved below, under the lock, against the count the handlers have reached.
    const bool next = count == "next";
    char* end = nullptr;
    rule.from = next ? 1 : std::strtol(count.c_str(), &end, 10);
    std::string rest = text.substr(c2 + 1);
    size_t c3 = rest.find(':');
    rule.fault.action = rest.substr(0, c3);
    rule.fault.arg = c3 == std::string::npos ? "" : rest.substr(c3 + 1);
    rule.fault.rule = text;
    if (!kKinds.count(rule.kind) || count.empty() || (!next && *end != '\0') || rule.from < 1 ||
        !kActions.count(rule.fault.action) || !ValidArg(rule.fault.action, rule.fault.arg)) {
        error = "bad fault rule '" + text + "'";
        return false;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (next)
        rule.from = m_counts[rule.kind] + 1;
    m_rules.push_back(rule);
    return true;
}

void CFaultPlan::Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_rules.clear();
}

bool CFaultPlan::Matches(const Rule& rule, long count) const {
    return rule.onwards ? count >= rule.from : count == rule.from;
}

std::optional<SimFault> CFaultPlan::Next(const std::string& kind) {
    std::lock_guard<std::mutex> guard(m_lock);
    long count = ++m_counts[kind];
    long anyCount = ++m_counts["any"];
    for (const Rule& rule : m_rules) {
        if (rule.kind == kind && Matches(rule, count))
            return rule.fault;
        if (rule.kind == "any" && Matches(rule, anyCount))
            return rule.fault;
    }
    return std::nullopt;
}
