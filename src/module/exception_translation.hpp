#pragma once
// Python exceptions for the C++ exceptions of the core.

#include <pybind11/pybind11.h>

#include <string>

namespace tessarel {

// Registers the translation for this module's functions alone. A failed file operation becomes
// an OSError of its errno's kind, with the file name; a buffer that memory cannot hold a
// MemoryError that says its size; a field name the file lacks a KeyError; any other error of
// the core keeps its message, whatever bytes it holds.
void register_exception_translation();

// The exception being handled, as Python will raise it: for a catch block that keeps it before
// it throws it on. Needs the interpreter lock.
pybind11::error_already_set current_python_error();

// "Type: message", for a message that reports an earlier error.
std::string exception_text(pybind11::handle error);

}  // namespace tessarel
