#include <pybind11/gil_safe_call_once.h>

#include "module/without_gil.hpp"

namespace py = pybind11;

namespace tessarel {

bool on_main_thread() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<unsigned long> main_thread;
    const unsigned long main_ident = main_thread
                                         .call_once_and_store_result([] {
                                             const auto thread = py::module_::import("threading").attr("main_thread")();
                                             return thread.attr("ident").cast<unsigned long>();
                                         })
                                         .get_stored();
    return PyThread_get_thread_ident() == main_ident;
}

void check_signals() {
    const py::gil_scoped_acquire locked;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

}  // namespace tessarel
