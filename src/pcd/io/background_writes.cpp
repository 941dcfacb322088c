#include "pcd/io/background_writes.hpp"

#include <array>
#include <chrono>
#include <utility>

#include "pcd/parallel/cpu_share.hpp"

namespace tessarel {
namespace {

// Buffers pending at most: one being written, one waiting, while the caller fills a third;
// a fourth, and a fifth smaller than a folio, hold what the last writes held back.
constexpr std::size_t most_pending = 2;
constexpr std::size_t most_held = 2;
static_assert(most_held + 1 <= most_write_parts);

// How long a caller waiting for room spins before it sleeps, when a CPU is free to run the
// thread meanwhile: waking a sleeper costs the writing thread a system call of tens of
// microseconds on a virtual machine, and a map of a hundred writes took a tenth longer.
constexpr auto spin_before_sleeping = std::chrono::microseconds(200);

// Tells the CPU that this thread spins, so that it spends less on it.
void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

}  // namespace

BackgroundWrites::BackgroundWrites(AtomicFile& file)
    : file_(file), spins_(usable_cpus() > 1), thread_([this] { run(); }) {}

BackgroundWrites::~BackgroundWrites() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void BackgroundWrites::rethrow_failure() {
    if (failure_) std::rethrow_exception(failure_);
}

std::vector<std::byte> BackgroundWrites::buffer(std::size_t bytes) {
    std::vector<std::byte> buffer;
    {
        const std::lock_guard lock(mutex_);
        rethrow_failure();
        if (!free_.empty()) {
            buffer = std::move(free_.back());
            free_.pop_back();
        }
    }
    buffer.resize(bytes);
    return buffer;
}

// Spins only while no parallel stage of this process takes the other CPUs: the caller's
// helpers would need them.
void BackgroundWrites::wait_for_room(std::unique_lock<std::mutex>& lock) {
    const auto room = [this] { return in_flight_.load(std::memory_order_relaxed) < most_pending; };
    if (spins_ && !room() && large_stages_under_way.load(std::memory_order_relaxed) == 0) {
        lock.unlock();
        const auto until = std::chrono::steady_clock::now() + spin_before_sleeping;
        while (!room() && std::chrono::steady_clock::now() < until) spin_pause();
        lock.lock();
    }
    changed_.wait(lock, [&] { return failure_ || room(); });
}

void BackgroundWrites::write(std::vector<std::byte> bytes) {
    std::unique_lock lock(mutex_);
    wait_for_room(lock);
    rethrow_failure();
    pending_.push_back(std::move(bytes));
    in_flight_.fetch_add(1, std::memory_order_relaxed);
    lock.unlock();
    changed_.notify_all();
}

void BackgroundWrites::finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return failure_ || in_flight_.load(std::memory_order_relaxed) == 0; });
    rethrow_failure();
    // The thread waits for more: what it held is this thread's now.
    lock.unlock();
    write_held({});
}

// What is held and `bytes` up to the file's last folio boundary they reach, in one write; the
// rest of `bytes` is held. Where they reach no boundary, `bytes` is held whole, unless two
// buffers are held already: then everything is written.
void BackgroundWrites::write_to_boundary(std::vector<std::byte> bytes) {
    std::uint64_t start = file_.written();
    for (const Held& held : held_) start += held.bytes.size();
    const std::uint64_t boundary = (start + bytes.size()) / folio_boundary * folio_boundary;
    Held next{std::move(bytes), {}};
    next.bytes = next.buffer;
    if (boundary <= start && held_.size() < most_held) return held_.push_back(std::move(next));
    const std::size_t now = boundary > start ? static_cast<std::size_t>(boundary - start) : next.bytes.size();
    write_held(next.bytes.first(now));
    next.bytes = next.bytes.subspan(now);
    held_.push_back(std::move(next));
}

// What is held and then `then`, in one write; the buffers held go back for reuse.
void BackgroundWrites::write_held(std::span<const std::byte> then) {
    std::array<std::span<const std::byte>, most_held + 1> parts;
    for (std::size_t i = 0; i < held_.size(); ++i) parts[i] = held_[i].bytes;
    parts[held_.size()] = then;
    file_.write(std::span(parts).first(held_.size() + 1));
    const std::lock_guard lock(mutex_);
    for (Held& held : held_) free_.push_back(std::move(held.buffer));
    held_.clear();
}

void BackgroundWrites::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] { return stopping_ || (!pending_.empty() && !failure_); });
        if (stopping_) return;
        std::vector<std::byte> bytes = std::move(pending_.front());
        pending_.erase(pending_.begin());
        lock.unlock();
        std::exception_ptr failed;
        try {
            write_to_boundary(std::move(bytes));
        } catch (...) {
            failed = std::current_exception();
        }
        lock.lock();
        in_flight_.fetch_sub(1, std::memory_order_relaxed);
        failure_ = failed;
        changed_.notify_all();
    }
}

}  // namespace tessarel
