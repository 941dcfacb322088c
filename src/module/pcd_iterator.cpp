#include "module/pcd_iterator.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "module/array_assembly.hpp"
#include "module/load_functions.hpp"
#include "module/without_gil.hpp"
#include "pcd/io/file_source.hpp"

namespace py = pybind11;

namespace tessarel {
namespace {

std::size_t checked_chunk_points(std::int64_t chunk_points) {
    if (chunk_points < 1) throw py::value_error("chunk_points must be 1 or more, not " + std::to_string(chunk_points));
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(chunk_points), std::numeric_limits<std::size_t>::max()));
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

}  // namespace

PcdIterator::PcdIterator(const FileName& filename, std::int64_t chunk_points, const FieldNames& fields)
    : chunk_points_(checked_chunk_points(chunk_points)), names_(fields.names) {
    chunks_ =
        without_gil([&] { return std::make_unique<PcdChunks>(std::make_unique<FileSource>(filename.bytes), names_); });
    header_ = header_dict(chunks_->header());
}

void PcdIterator::check_idle() const {
    if (reading_) throw std::runtime_error("iter_pcd: another thread is reading a chunk of this iterator");
}

py::tuple PcdIterator::next() {
    check_idle();
    if (!chunks_) throw py::stop_iteration();
    std::optional<PcdCloud> chunk;
    try {
        const Reading reading(reading_);
        chunk = without_gil([&] { return chunks_->next(chunk_points_); });
    } catch (...) {
        chunks_.reset();  // as a generator ends at its error
        throw;
    }
    if (!chunk) {
        chunks_.reset();
        throw py::stop_iteration();
    }
    auto [points, fields] = assemble_arrays(std::move(*chunk), names_);
    return py::make_tuple(std::move(points), std::move(fields));
}

void PcdIterator::close() {
    check_idle();
    chunks_.reset();
}

}  // namespace tessarel
