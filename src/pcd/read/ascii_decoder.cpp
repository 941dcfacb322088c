#include "pcd/read/ascii_decoder.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "pcd/io/interruption.hpp"
#include "pcd/parallel/page_prefault.hpp"
#include "pcd/parallel/spare_cpus.hpp"
#include "pcd/read/ascii_number.hpp"
#include "pcd/read/ascii_text.hpp"

namespace tessarel {
namespace {

// One field of a point record: `count` consecutive tokens, stored `element_bytes` apart.
struct Slot {
    std::size_t offset;
    std::size_t element_bytes;
    std::size_t count;
    ElementType type;
    std::uint32_t field;  // index into the layout's fields, for messages
};

std::vector<Slot> build_slots(const PcdLayout& layout) {
    std::vector<Slot> slots;
    for (std::uint32_t index = 0; index < layout.fields.size(); ++index) {
        const FieldLayout& field = layout.fields[index];
        if (field.count == 0) continue;
        slots.push_back({field.offset, field.element_bytes(), field.count, field.type, index});
    }
    return slots;
}

std::uint64_t values_per_point(const PcdLayout& layout) {
    std::uint64_t values = 0;
    for (const FieldLayout& field : layout.fields) values += field.count;
    return values;
}

std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// Where decoding stopped: at the end of the cloud, or at the value that failed.
struct Stop {
    TokenStatus status = TokenStatus::ok;
    bool ended_early = false;
    bool changed = false;  // a run held fewer tokens than were counted in it
    std::uint64_t point = 0;
    const Slot* slot = nullptr;
    std::size_t element = 0;
    std::string_view token;
    std::uint64_t values_read = 0;

