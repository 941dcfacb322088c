#include "pcd/io/interruption.hpp"

#include <chrono>

namespace tessarel {
namespace {

constexpr auto check_interval = std::chrono::milliseconds(20);

thread_local InterruptionCheck installed = nullptr;
thread_local std::chrono::steady_clock::time_point last_check;

}  // namespace

InterruptionScope::InterruptionScope(InterruptionCheck check) noexcept : outer_(installed) { installed = check; }

InterruptionScope::~InterruptionScope() { installed = outer_; }

void check_for_interruption() {
    if (!installed) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_check < check_interval) return;
    last_check = now;
    installed();
}

void check_for_interruption_now() {
    if (installed) installed();
}

}  // namespace tessarel
