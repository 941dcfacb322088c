#include "pcd/io/background_writes.hpp"

#include <array>
#include <utility>

namespace tessarel {
namespace {

// Buffers pending at most: one being written, one waiting, while the caller fills a third;
// a fourth, and a fifth smaller than a folio, hold what the last writes held back.
constexpr std::size_t most_pending = 2;
constexpr std::size_t most_held = 2;
static_assert(most_held + 1 <= most_write_parts);

}  // namespace

BackgroundWrites::BackgroundWrites(AtomicFile& file) : file_(file), thread_([this] { run(); }) {}

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

void BackgroundWrites::write(std::vector<std::byte> bytes) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return failure_ || pending_.size() + writing_ < most_pending; });
    rethrow_failure();
    pending_.push_back(std::move(bytes));
    lock.unlock();
    changed_.notify_all();
}

void BackgroundWrites::finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return failure_ || (pending_.empty() && !writing_); });
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
        writing_ = true;
        lock.unlock();
        std::exception_ptr failed;
        try {
            write_to_boundary(std::move(bytes));
        } catch (...) {
            failed = std::current_exception();
        }
        lock.lock();
        writing_ = false;
        failure_ = failed;
        changed_.notify_all();
    }
}

}  // namespace tessarel