    bool failed() const noexcept { return ended_early || changed || status != TokenStatus::ok; }
};

// Reads the points' tokens into `row` onward, or without `Store` only checks them. Flattened:
// with the parsers and fast_float inlined into the loop, a token costs a sixth less than
// through a call per token.
template <bool Store>
[[gnu::flatten]] Stop decode_points(TextChunks& text, std::span<const Slot> slots, std::uint64_t points,
                                    std::size_t point_step, std::byte* row) {
    std::span<const char> run = text.next();
    const char* p = run.data();
    const char* end = p + run.size();
    std::uint64_t values_read = 0;
    for (std::uint64_t point = 0; point < points; ++point, row += Store ? point_step : 0) {
        for (const Slot& slot : slots) {
            std::byte* into = Store ? row + slot.offset : nullptr;
            for (std::size_t element = 0; element < slot.count; ++element) {
                while (true) {
                    while (p != end && is_separator(*p)) ++p;
                    if (p != end) break;
                    check_for_interruption();
                    run = text.next();
                    if (run.empty()) return {TokenStatus::ok, true, false, point, &slot, element, {}, values_read};
                    p = run.data();
                    end = p + run.size();
                }
                const TokenResult result = parse_value(slot.type, p, end, into);
                if (result.status != TokenStatus::ok) {
                    const std::string_view token(p, token_end(p, end));
                    return {result.status, false, false, point, &slot, element, token, values_read};
                }
                p = result.next;
                if (Store) into += slot.element_bytes;
                ++values_read;
            }
        }
    }
    return {};
}

std::string quoted(std::string_view token) {
    constexpr std::size_t longest = 200;
    if (token.size() <= longest) return "'" + std::string(token) + "'";
    return "'" + std::string(token.substr(0, longest)) + "...' (" + std::to_string(token.size()) + " bytes)";
}

[[noreturn]] void throw_decode_error(const Stop& stop, const PcdLayout& layout, std::uint64_t expected) {
    if (stop.ended_early) {
        throw std::runtime_error("ASCII PCD data ended early: expected " + std::to_string(expected) + " values, read " +
                                 std::to_string(stop.values_read));
    }
    const FieldLayout& field = layout.fields[stop.slot->field];
    std::string where = "point " + std::to_string(stop.point) + ", field '" + printable_name(field.name) + "'";
    if (field.count > 1) where += " element " + std::to_string(stop.element);
    if (stop.changed) {
        throw std::runtime_error("ASCII PCD data changed while it was read: " + where +
                                 " has no token where one was counted");
    }
    where = "ASCII PCD data, " + where;
    const ElementTypeEntry& type = entry_of(field.type);
    const std::string kind = std::string(1, type.type) + " " + std::to_string(type.size);
    const std::string token = quoted(stop.token);
    switch (stop.status) {
    case TokenStatus::out_of_range:
        throw std::runtime_error(where + ": " + token + " is outside the 64-bit range of type " + kind);
    case TokenStatus::not_whole:
        throw std::runtime_error(where + ": " + token + " is not a whole number, as type " + kind + " needs");
    default: throw std::runtime_error(where + ": " + token + " is not a number of type " + kind);
    }
}

// The tokens that start in `text`, a run that begins and ends between tokens: each a byte that
// is no separator after one that is. Plain comparisons summed a block at a time in bytes,
// which the compiler turns into wide vector steps.
std::size_t count_tokens(std::span<const char> text) noexcept {
    if (text.empty()) return 0;
    constexpr std::size_t block = 255;  // the most starts a byte counts
    std::size_t starts = is_separator(text[0]) ? 0 : 1;
    for (std::size_t i = 1; i < text.size(); i += block) {
        const std::size_t last = std::min(text.size(), i + block);
        unsigned char in_block = 0;
        for (std::size_t j = i; j < last; ++j) in_block += is_separator(text[j - 1]) > is_separator(text[j]);
        starts += in_block;
    }
    return starts;
}

// Reads the next `values` tokens of `run`, which held that many when they were counted, into
// the buffer at `records`; the first is value `first` of the cloud, counted over every point's
// slots. Text in memory that the caller rewrites meanwhile may hold fewer now: every scan stays
// inside the run whatever its bytes. Flattened as decode_points is.
[[gnu::flatten]] Stop decode_run(std::span<const char> run, std::span<const Slot> slots, std::uint64_t values_per_point,
                                 std::uint64_t first, std::uint64_t values, std::size_t point_step,
                                 std::byte* records) {
    std::uint64_t point = first / values_per_point;
    std::uint64_t rest = first % values_per_point;
    const Slot* slot = slots.data();
    while (rest >= slot->count) rest -= slot++->count;
    std::size_t element = static_cast<std::size_t>(rest);
    std::byte* row = records + static_cast<std::size_t>(point) * point_step;
    std::byte* into = row + slot->offset + element * slot->element_bytes;
    const char* p = run.data();
    const char* const end = p + run.size();
    for (std::uint64_t value = first; value < first + values; ++value) {
        while (p != end && is_separator(*p)) ++p;
        if (p == end) return {TokenStatus::ok, false, true, point, slot, element, {}, value};
        const TokenResult result = parse_value(slot->type, p, end, into);
        if (result.status != TokenStatus::ok) {
            return {result.status, false, false, point, slot, element, std::string_view(p, token_end(p, end)), value};
        }
        p = result.next;
        into += slot->element_bytes;
        if (++element < slot->count) continue;
        element = 0;
        if (++slot == slots.data() + slots.size()) {
            slot = slots.data();
            row += point_step;
            ++point;
        }
        into = row + slot->offset;
    }
    return {};
}

// The text held at once by a parallel load, whatever its thread count: one run per thread.
constexpr std::size_t parallel_text_bytes = std::size_t{64} << 20;

// How many threads parse a text, and whether those beyond the caller's stand down when later
// loads and saves need the CPUs.
struct Workers {
    int count;
    bool stand_down;
};

// Small texts and small clouds stay on one thread: two runs at least, or there is nothing to
// share. Larger ones take this load's share of the CPUs (the prefault helper has counted it).
Workers ascii_workers(std::uint64_t text_bytes, std::size_t buffer_bytes, std::size_t chunk_bytes) {
    if (buffer_bytes < large_buffer_bytes || text_bytes / 2 < chunk_bytes) return {1, false};
    const auto most = static_cast<int>(std::max<std::size_t>(1, parallel_text_bytes / chunk_bytes));
    return {std::min(cpu_share(usable_cpus()), most), true};
}

// The parse of one text by several threads, each taking the next run in turn. A run's values
// start where the tokens of the runs before it end: each thread counts its run's tokens, then
// waits for the total of the runs before (counted by threads that took them earlier), and
// parses straight into the buffer. Faults are ordered by run, so that the one reported is the
// first in the text whichever thread met it first.
class ParallelParse {
public:
    ParallelParse(TextChunks& text, std::span<const Slot> slots, std::uint64_t values_per_point, std::uint64_t expected,
                  std::size_t point_step, std::byte* records)
        : text_(text),
          slots_(slots),
          values_per_point_(values_per_point),
          expected_(expected),
          point_step_(point_step),
          records_(records) {}

