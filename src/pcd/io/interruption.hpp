#pragma once
// A long load or save stops between pieces of work when its caller asks it to. The caller
// installs a check for the duration on its own thread; the check throws to stop the work.
// Threads that the work starts have no check of their own: they stop when the caller's
// thread, which waits for them, stops.

namespace tessarel {

using InterruptionCheck = void (*)();

// Installs `check` on this thread for the scope's lifetime.
class InterruptionScope {
public:
    explicit InterruptionScope(InterruptionCheck check) noexcept;
    ~InterruptionScope();
    InterruptionScope(const InterruptionScope&) = delete;
    InterruptionScope& operator=(const InterruptionScope&) = delete;

private:
    InterruptionCheck outer_;
};

// Runs this thread's check between pieces of work, unless it ran a moment ago: often enough
// that a stop takes effect at once, seldom enough to cost nothing however small the pieces.
void check_for_interruption();

// Runs this thread's check in any case: before a step that cannot be taken back.
void check_for_interruption_now();

}  // namespace tessarel
