#include "pcd/format/pcd_header.hpp"

#include <fast_float/fast_float.h>

#include <algorithm>
#include <charconv>
#include <concepts>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>

namespace tessarel {
namespace {

constexpr bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The values of one header line, read left to right the way formatted stream extraction
// reads them: an integer stops at the first character that cannot continue it, a failed
// read stores 0 (or the bound it passed) and every later read of the line stores nothing.
class LineValues {
public:
    explicit LineValues(std::string_view line) : rest_(line) {}

    // Whether a read would find something: the line has not failed and holds another token.
    bool has_value() {
        skip_blanks();
        return !failed_ && !rest_.empty();
    }

    // What the line holds after the values read so far.
    std::string_view rest() const { return rest_; }

    std::optional<std::string_view> token() {
        skip_blanks();
        if (failed_ || rest_.empty()) return fail();
        std::size_t end = 0;
        while (end < rest_.size() && !is_blank(rest_[end])) ++end;
        const std::string_view word = rest_.substr(0, end);
        rest_.remove_prefix(end);
        return word;
    }

    void read(char& target) {
        skip_blanks();
        if (failed_ || rest_.empty()) return (void)fail();
        target = rest_.front();
        rest_.remove_prefix(1);
    }

    // Reads an integer as stream extraction does. A number beyond Integer's range stores
    // nothing: its text (sign and digits) is returned for the caller to decide.
    template <std::integral Integer>
    std::optional<std::string_view> read_integer(Integer& target) {
        skip_blanks();
        if (failed_ || rest_.empty()) return fail();
        std::size_t at = rest_[0] == '-' || rest_[0] == '+' ? 1 : 0;
        const std::size_t digits = at;
        while (at < rest_.size() && is_digit(rest_[at])) ++at;
        const std::string_view text = rest_.substr(0, at);
        rest_.remove_prefix(at);
        if (at == digits) {
            store_failure(target, Integer{0});
            return std::nullopt;
        }
        const char* const first = text.data() + (text[0] == '+' ? 1 : 0);  // from_chars takes no '+'
        if (std::from_chars(first, text.data() + text.size(), target).ec == std::errc{}) return std::nullopt;
        failed_ = true;
        return text;
    }

    // SIZE and COUNT: a number beyond the int32 range reads as the bound it passed.
    void read(std::int32_t& target) {
        if (const auto beyond = read_integer(target)) {
            target = beyond->front() == '-' ? std::numeric_limits<std::int32_t>::min()
                                            : std::numeric_limits<std::int32_t>::max();
        }
    }

    void read(double& target) {
        skip_blanks();
        if (failed_ || rest_.empty()) return (void)fail();
        const char* first = rest_.data() + (rest_.front() == '+' ? 1 : 0);
        const auto result = fast_float::from_chars(first, rest_.data() + rest_.size(), target);
        if (result.ec != std::errc{}) return store_failure(target, 0.0);
        rest_.remove_prefix(static_cast<std::size_t>(result.ptr - rest_.data()));
    }

private:
    void skip_blanks() {
        while (!rest_.empty() && is_blank(rest_.front())) rest_.remove_prefix(1);
    }
    std::nullopt_t fail() {
        failed_ = true;
        return std::nullopt;
    }
    template <class Value>
    void store_failure(Value& target, Value stored) {
        target = stored;
        failed_ = true;
    }

