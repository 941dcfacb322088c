#pragma once
// tessarel.iter_pcd's iterator: a file read a chunk of points at a time, each chunk decoded
// with the interpreter lock released and handed to Python as load_pcd hands a cloud. The file
// stays open until the last chunk, close(), the end of a with block, or collection.

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "module/field_names.hpp"
#include "module/file_name.hpp"
#include "pcd/read/field_selection.hpp"
#include "pcd/read/pcd_chunks.hpp"

namespace tessarel {

class PcdIterator {
public:
    PcdIterator(const FileName& filename, std::int64_t chunk_points, const FieldNames& fields);

    // The next (points, fields) pair; StopIteration after the last, after an error, or once closed.
    pybind11::tuple next();

    void close();

    pybind11::dict header() const { return header_; }

private:
    // Refuses a second thread while one reads a chunk without the interpreter lock.
    void check_idle() const;

    std::unique_ptr<PcdChunks> chunks_;
    std::size_t chunk_points_;
    FieldRequest names_;
    pybind11::dict header_;
    bool reading_ = false;
};

}  // namespace tessarel
