// Small helpers shared by the harness's own sources; not for the tests.
#pragma once

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

namespace harness::internal {

using Clock = std::chrono::steady_clock;

[[noreturn]] inline void throw_errno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

inline void sleep_for(std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); }

}  // namespace harness::internal
