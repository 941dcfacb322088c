#pragma once
// Writes to a file on a thread of their own, so that the caller prepares the next bytes while
// the kernel copies the last: a file written in many small parts gets the two CPUs a large
// save gets. A write that fails is reported by a later call, after which the file is not
// written to again.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "pcd/io/file_output.hpp"

namespace tessarel {

// The most bytes handed over at once; larger parts are written as a save writes them.
inline constexpr std::size_t background_write_bytes = std::size_t{8} << 20;

class BackgroundWrites {
public:
    // `file` outlives this, and is not touched by anything else until finish().
    explicit BackgroundWrites(AtomicFile& file);
    // Writes nothing more: what is pending is dropped, with the file it was for.
    ~BackgroundWrites();
    BackgroundWrites(const BackgroundWrites&) = delete;
    BackgroundWrites& operator=(const BackgroundWrites&) = delete;

    // A buffer of `bytes` for the next write: a used one when one is free. Rethrows an
    // earlier write's failure.
    std::vector<std::byte> buffer(std::size_t bytes);
    // Hands `bytes` over to be written after those handed before; waits while two are pending.
    void write(std::vector<std::byte> bytes);
    // Waits until everything handed over is written, writes what was held back, and rethrows a
    // failure: the file is the caller's again.
    void finish();

private:
    void run();
    void rethrow_failure();
    void wait_for_room(std::unique_lock<std::mutex>& lock);
    void write_to_boundary(std::vector<std::byte> bytes);
    void write_held(std::span<const std::byte> then);

    AtomicFile& file_;
    const bool spins_;  // the caller waits for the thread by spinning first, CPUs allowing
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<std::byte>> pending_;  // in order
    std::vector<std::vector<std::byte>> free_;     // written, for reuse
    // Buffers pending or being written; read without the lock by a caller that spins.
    std::atomic<std::size_t> in_flight_{0};
    // Bytes past the file's last folio boundary, written with the next buffer: the end of the
    // last buffer, and all of the one before when it reached no boundary. The thread's alone
    // while it writes.
    struct Held {
        std::vector<std::byte> buffer;
        std::span<const std::byte> bytes;  // its end, not yet written
    };
    std::vector<Held> held_;
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::thread thread_;  // last: started once the rest is set up
};

}  // namespace tessarel
