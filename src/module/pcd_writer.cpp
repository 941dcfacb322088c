#include "module/pcd_writer.hpp"

#include <pybind11/numpy.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "module/file_name.hpp"
#include "module/save_arguments.hpp"
#include "module/without_gil.hpp"
#include "pcd/write/pcd_stream_writer.hpp"

namespace py = pybind11;

namespace tessarel {
namespace {

// The writer's settings, read and checked as save_pcd reads its own, for a cloud of no points.
StreamSettings settings_of(const std::string& encoding, py::handle viewpoint, py::handle height) {
    const py::array_t<float> no_points(std::vector<py::ssize_t>{0, 3});
    const SaveArguments read = read_save_arguments(no_points, py::none(), encoding, py::none(), height, viewpoint);
    return {read.cloud.encoding, read.cloud.height, read.cloud.viewpoint, std::nullopt};
}

class PcdWriter {
public:
    PcdWriter(const FileName& filename, const std::string& encoding, py::handle viewpoint, py::handle height)
        : encoding_(encoding) {
        const StreamSettings settings = settings_of(encoding, viewpoint, height);
        // Opening a FIFO waits for its reader.
        stream_ = without_gil([&] { return std::make_unique<PcdStreamWriter>(filename.bytes, settings); });
    }

    void write(py::handle points, py::handle fields) {
        const std::unique_lock busy = take();
        const SaveArguments part = read_save_arguments(points, fields, encoding_, py::none(), py::none(), py::none());
        try {
            without_gil([&] { stream_->write(part.cloud); });
        } catch (const std::invalid_argument&) {
            throw;  // refused before anything was written: the writer goes on
        } catch (...) {
            stream_.reset();  // the file is unfinished: it is discarded
            throw;
        }
    }

    void close() {
        const std::unique_lock busy(busy_, std::try_to_lock);
        refuse_if_busy(busy);
        if (!stream_) return;
        // Completed or failed, the stream is done with: a failed one discards its file.
        const std::unique_ptr<PcdStreamWriter> stream = std::move(stream_);
        without_gil([&] { stream->complete(); });
    }

    void abort() {
        const std::unique_lock busy(busy_, std::try_to_lock);
        refuse_if_busy(busy);
        stream_.reset();
    }

    bool exit(py::handle type, py::handle, py::handle) {
        if (type.is_none()) {
            close();
        } else {
            abort();
        }
        return false;
    }

private:
    static void refuse_if_busy(const std::unique_lock<std::mutex>& busy) {
        if (!busy.owns_lock()) {
            throw std::runtime_error(
                "this PcdWriter is in use by another thread: a writer is used from one thread "
                "at a time");
        }
    }

    // The writer for one call, or an error: closed, or in another thread's call.
    std::unique_lock<std::mutex> take() {
        std::unique_lock busy(busy_, std::try_to_lock);
        refuse_if_busy(busy);
        if (!stream_) throw py::value_error("write to a closed PcdWriter: it completed its file, or was aborted");
        return busy;
    }

    std::string encoding_;
    std::unique_ptr<PcdStreamWriter> stream_;  // none once completed or aborted
    std::mutex busy_;                          // held through each call
};

}  // namespace

void register_pcd_writer(py::module_& module) {
    py::class_<PcdWriter>(module, "PcdWriter", R"doc(
        A PCD file written scan by scan, in bounded memory.

            with tessarel.PcdWriter("map.pcd", encoding="binary") as out:
                for points, fields in scans:
                    out.write(points, fields)

        encoding: "binary", "ascii" or "binary_compressed"
        viewpoint: 7 real numbers (tx, ty, tz, qw, qx, qy, qz), default
            (0, 0, 0, 1, 0, 0, 0)
        height: the rows of an organized cloud; WIDTH is the total divided by
            it (default: one row of every point)

        The first write fixes the fields: names, dtypes, counts, and which of
        x, y and z come from fields. Leaving the block completes the file; an
        exception in it, or abort(), leaves the target as it was, as does a
        writer collected before it completed. binary and ascii write each
        part as it comes and need a target that can seek; binary_compressed
        keeps its compressed columns in memory until the end. A writer is used
        from one thread at a time.
    )doc")
        .def(py::init<const FileName&, const std::string&, py::handle, py::handle>(), py::arg("filename"),
             py::kw_only(), py::arg("encoding") = "binary", py::arg("viewpoint") = py::none(),
             py::arg("height") = py::none())
        .def("write", &PcdWriter::write, py::arg("points"), py::arg("fields") = py::none(), R"doc(
            Write the next points, with what save_pcd takes, checked as it checks it.

            A write whose fields differ from the first write's raises ValueError
            and writes nothing; one that fails while writing (a full disk, Ctrl-C)
            discards the file.
        )doc")
        .def("close", &PcdWriter::close, R"doc(
            Complete the file, as leaving the with block does: the point count is
            written into the header and the file put in the target's place. A
            total that does not fill rows of `height` raises ValueError and
            leaves the target as it was. Closing again does nothing.
        )doc")
        .def("abort", &PcdWriter::abort, R"doc(
            Discard the file before it is complete: the target stays as it was.
        )doc")
        .def(
            "__enter__", [](PcdWriter& writer) -> PcdWriter& { return writer; }, py::return_value_policy::reference)
        .def("__exit__", &PcdWriter::exit);
}

}  // namespace tessarel
