#include "pcd/lzf/lzf_stream_decoder.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "pcd/lzf/lzf_decode_loops.hpp"

namespace tessarel {
namespace {

using lzf_loops::Cursor;
using lzf_loops::instruction_reach;

// Where decoding a stretch of input stopped: at its end, before the last bytes that may start
// an instruction the next stretch completes, or at the control byte of a failing instruction.
struct Stop {
    const std::byte* ip;
    std::errc ec;
};

// The output as a window over it: the bytes decoded since the last hand-out, after the 8 KiB
// before them that references may reach.
class Window {
public:
    Window(std::size_t out_size, std::size_t piece, const LzfTake& take)
        : bytes_(lzf_farthest_reference + std::max(piece, lzf_least_output_piece)),
          out_size_(out_size),
          op_(bytes_.data()),
          take_(take) {}

    Stop decode(std::span<const std::byte> in, bool more_input) {
        const std::byte* const in_end = in.data() + in.size();
        Cursor at{in.data(), op_};
        std::errc ec{};
        for (;;) {
            make_room(at.op);
            ec = lzf_loops::decode_far_from_ends(at, in_end, bytes_.data(), end());
            if (ec != std::errc{}) break;
            // The window is full: hand it out, then go on.
            if (end() - at.op < static_cast<std::ptrdiff_t>(lzf_longest_reference) && !holds_the_end()) continue;
            if (more_input && in_end - at.ip < static_cast<std::ptrdiff_t>(instruction_reach)) break;
            // What is left fits the window: either the output ends in it, or the few bytes of
            // input left decode to less than a piece.
            make_room(at.op);
            ec = lzf_loops::decode_near_ends(at, in_end, more_input, bytes_.data(), end());
            break;
        }
        op_ = at.op;
        return {at.ip, ec};
    }

    std::size_t decoded() const noexcept { return base_ + static_cast<std::size_t>(op_ - bytes_.data()); }

    void hand_out_rest() { hand_out(op_); }

private:
    bool holds_the_end() const noexcept { return out_size_ - base_ <= bytes_.size(); }

    // Where the window ends, or the output if that comes first.
    std::byte* end() noexcept { return bytes_.data() + std::min(bytes_.size(), out_size_ - base_); }

    void hand_out(const std::byte* op) {
        const std::byte* const from = bytes_.data() + (handed_ - base_);
        if (op > from) take_(handed_, {from, op});
        handed_ = base_ + static_cast<std::size_t>(op - bytes_.data());
    }

    // Once less than a piece is left, hands out what is new and keeps only the history.
    void make_room(std::byte*& op) {
        if (bytes_.data() + bytes_.size() - op >= static_cast<std::ptrdiff_t>(lzf_least_output_piece)) return;
        if (holds_the_end()) return;
        hand_out(op);
        const auto kept = std::min(static_cast<std::size_t>(op - bytes_.data()), lzf_farthest_reference);
        std::memmove(bytes_.data(), op - kept, kept);
        base_ += static_cast<std::size_t>(op - bytes_.data()) - kept;
        op = bytes_.data() + kept;
    }

    std::vector<std::byte> bytes_;
    std::size_t out_size_;
    std::size_t base_ = 0;    // the output position of the window's first byte
    std::size_t handed_ = 0;  // the output before it has been handed out
    std::byte* op_;
    const LzfTake& take_;
};

}  // namespace

LzfDecodeResult decode_lzf_in_pieces(std::size_t in_size, const LzfRead& read, std::size_t out_size,
                                     const LzfTake& take, LzfPieces pieces) {
    Window window(out_size, pieces.output, take);
    // Room before each piece for the bytes of the instruction that the last piece cut.
    std::vector<std::byte> buffer(instruction_reach + std::max<std::size_t>(pieces.input, 1));
    std::byte* const piece = buffer.data() + instruction_reach;
    std::size_t done = 0;
    std::size_t carried = 0;
    for (;;) {
        const std::size_t size = std::min(buffer.size() - instruction_reach, in_size - done);
        if (size > 0) read({piece, size});
        done += size;
        const bool more_input = done < in_size;
        const Stop stop = window.decode({piece - carried, carried + size}, more_input);
        const auto left = static_cast<std::size_t>(piece + size - stop.ip);
        if (stop.ec != std::errc{} || !more_input) {
            window.hand_out_rest();
            return {done - left, window.decoded(), stop.ec};
        }
        carried = left;
        std::memmove(piece - carried, stop.ip, carried);
    }
}

LzfDecodeResult decode_lzf_in_pieces(std::span<const std::byte> in, std::size_t out_size, const LzfTake& take,
                                     std::size_t output_piece) {
    Window window(out_size, output_piece, take);
    const Stop stop = window.decode(in, false);
    window.hand_out_rest();
    return {static_cast<std::size_t>(stop.ip - in.data()), window.decoded(), stop.ec};
}

}  // namespace tessarel
