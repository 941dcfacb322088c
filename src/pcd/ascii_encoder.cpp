#include "pcd/ascii_encoder.hpp"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "pcd/spare_cpus.hpp"

namespace tessarel {
namespace {

// The longest text of one value and its separator: a float64 such as
// -2.2250738585072014e-308 takes 24 characters, an int64 20.
constexpr std::size_t longest_value = 32;

// Saves of fewer pieces are formatted on the caller's thread alone: threads would cost more
// than they save.
constexpr std::size_t parallel_save_pieces = 4;

// The pieces a parallel save holds a thread: enough that the helpers keep formatting while
// the caller's thread waits for the file system to take a write.
constexpr std::size_t pieces_held_per_thread = 8;

// The most text a parallel save holds, whatever its thread count.
constexpr std::size_t parallel_text_bytes = std::size_t{64} << 20;

template <class Value>
Value load(const std::byte* at, bool byte_swapped) noexcept {
    std::uint64_t bits = 0;
    std::memcpy(&bits, at, sizeof(Value));
    if (byte_swapped) bits = __builtin_bswap64(bits) >> (64 - 8 * sizeof(Value));
    Value value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Writes the field's values of one point, each followed by a space. Shortest round trip for
// floats (std::to_chars), decimal for integers; infinities and NaN as inf, -inf, nan.
template <class Value>
char* format_point(const FieldToWrite& field, const std::byte* source, char* out) noexcept {
    for (std::size_t e = 0; e < field.count; ++e) {
        const Value value = load<Value>(source + static_cast<std::ptrdiff_t>(e) * field.values.element_stride,
                                        field.values.byte_swapped);
        out = std::to_chars(out, out + longest_value, value).ptr;
        *out++ = ' ';
    }
    return out;
}

using PointFormatter = char* (*)(const FieldToWrite&, const std::byte*, char*) noexcept;

PointFormatter formatter_of(ElementType type) {
    return visit_element_type(type, [](auto zero) -> PointFormatter { return &format_point<decltype(zero)>; });
}

// The text of a cloud, a piece of points at a time: one line a point.
struct PieceFormat {
    const CloudToWrite& cloud;
    std::vector<PointFormatter> formatters;
    std::size_t piece_points;
    std::size_t text_bytes;  // room for the longest text of a piece
    std::size_t pieces;

    explicit PieceFormat(const CloudToWrite& to_write) : cloud(to_write) {
        std::size_t longest_point = 0;
        for (const FieldToWrite& field : cloud.fields) {
            formatters.push_back(formatter_of(field.type));
            longest_point += field.count * longest_value;
        }
        piece_points = std::max<std::size_t>(1, output_piece_bytes / longest_point);
        text_bytes = piece_points * longest_point;
        pieces = (cloud.points + piece_points - 1) / piece_points;
    }

    // The text of piece `piece` into `text`, which holds text_bytes; returns its length.
    std::size_t format(std::size_t piece, char* text) const noexcept {
        const std::size_t first = piece * piece_points;
        const std::size_t last = std::min(cloud.points, first + piece_points);
        char* out = text;
        for (std::size_t point = first; point < last; ++point) {
            for (std::size_t f = 0; f < cloud.fields.size(); ++f) {
                const FieldValues& values = cloud.fields[f].values;
                out = formatters[f](cloud.fields[f],
                                    values.first + static_cast<std::ptrdiff_t>(point) * values.point_stride, out);
            }
            out[-1] = '\n';
        }
        return static_cast<std::size_t>(out - text);
    }
};

void write_in_order(const PieceFormat& format, AtomicFile& file) {
    std::vector<char> text(format.text_bytes);
    for (std::size_t piece = 0; piece < format.pieces; ++piece) {
        const std::size_t size = format.format(piece, text.data());
        file.write(std::as_bytes(std::span<const char>(text.data(), size)));
    }
}

// Pieces formatted by several threads into a ring of slots and written in order by the
// caller's, which formats too whenever the next piece to write is not ready. A piece is taken
// only when its slot is free, so the text held stays within the ring.
class ParallelFormat {
public:
    ParallelFormat(const PieceFormat& format, std::size_t slots) : format_(format), slots_(slots) {
        for (Slot& slot : slots_) slot.text = std::make_unique_for_overwrite<char[]>(format.text_bytes);
    }

    // A helper thread: formats pieces until there are none left, the save fails, or the save's
    // share of the CPUs no longer includes it.
    void help(int worker, int cpus) noexcept {
        std::unique_lock lock(mutex_);
        while (worker < cpu_share(cpus)) {
            changed_.wait(lock,
                          [&] { return stopping_ || next_ == format_.pieces || next_ < written_ + slots_.size(); });
            if (stopping_ || next_ == format_.pieces) return;
            format_next(lock);
        }
    }

    // The caller's thread: writes every piece in order, formatting those no helper took.
    void write_all(AtomicFile& file) {
        std::unique_lock lock(mutex_);
        while (written_ < format_.pieces) {
            Slot& slot = slots_[written_ % slots_.size()];
            if (slot.ready) {
                lock.unlock();
                file.write(std::as_bytes(std::span<const char>(slot.text.get(), slot.size)));
                lock.lock();
                slot.ready = false;
                ++written_;
                changed_.notify_all();
            } else if (next_ < format_.pieces && next_ < written_ + slots_.size()) {
                format_next(lock);
            } else {
                changed_.wait(lock);
            }
        }
    }

    // Sends the helpers home: the save failed.
    void stop() noexcept {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
    }

private:
    struct Slot {
        std::unique_ptr<char[]> text;
        std::size_t size = 0;
        bool ready = false;
    };

    // Takes the next piece and formats it into its slot, without the lock.
    void format_next(std::unique_lock<std::mutex>& lock) noexcept {
        const std::size_t piece = next_++;
        Slot& slot = slots_[piece % slots_.size()];
        lock.unlock();
        const std::size_t size = format_.format(piece, slot.text.get());
        lock.lock();
        slot.size = size;
        slot.ready = true;
        changed_.notify_all();
    }

    const PieceFormat& format_;
    std::vector<Slot> slots_;
    std::mutex mutex_;  // guards the slots' state and the counts
    std::condition_variable changed_;
    std::size_t next_ = 0;     // the next piece to format
    std::size_t written_ = 0;  // pieces written; the slot of each later piece is in use
    bool stopping_ = false;
};

void write_in_parallel(const PieceFormat& format, AtomicFile& file, int threads, int cpus) {
    const std::size_t slots =
        std::min(pieces_held_per_thread * static_cast<std::size_t>(threads), parallel_text_bytes / format.text_bytes);
    ParallelFormat parallel(format, slots);
    std::vector<std::jthread> helpers;
    helpers.reserve(static_cast<std::size_t>(threads - 1));
    for (int worker = 1; worker < threads; ++worker) {
        try {
            helpers.emplace_back([&parallel, worker, cpus] { parallel.help(worker, cpus); });
        } catch (const std::system_error&) {
            break;  // no more threads to be had: the caller's formats what the others leave
        }
    }
    try {
        parallel.write_all(file);
    } catch (...) {
        parallel.stop();
        throw;
    }
}

}  // namespace

void write_ascii_data(const CloudToWrite& cloud, AtomicFile& file) {
    const PieceFormat format(cloud);
    if (format.pieces < parallel_save_pieces) return write_in_order(format, file);
    const LargeStage stage;
    const int cpus = usable_cpus();
    const auto most = static_cast<int>(parallel_text_bytes / (pieces_held_per_thread * format.text_bytes));
    const int threads = std::min(cpu_share(cpus), most);
    if (threads < 2) return write_in_order(format, file);
    write_in_parallel(format, file, threads, cpus);
}

}  // namespace tessarel
