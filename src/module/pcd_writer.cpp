#include "module/pcd_writer.hpp"

#include <pybind11/numpy.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "module/bound_instance.hpp"
#include "module/exception_translation.hpp"
#include "module/file_name.hpp"
#include "module/process_owner.hpp"
#include "module/save_arguments.hpp"
#include "module/without_gil.hpp"
#include "pcd/write/pcd_stream_writer.hpp"

namespace py = pybind11;

namespace tessarel {
namespace {

// The writer's settings, read and checked as save_pcd reads its own, for a cloud of no points.
// A height of 0 rows holds no point: known now, it is refused now, not at the end of a map.
StreamSettings settings_of(const std::string& encoding, py::handle viewpoint, py::handle height) {
    const py::array_t<float> no_points(std::vector<py::ssize_t>{0, 3});
    const SaveArguments read = read_save_arguments(no_points, py::none(), encoding, py::none(), height, viewpoint);
    if (read.cloud.height == 0) {
        throw py::value_error("height must be 1 or more for a PcdWriter, not 0: every point written goes in a row");
    }
    return {read.cloud.encoding, read.cloud.height, read.cloud.viewpoint, std::nullopt};
}

class PcdWriter {
public:
    PcdWriter(const FileName& filename, const std::string& encoding, py::handle viewpoint, py::handle height)
        : encoding_(encoding) {
        const StreamSettings settings = settings_of(encoding, viewpoint, height);
        stream_ = without_gil([&] { return std::make_unique<PcdStreamWriter>(filename.bytes, settings); });
    }

    // In a forked child the stream's thread does not exist and its file is the parent's: the
    // copy is left alone, never joined nor discarded.
    ~PcdWriter() {
        if (!owner_.here()) (void)stream_.release();
    }

    PcdWriter(const PcdWriter&) = delete;
    PcdWriter& operator=(const PcdWriter&) = delete;

    void write(py::handle points, py::handle fields) {
        const std::unique_lock busy = take();
        if (!stream_) throw py::value_error("write to a closed PcdWriter: it completed its file, or was aborted");
        const SaveArguments part = read_save_arguments(points, fields, encoding_, py::none(), py::none(), py::none());
        try {
            without_gil([&] { stream_->write(part.cloud); });
        } catch (const std::invalid_argument&) {
            throw;  // refused before anything was written: the writer goes on
        } catch (...) {
            stream_.reset();  // the file is unfinished: it is discarded
            keep_failure();
        }
    }

    void close() {
        const std::unique_lock busy = take();
        if (!stream_) return;
        // Completed or failed, the stream is done with: a failed one discards its file.
        const std::unique_ptr<PcdStreamWriter> stream = std::move(stream_);
        try {
            without_gil([&] { stream->complete(); });
        } catch (...) {
            keep_failure();
        }
    }

    // Discards the file, and with it any failure that closing would report.
    void abort() {
        const std::unique_lock busy = lock();
        stream_.reset();
        failure_ = py::object();
    }

    void enter() { lock(); }

    bool exit(py::handle type) {
        if (type.is_none()) {
            close();
        } else {
            abort();
        }
        return false;
    }

private:
    // The writer for one call: refused in another process, or while another thread's call runs.
    std::unique_lock<std::mutex> lock() {
        owner_.check("this PcdWriter");
        std::unique_lock busy(busy_, std::try_to_lock);
        if (!busy.owns_lock()) {
            throw std::runtime_error(
                "this PcdWriter is in use by another thread: a writer is used from one thread "
                "at a time");
        }
        return busy;
    }

    // As lock(), and refused after a write failed: the map it was writing is lost, and the
    // caller must hear of it, even after catching the write's own error.
    std::unique_lock<std::mutex> take() {
        std::unique_lock busy = lock();
        if (!failure_) return busy;
        py::object error = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(
            "this PcdWriter discarded its file when it failed (" + exception_text(failure_) +
            "): the target is as it was, and nothing was completed");
        PyException_SetCause(error.ptr(), failure_.inc_ref().ptr());
        PyErr_SetObject(PyExc_RuntimeError, error.ptr());
        throw py::error_already_set();
    }

    // Rethrows the exception being handled, kept as Python raises it, so that every later call
    // can say why there is no file.
    [[noreturn]] void keep_failure() {
        py::error_already_set error = current_python_error();
        failure_ = error.value();
        throw error;
    }

    ProcessOwner owner_;
    std::string encoding_;
    std::unique_ptr<PcdStreamWriter> stream_;  // none once completed, aborted or failed
    py::object failure_;                       // what a failed write raised
    std::mutex busy_;                          // held through each call
};

PcdWriter& writer_of(py::handle self) { return constructed<PcdWriter>(self, "PcdWriter"); }

}  // namespace

void register_pcd_writer(py::module_& module) {
    py::class_<PcdWriter> type(module, "PcdWriter", R"doc(
        A PCD file written scan by scan, in bounded memory.

            with tessarel.PcdWriter("map.pcd", encoding="binary") as out:
                for points, fields in scans:
                    out.write(points, fields)

        encoding: "binary", "ascii" or "binary_compressed"
        viewpoint: 7 real numbers (tx, ty, tz, qw, qx, qy, qz), default
            (0, 0, 0, 1, 0, 0, 0)
        height: the rows of an organized cloud, 1 or more; WIDTH is the total
            divided by it (default: one row of every point)

        The first write fixes the fields: names, dtypes, counts, and which of
        x, y and z come from fields. Leaving the block completes the file; an
        exception in it, or abort(), leaves the target as it was, as does a
        writer collected before it completed. A write that fails discards the
        file: closing then raises RuntimeError, so that the loss is never
        silent, even where the write's own error was caught. binary and ascii
        write each part as it comes and need a target that can seek;
        binary_compressed keeps its compressed columns in memory until the
        end. A writer is used from one thread at a time, in the process that
        made it.
    )doc");
    type.def(py::init<const FileName&, const std::string&, py::handle, py::handle>(), py::arg("filename"),
             py::kw_only(), py::arg("encoding") = "binary", py::arg("viewpoint") = py::none(),
             py::arg("height") = py::none())
        .def(
            "write",
            [](py::handle self, py::handle points, py::handle fields) { writer_of(self).write(points, fields); },
            py::arg("points"), py::arg("fields") = py::none(), R"doc(
            Write the next points, with what save_pcd takes, checked as it checks it.

            A write whose fields differ from the first write's raises ValueError
            and writes nothing; one that fails while writing (a full disk, Ctrl-C)
            discards the file.
        )doc")
        .def(
            "close", [](py::handle self) { writer_of(self).close(); }, R"doc(
            Complete the file, as leaving the with block does: the point count is
            written into the header and the file put in the target's place. A
            total that does not fill rows of `height` raises ValueError and
            leaves the target as it was. After a failure, here or in a write,
            every call but abort() raises RuntimeError that says the file was
            discarded, from the failure's own error. Closing a completed file
            again does nothing.
        )doc")
        .def(
            "abort", [](py::handle self) { writer_of(self).abort(); }, R"doc(
            Discard the file before it is complete: the target stays as it was.
        )doc")
        .def("__enter__",
             [](py::handle self) {
                 writer_of(self).enter();
                 return py::reinterpret_borrow<py::object>(self);
             })
        .def("__exit__",
             [](py::handle self, py::handle type, py::handle, py::handle) { return writer_of(self).exit(type); });
    refuse_second_init(type, "PcdWriter");
}

}  // namespace tessarel
