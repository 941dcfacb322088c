#pragma once
// Where a load reads its bytes from: a file, or bytes in memory. The readers take any source
// through this one interface and move through it front to back; a source that holds its bytes
// in memory also hands them out where they lie, so that nothing is copied only to be read.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tessarel {

class InputSource {
public:
    virtual ~InputSource() = default;

    // Every byte of the source, from its start to its end.
    virtual std::uint64_t size() const = 0;

    // What messages call the source: "PCD file <name>", or "the PCD buffer".
    virtual std::string description() const = 0;

    // Bytes from the position to the end of the source.
    std::uint64_t remaining() const;

    // Reads exactly `size` bytes and moves past them; the caller has checked that the source
    // holds them. Read in pieces, between which the caller may stop the load.
    void read_exactly(void* into, std::size_t size);

    // The next `size` bytes where they lie, and moves past them; nothing where the source does
    // not hold them in memory. The caller has checked that the source holds them.
    virtual std::optional<std::span<const std::byte>> view(std::uint64_t size) = 0;

    // Some of the next bytes, at most `most`, without moving past them: empty only at the end.
    // For a reader that looks for where a line ends. Valid until the next call on the source.
    virtual std::span<const std::byte> peek(std::size_t most) = 0;

    // Moves past `size` bytes that `peek` showed.
    void skip(std::size_t size) noexcept { position_ += size; }

    // Bytes from the source's start to the position.
    std::uint64_t position() const noexcept { return position_; }

protected:
    InputSource() = default;
    InputSource(const InputSource&) = default;
    InputSource& operator=(const InputSource&) = default;

    // Copies up to `into.size()` bytes from `offset` on: fewer only at the end of the source.
    virtual std::size_t read_at(std::uint64_t offset, std::span<std::byte> into) = 0;

private:
    std::uint64_t position_ = 0;
};

}  // namespace tessarel
