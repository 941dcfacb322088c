#pragma once
// The shortest decimal text that reads back to the same float or double, laid out as
// std::to_chars(first, last, value) lays it out, at about a third of its cost.

#include <cstddef>

namespace tessarel {

// The longest text write_float_text gives: -2.2250738585072014e-308.
inline constexpr std::size_t longest_float_text = 24;

// Writes the text of `value` at `out`, which has room for longest_float_text characters, and
// returns its end. The digits are the fewest that read back to the same bits, the closest to
// the value when several are as few. They are written in fixed notation (123.5, 0.001) or
// scientific (1.5e-07, 1e+300), whichever is shorter, fixed on a tie; an integral value in
// fixed notation is written exactly (123456790528, not 123456790000). Then -0, inf, -inf, and
// nan or -nan by the sign bit.
char* write_float_text(char* out, float value) noexcept;
char* write_float_text(char* out, double value) noexcept;

}  // namespace tessarel
