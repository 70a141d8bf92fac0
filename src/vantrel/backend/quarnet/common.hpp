// What every source of the kernel shares: how an argument is rejected, and the double
// machine epsilon.
#pragma once

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace quarnet {

// Every argument check of the kernel throws this (ValueError in Python), with a message
// that names the argument.
[[noreturn]] inline void reject(const std::string &message) { throw std::invalid_argument(message); }

// An integer in a rejection message.
inline std::string num(int64_t v) { return std::to_string(v); }

// 2^-52, the distance from 1 to the next double: the floor of the convergence measures'
// denominators and the unit of their rounding-level thresholds.
constexpr double machine_epsilon = std::numeric_limits<double>::epsilon();
static_assert(machine_epsilon == 2.220446049250313e-16, "IEEE double");

}  // namespace quarnet