    // Parses runs until the text or the cloud is done, or a fault makes the rest moot; a
    // thread that stands down stops when the load's share of the CPUs no longer includes it.
    // Never throws: what goes wrong is kept for finish().
    void work(int worker, bool stand_down, int cpus) noexcept {
        try {
            TextRun run;
            while (!stand_down || worker < cpu_share(cpus)) {
                check_for_interruption();
                const Claim claim = take(run);
                if (claim.text.empty()) return;
                const std::uint64_t count = count_tokens(claim.text);
                const std::uint64_t first = values_before(claim.run, count);
                if (first >= expected_) continue;  // tokens past the cloud's values are ignored
                const std::uint64_t values = std::min(count, expected_ - first);
                const Stop stop =
                    decode_run(claim.text, slots_, values_per_point_, first, values, point_step_, records_);
                if (stop.failed()) keep_fault(claim.run, stop, {});
            }
        } catch (...) {
            const std::lock_guard lock(faults_);
            escaped_ = std::current_exception();
            finished_ = true;
        }
    }

    // After every worker: throws the first fault in the text, as reading on one thread would.
    void finish(const PcdLayout& layout) const {
        if (escaped_) std::rethrow_exception(escaped_);
        // A run that could not be read matters only while values were still missing before it.
        if (fault_.error && values_before_ < expected_) std::rethrow_exception(fault_.error);
        if (fault_.stop.failed()) {
            Stop stop = fault_.stop;
            stop.token = fault_.token;
            throw_decode_error(stop, layout, expected_);
        }
        if (values_before_ < expected_) {
            Stop stop;
            stop.ended_early = true;
            stop.values_read = values_before_;
            throw_decode_error(stop, layout, expected_);
        }
    }

private:
    struct Claim {
        std::uint64_t run = 0;
        std::span<const char> text;  // empty when there is nothing more to take
    };

    // The first fault in the text: a bad token, or a run that could not be read.
    struct Fault {
        std::uint64_t run = UINT64_MAX;
        Stop stop;
        std::string token;
        std::exception_ptr error;
    };

    Claim take(TextRun& run) {
        const std::lock_guard lock(reading_);
        if (finished_) return {};
        const std::uint64_t index = next_run_++;
        try {
            const std::span<const char> text = text_.next(run);
            if (!text.empty()) return {index, text};
        } catch (...) {
            keep_fault(index, {}, std::current_exception());
        }
        finished_ = true;  // no run follows this one, so none waits for its count
        return {};
    }

    std::uint64_t values_before(std::uint64_t run, std::uint64_t count) {
        std::unique_lock lock(totals_);
        counted_.wait(lock, [&] { return runs_counted_ == run; });
        const std::uint64_t first = values_before_;
        values_before_ += count;
        ++runs_counted_;
        if (values_before_ >= expected_) finished_ = true;
        lock.unlock();
        counted_.notify_all();
        return first;
    }

