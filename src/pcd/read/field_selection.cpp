#include "pcd/read/field_selection.hpp"

#include <algorithm>
#include <cstring>

#include "pcd/io/strided_runs.hpp"

namespace tessarel {
namespace {

// The last field named `name`, or none.
std::size_t last_named(const PcdLayout& layout, const std::string& name) {
    for (std::size_t i = layout.fields.size(); i-- > 0;) {
        if (layout.fields[i].name == name) return i;
    }
    return layout.fields.size();
}

// Bytes of a record copied as one: kept fields that lie next to each other are one run.
struct Run {
    std::size_t offset;
    std::size_t bytes;
};

std::vector<Run> kept_runs(const PcdLayout& layout, const FieldSelection& selection) {
    std::vector<Run> runs;
    for (std::size_t i = 0; i < layout.fields.size(); ++i) {
        const FieldLayout& field = layout.fields[i];
        if (!selection.kept[i] || field.bytes() == 0) continue;
        if (!runs.empty() && runs.back().offset + runs.back().bytes == field.offset) {
            runs.back().bytes += field.bytes();
        } else {
            runs.push_back({field.offset, field.bytes()});
        }
    }
    return runs;
}

[[noreturn]] void throw_missing(const PcdLayout& layout, const std::string& name) {
    std::string names;
    for (const FieldLayout& field : layout.fields) names += (names.empty() ? "" : ", ") + printable_name(field.name);
    throw MissingField("field '" + printable_name(name) + "' is not in the file, whose fields are " + names);
}

}  // namespace

FieldSelection select_all(const PcdLayout& layout) { return {std::vector<bool>(layout.fields.size(), true)}; }

FieldSelection select_fields(const PcdLayout& layout, std::span<const std::string> names) {
    FieldSelection selection{std::vector<bool>(layout.fields.size(), false)};
    for (const std::size_t index : layout.xyz) selection.kept[index] = true;
    for (const std::string& name : names) {
        const std::size_t index = last_named(layout, name);
        if (index == layout.fields.size()) throw_missing(layout, name);
        selection.kept[index] = true;
    }
    return selection;
}

FieldSelection select_requested(const PcdLayout& layout, const FieldRequest& names) {
    return names ? select_fields(layout, *names) : select_all(layout);
}

bool keeps_all(const FieldSelection& selection) {
    return std::all_of(selection.kept.begin(), selection.kept.end(), [](bool kept) { return kept; });
}

std::vector<std::size_t> kept_indices(const FieldSelection& selection) {
    std::vector<std::size_t> indices;
    for (std::size_t i = 0; i < selection.kept.size(); ++i) {
        if (selection.kept[i]) indices.push_back(i);
    }
    return indices;
}

PcdLayout kept_layout(const PcdLayout& layout, const FieldSelection& selection, std::size_t points) {
    const std::vector<std::size_t> indices = kept_indices(selection);
    std::vector<FieldLayout> fields;
    fields.reserve(indices.size());
    for (const std::size_t index : indices) fields.push_back(layout.fields[index]);
    PcdLayout kept{lay_out(std::move(fields))};
    kept.points = points;
    kept.buffer_size = points * kept.point_step;
    kept.encoding = layout.encoding;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const auto position = std::find(indices.begin(), indices.end(), layout.xyz[axis]);
        kept.xyz[axis] = static_cast<std::size_t>(position - indices.begin());
    }
    return kept;
}

void gather_kept(std::span<const std::byte> records, const PcdLayout& layout, const FieldSelection& selection,
                 std::byte* out) {
    if (layout.point_step == 0) return;
    const std::size_t points = records.size() / layout.point_step;
    const std::size_t kept_step = kept_layout(layout, selection, 0).point_step;
    std::size_t into = 0;
    for (const Run& run : kept_runs(layout, selection)) {
        copy_runs(records.data() + run.offset, static_cast<std::ptrdiff_t>(layout.point_step), run.bytes, points,
                  out + into, kept_step);
        into += run.bytes;
    }
}

}  // namespace tessarel
