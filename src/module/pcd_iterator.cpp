#include "module/pcd_iterator.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "module/array_assembly.hpp"
#include "module/bound_instance.hpp"
#include "module/exception_translation.hpp"
#include "module/field_names.hpp"
#include "module/file_name.hpp"
#include "module/integer_argument.hpp"
#include "module/load_functions.hpp"
#include "module/process_owner.hpp"
#include "module/without_gil.hpp"
#include "pcd/io/file_source.hpp"
#include "pcd/read/pcd_chunks.hpp"

namespace py = pybind11;

namespace tessarel {
namespace {

std::size_t chunk_points_of(py::handle value) {
    const IntegerArgument read = integer_argument(value, "chunk_points");
    const std::string given = py::str(read.integer);
    if (read.overflow > 0) {
        throw py::value_error("chunk_points must be at most " + std::to_string(std::numeric_limits<long long>::max()) +
                              ", not " + given);
    }
    if (read.overflow < 0 || read.value < 1) throw py::value_error("chunk_points must be 1 or more, not " + given);
    // More than memory holds is every point.
    return static_cast<std::size_t>(std::min<unsigned long long>(static_cast<unsigned long long>(read.value),
                                                                 std::numeric_limits<std::size_t>::max()));
}

// Clears a flag when it goes out of scope, however the scope is left.
class Reading {
public:
    explicit Reading(bool& flag) noexcept : flag_(flag) { flag_ = true; }
    ~Reading() { flag_ = false; }
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;

private:
    bool& flag_;
};

class PcdIterator {
public:
    PcdIterator(const FileName& filename, py::handle chunk_points, const FieldNames& fields)
        : chunk_points_(chunk_points_of(chunk_points)), names_(fields.names) {
        chunks_ = without_gil(
            [&] { return std::make_unique<PcdChunks>(std::make_unique<FileSource>(filename.bytes), names_); });
        header_ = chunks_->header();
    }

    // A forked child's copy is left alone: its chunk reader is the parent's.
    ~PcdIterator() {
        if (!owner_.here()) (void)chunks_.release();
    }

    PcdIterator(const PcdIterator&) = delete;
    PcdIterator& operator=(const PcdIterator&) = delete;

    // The next (points, fields) pair; StopIteration after the last, or once closed. A chunk
    // that fails, or whose call an exception interrupts, ends the iteration: every later call
    // says so, as a StopIteration would pass for the end of the cloud.
    py::tuple next() {
        check_idle();
        if (!ended_by_.empty()) {
            throw std::runtime_error("iter_pcd: the iteration ended at chunk " + std::to_string(chunks_read_) +
                                     ", which raised " + ended_by_ + "; no later chunk is read: iterate the file anew");
        }
        if (!chunks_) throw py::stop_iteration();
        try {
            std::optional<PcdCloud> chunk;
            {
                const Reading reading(reading_);
                chunk = without_gil([&] { return chunks_->next(chunk_points_); });
            }
            if (!chunk) {
                chunks_.reset();
                throw py::stop_iteration();
            }
            auto [points, fields] = assemble_arrays(std::move(*chunk), names_);
            ++chunks_read_;
            return py::make_tuple(std::move(points), std::move(fields));
        } catch (const py::stop_iteration&) {
            throw;
        } catch (...) {
            chunks_.reset();
            py::error_already_set error = current_python_error();
            ended_by_ = exception_text(error.value());
            throw error;
        }
    }

    void close() {
        check_idle();
        chunks_.reset();
    }

    // A dict of its own at each call: changing it changes nothing of the iterator's.
    py::dict header() {
        check_idle();
        return header_dict(header_);
    }

    // Refuses another process, and a second thread while one reads a chunk without the lock.
    void check_idle() const {
        owner_.check("this iter_pcd iterator");
        if (reading_) throw std::runtime_error("iter_pcd: another thread is reading a chunk of this iterator");
    }

private:
    ProcessOwner owner_;
    std::unique_ptr<PcdChunks> chunks_;
    std::size_t chunk_points_;
    FieldRequest names_;
    PcdHeader header_;
    bool reading_ = false;
    std::size_t chunks_read_ = 0;  // handed to Python
    std::string ended_by_;         // the error that ended the iteration, as "Type: message"
};

PcdIterator& iterator_of(py::handle self) { return constructed<PcdIterator>(self, "PcdIterator"); }

py::object idle_self(py::handle self) {
    iterator_of(self).check_idle();
    return py::reinterpret_borrow<py::object>(self);
}

}  // namespace

void register_pcd_iterator(py::module_& module) {
    py::class_<PcdIterator>(module, "PcdIterator", R"doc(
        The chunks of a PCD file, from iter_pcd: an iterator of (points, fields)
        pairs, and a context manager that closes the file on exit.
    )doc")
        .def("__iter__", idle_self)
        .def("__next__", [](py::handle self) { return iterator_of(self).next(); })
        .def("__enter__", idle_self)
        .def("__exit__", [](py::handle self, const py::args&) { iterator_of(self).close(); })
        .def(
            "close", [](py::handle self) { iterator_of(self).close(); },
            "Close the file; the iterator then yields nothing more.")
        .def_property_readonly(
            "header", [](py::handle self) { return iterator_of(self).header(); },
            "What load_pcd_header gives for the file, read when the iterator opened it.");
    module.def(
        "iter_pcd",
        [](const FileName& filename, py::handle chunk_points, const FieldNames& fields) {
            return std::make_unique<PcdIterator>(filename, chunk_points, fields);
        },
        py::arg("filename"), py::arg("chunk_points") = 1'000'000, py::arg("fields") = py::none(),
        R"doc(
        Read a PCD file a chunk of points at a time, in file order.

        Returns an iterator of (points, fields) pairs, as load_pcd gives them, for
        consecutive runs of chunk_points points: every chunk but the last holds
        exactly chunk_points, and a cloud of 0 points yields none. A chunk's
        arrays stay valid after the iterator moves on.

        chunk_points: the points of each chunk, an integer of 1 or more
        fields: an iterable of field names to keep, as load_pcd takes it

        The header attribute holds what load_pcd_header gives, before the first
        chunk. The iterator is a context manager: the file is closed at the end of
        a with block, after the last chunk, by close(), or when it is collected.
        An error is raised at the chunk where it occurs, with the message a whole
        load gives, and ends the iteration: so does an exception that interrupts
        a chunk, such as KeyboardInterrupt, and every later call raises
        RuntimeError, so that no chunk is skipped unnoticed. binary and ascii
        chunks hold only their own points; the chosen columns of a
        binary_compressed file are decoded at the first chunk, and every chunk is
        a view of them. The iterator belongs to the process that made it.
    )doc");
}

}  // namespace tessarel
