#pragma once
// Runs work that touches no Python object with the interpreter lock released. On the main
// thread, where Python runs its signal handlers, the work stops between pieces when a handler
// raises: Ctrl-C stops a long load or save with KeyboardInterrupt.

#include <pybind11/pybind11.h>

#include "pcd/io/interruption.hpp"

namespace tessarel {

// Whether this thread is the interpreter's main thread; needs the lock.
bool on_main_thread();

// Takes the lock back and runs the handlers of the signals that arrived; throws the exception
// that one raises.
void check_signals();

// Other threads run meanwhile. An exception leaves through the guard, which takes the lock
// back before pybind11 translates it.
template <class Work>
auto without_gil(Work work) {
    const InterruptionScope interruptible(on_main_thread() ? &check_signals : nullptr);
    const pybind11::gil_scoped_release released;
    return work();
}

}  // namespace tessarel
