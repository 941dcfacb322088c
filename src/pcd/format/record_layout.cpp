#include "pcd/format/record_layout.hpp"

#include <limits>

namespace tessarel {

std::vector<std::int64_t> field_bounds(std::span<const std::int64_t> widths) {
    std::vector<std::int64_t> bounds;
    bounds.reserve(widths.size() + 1);
    std::int64_t end = 0;
    for (const std::int64_t width : widths) {
        bounds.push_back(end);
        if (!__builtin_add_overflow(end, width, &end)) continue;
        end = width > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    }
    bounds.push_back(end);
    return bounds;
}

RecordLayout lay_out(std::vector<FieldLayout> fields) {
    std::vector<std::int64_t> widths;
    widths.reserve(fields.size());
    for (const FieldLayout& field : fields) widths.push_back(static_cast<std::int64_t>(field.bytes()));
    const std::vector<std::int64_t> bounds = field_bounds(widths);
    for (std::size_t i = 0; i < fields.size(); ++i) fields[i].offset = static_cast<std::size_t>(bounds[i]);
    return {std::move(fields), static_cast<std::size_t>(bounds.back())};
}

}  // namespace tessarel
