// How long each phase of the system test's run takes, printed as it ends, so a slow run shows
// where its minutes went.
#pragma once

#include <chrono>
#include <iomanip>
#include <iostream>
#include <string>

namespace orvane_system {

// Prints how long a phase of the run took when it ends.
class PhaseTimer {
public:
    explicit PhaseTimer(std::string name)
        : m_name(std::move(name)), m_start(std::chrono::steady_clock::now()) {}
    ~PhaseTimer() {
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - m_start;
        std::cout << "[ phase  ] " << m_name << ": " << std::fixed << std::setprecision(1)
                  << took.count() << " s" << std::endl;
    }
    PhaseTimer(const PhaseTimer&) = delete;
    PhaseTimer& operator=(const PhaseTimer&) = delete;

private:
    std::string m_name;
    std::chrono::steady_clock::time_point m_start;
};

}  // namespace orvane_system
