#pragma once
// Runs work that touches no Python object with the interpreter lock released.

#include <pybind11/pybind11.h>

namespace tessarel {

// Other threads run meanwhile. An exception leaves through the guard, which takes the lock
// back before pybind11 translates it.
template <class Work>
auto without_gil(Work work) {
    const pybind11::gil_scoped_release released;
    return work();
}

}  // namespace tessarel