    void keep_fault(std::uint64_t run, const Stop& stop, std::exception_ptr error) {
        const std::lock_guard lock(faults_);
        finished_ = true;  // runs after this one cannot change the outcome
        if (run >= fault_.run) return;
        fault_ = {run, stop, std::string(stop.token), std::move(error)};
    }

    TextChunks& text_;
    const std::span<const Slot> slots_;
    const std::uint64_t values_per_point_;
    const std::uint64_t expected_;
    const std::size_t point_step_;
    std::byte* const records_;
    std::atomic<bool> finished_{false};  // take no more runs

    std::mutex reading_;  // guards text_ and next_run_
    std::uint64_t next_run_ = 0;

    std::mutex totals_;  // guards runs_counted_ and values_before_
    std::condition_variable counted_;
    std::uint64_t runs_counted_ = 0;
    std::uint64_t values_before_ = 0;  // the tokens of the runs counted so far

    std::mutex faults_;  // guards fault_ and escaped_
    Fault fault_;
    std::exception_ptr escaped_;
};

void parse_in_parallel(TextChunks& text, std::span<const Slot> slots, const PcdLayout& layout, std::uint64_t expected,
                       Workers workers, std::byte* records) {
    ParallelParse parse(text, slots, values_per_point(layout), expected, layout.point_step, records);
    const int cpus = usable_cpus();
    {
        std::vector<std::jthread> helpers;
        helpers.reserve(static_cast<std::size_t>(workers.count - 1));
        for (int worker = 1; worker < workers.count; ++worker) {
            try {
                helpers.emplace_back([&parse, worker, workers, cpus] { parse.work(worker, workers.stand_down, cpus); });
            } catch (const std::system_error&) {
                break;  // no more threads to be had: those started take every run between them
            }
        }
        parse.work(0, workers.stand_down, cpus);
    }
    parse.finish(layout);
}

}  // namespace

PointBuffer read_ascii_data(InputSource& in, const PcdLayout& layout, std::size_t chunk_bytes,
                            std::optional<int> threads) {
    const std::vector<Slot> slots = build_slots(layout);
    const std::uint64_t expected = saturating_product(layout.points, values_per_point(layout));
    if (expected == 0) return PointBuffer(layout.buffer_size, Fill::zeroed);
    const std::uint64_t text_bytes = in.remaining();
    // Every value after the first takes two bytes at least: itself and what separates it. A
    // text too short for its values is read through first, for the exact error, before the
    // cloud is reserved: so a file of a few bytes cannot make us reserve the gigabytes its
    // header declares. Past that check the buffer holds at most 8 bytes a value, four times
    // the text.
    if (expected > (text_bytes + 1) / 2) {
        TextChunks text(in, text_bytes, chunk_bytes, max_ascii_token);
        const Stop stop = decode_points<false>(text, slots, layout.points, layout.point_step, nullptr);
        throw_decode_error(stop, layout, expected);
    }
    // The fields fill the record, so every byte is written.
    PointBuffer buffer(layout.buffer_size, Fill::overwritten);
    const BackgroundPrefault prefault({buffer.bytes()});
    TextChunks text(in, text_bytes, chunk_bytes, max_ascii_token);
    const Workers workers = threads ? Workers{*threads, false} : ascii_workers(text_bytes, buffer.size(), chunk_bytes);
    if (workers.count > 1) {
        parse_in_parallel(text, slots, layout, expected, workers, buffer.data());
        return buffer;
    }
    const Stop stop = decode_points<true>(text, slots, layout.points, layout.point_step, buffer.data());
    if (stop.failed()) throw_decode_error(stop, layout, expected);
    return buffer;
}

}  // namespace tessarel
