// Small helpers of the benchmark table: samples with their median and 95th percentile, a process's
// resident memory and thread count from /proc, and the table itself.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace orvane_bench {

using Clock = std::chrono::steady_clock;

inline double millisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Durations in milliseconds.
class Samples {
public:
    void Add(double ms) { m_values.push_back(ms); }
    size_t size() const { return m_values.size(); }
    bool empty() const { return m_values.empty(); }
    double Median() const { return Rank(0.5); }
    double P95() const { return Rank(0.95); }

private:
    // Nearest-rank percentile: the smallest value with at least share of the samples at or below.
    double Rank(double share) const {
        if (m_values.empty())
            return 0;
        std::vector<double> sorted = m_values;
        std::sort(sorted.begin(), sorted.end());
        size_t rank = static_cast<size_t>(share * static_cast<double>(sorted.size()) + 0.999999);
        rank = std::min(std::max<size_t>(rank, 1), sorted.size());
        return sorted[rank - 1];
    }

    std::vector<double> m_values;
};

// A line "Name:   value kB" of /proc/PID/status, as a number; -1 when missing.
inline long statusField(pid_t pid, const std::string& name) {
    std::istringstream in(orvane_test::readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, name.size() + 1, name + ":") == 0)
            return std::atol(line.c_str() + name.size() + 1);
    }
    return -1;
}

// "12.3 ms", "45 us": durations in a unit that keeps two or three significant digits.
inline std::string formatMs(double ms) {
    char text[32];
    if (ms >= 100)
        std::snprintf(text, sizeof text, "%.0f ms", ms);
    else if (ms >= 1)
        std::snprintf(text, sizeof text, "%.2f ms", ms);
    else
        std::snprintf(text, sizeof text, "%.1f us", ms * 1000);
    return text;
}

inline std::string formatRatio(double ratio) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f x", ratio);
    return text;
}

// A Markdown table: measure, median, p95, goal, verdict or remark.
class Table {
public:
    void Row(const std::string& what, const std::string& median, const std::string& p95,
             const std::string& goal, const std::string& remark) {
        m_rows.push_back({what, median, p95, goal, remark});
    }
    void Print() const {
        std::printf("| measure | median | p95 | goal | result |\n|---|---|---|---|---|\n");
        for (const auto& r : m_rows)
            std::printf("| %s | %s | %s | %s | %s |\n", r[0].c_str(), r[1].c_str(), r[2].c_str(),
                        r[3].c_str(), r[4].c_str());
        std::fflush(stdout);
    }

private:
    std::vector<std::vector<std::string>> m_rows;
};

}  // namespace orvane_bench
