#pragma once
// Python exceptions for the C++ exceptions of the core.

namespace tessarel {

// Registers the translation for this module's functions alone. A failed file operation becomes
// an OSError of its errno's kind, with the file name; a buffer that memory cannot hold a
// MemoryError that says its size; a field name the file lacks a KeyError; any other error of
// the core keeps its message, whatever bytes it holds.
void register_exception_translation();

}  // namespace tessarel
