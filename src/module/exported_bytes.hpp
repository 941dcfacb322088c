#pragma once
// The bytes an object exports through the buffer protocol, for an argument read as bytes.
// While they are held, the object stays alive and a bytearray cannot be resized; they are
// released with the interpreter lock held, as they must be. A buffer whose items are Python
// objects (format 'O') is refused: its bytes are pointers, and views of them written to would
// break the interpreter. So is one whose bytes do not follow each other, and an object that
// exports none, naming the argument.

#include <pybind11/pybind11.h>

#include <cstddef>
#include <span>
#include <string>

namespace tessarel {

class ExportedBytes {
public:
    // `what` names the argument in messages, such as "data".
    ExportedBytes(pybind11::handle source, const std::string& what);
    ~ExportedBytes() { PyBuffer_Release(&view_); }
    ExportedBytes(const ExportedBytes&) = delete;
    ExportedBytes& operator=(const ExportedBytes&) = delete;

    std::span<const std::byte> bytes() const {
        return {static_cast<const std::byte*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
};

}  // namespace tessarel