    std::string_view rest_;
    bool failed_ = false;
};

// Reads the next line without its '\n' into `line`; false at the end of the input.
bool next_line(InputSource& in, std::string& line) {
    line.clear();
    while (true) {
        const std::span<const std::byte> ahead = in.peek(max_header_line + 1);
        if (ahead.empty()) return !line.empty();
        const auto* const first = reinterpret_cast<const char*>(ahead.data());
        const auto* const last = first + ahead.size();
        const char* const end = std::find(first, last, '\n');
        const auto taken = static_cast<std::size_t>(end - first);
        if (line.size() + taken > max_header_line) {
            throw std::runtime_error("PCD header line longer than " + std::to_string(max_header_line) +
                                     " bytes: this is not a PCD header");
        }
        // Grown by doubling from the string's own capacity, as appending byte by byte grows it:
        // the blocks that a huge line leaves the allocator then set its thresholds as before,
        // and they decide whether a later large buffer comes fresh from the system.
        std::size_t capacity = line.capacity();
        while (capacity < line.size() + taken) capacity *= 2;
        line.reserve(capacity);
        line.append(first, taken);
        if (end != last) {
            in.skip(taken + 1);
            return true;
        }
        in.skip(taken);
    }
}

// Reads the values of a SIZE, TYPE or COUNT line into the fields, first to first.
template <class Value>
void read_each(std::string_view line, std::vector<PcdField>& fields, Value PcdField::* member) {
    LineValues values(line);
    for (PcdField& field : fields) values.read(field.*member);
}

std::string lower_case(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

// POINTS, WIDTH and HEIGHT: a count that no int64 holds is refused, since one held at a bound
// would read part of the cloud as if it were all of it.
void read_count(LineValues& values, std::string_view keyword, std::uint64_t line, std::int64_t& count) {
    if (const auto beyond = values.read_integer(count)) {
        throw std::runtime_error("PCD header: " + std::string(keyword) + " on line " + std::to_string(line) + " is " +
                                 std::string(*beyond) + ", outside the 64-bit range of counts");
    }
}

// WIDTH and HEIGHT: a negative one would make a count of points out of two wrong signs.
void read_dimension(LineValues& values, std::string_view keyword, std::uint64_t line, std::int64_t& count) {
    read_count(values, keyword, line, count);
    if (count < 0) {
        throw std::runtime_error("PCD header: " + std::string(keyword) + " on line " + std::to_string(line) + " is " +
                                 std::to_string(count) + ": the cloud's organisation cannot be negative");
    }
}

std::int64_t points_of_rows(const PcdHeader& header) {
    std::int64_t points = 0;
    if (__builtin_mul_overflow(header.width, header.height, &points)) {
        throw std::runtime_error("PCD header: WIDTH " + std::to_string(header.width) + " * HEIGHT " +
                                 std::to_string(header.height) + " is outside the 64-bit range of counts");
    }
    return points;
}

}  // namespace

PcdHeader parse_pcd_header(InputSource& in) {
    PcdHeader header;
    // The per-field lines are applied once the fields are final, so that they may come in
    // any order, and a repeated one replaces the one before.
    std::string sizes, types, counts;
    std::optional<std::int64_t> points;
    bool fields_seen = false;
    std::string line;
    for (std::uint64_t number = 1; next_line(in, line); ++number) {
        if (line.empty() || line.front() == '#') continue;
        LineValues values(line);
        const std::string_view keyword = values.token().value_or("");
        const bool per_field = keyword == "SIZE" || keyword == "TYPE" || keyword == "COUNT";
        // A layout line with no fields to apply to would be dropped, and the record misread.
        if (per_field && !fields_seen) {
            throw std::runtime_error("PCD header: " + std::string(keyword) + " line " + std::to_string(number) +
                                     " comes before the FIELDS line");
        }
        if (keyword == "FIELDS") {
            fields_seen = true;
            // New fields start from the defaults, as the reference reader's do.
            header.fields.clear();
            sizes.clear();
            types.clear();
            counts.clear();
            while (const auto name = values.token()) header.fields.push_back(PcdField{std::string(*name)});
        } else if (keyword == "SIZE") {
            sizes = values.rest();
        } else if (keyword == "TYPE") {
            types = values.rest();
        } else if (keyword == "COUNT") {
            counts = values.rest();
        } else if (keyword == "WIDTH") {
            read_dimension(values, keyword, number, header.width);
        } else if (keyword == "HEIGHT") {
            read_dimension(values, keyword, number, header.height);
        } else if (keyword == "POINTS") {
            std::int64_t value = points.value_or(0);
            if (values.has_value()) {
                read_count(values, keyword, number, value);
                points = value;
            }
        } else if (keyword == "VERSION") {
            header.version = std::string(values.token().value_or(""));
        } else if (keyword == "VIEWPOINT") {
            for (double& value : header.viewpoint) values.read(value);
        } else if (keyword == "DATA") {
            header.data = lower_case(values.token().value_or(""));
            break;
        }
    }
    read_each(sizes, header.fields, &PcdField::size);
    read_each(types, header.fields, &PcdField::type);
    read_each(counts, header.fields, &PcdField::count);
    header.points = points ? *points : points_of_rows(header);
    return header;
}

}  // namespace tessarel
