// Arbitrary bytes as a whole PCD file: header, layout checks, then whichever decoder the
// header names. Every input must end in a cloud or a C++ exception, and reading the bytes in
// place, as from memory, must end the same way as copying them, as from a file. Read in
// chunks, the same file must give the same values or the same error; with a field selection,
// the same values of the fields kept, or the same error, except that ASCII text may hold a
// bad value in a field that a selection skips.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cloud_checks.hpp"
#include "copied_source.hpp"
#include "pcd/read/pcd_chunks.hpp"

namespace {

using tessarel::FieldPlacement;
using tessarel::PcdCloud;

// The decoded bytes and where each field lies, or the error message.
std::string outcome(const PcdCloud& cloud) {
    std::string text(reinterpret_cast<const char*>(cloud.buffer.data()), cloud.buffer.size());
    for (const FieldPlacement& place : cloud.placements) {
        text +=
            ' ' + std::to_string(place.base) + ',' + std::to_string(place.stride) + ',' + std::to_string(place.present);
    }
    return text;
}

template <class Read>
std::string outcome_of(Read read, std::size_t file_bytes) {
    try {
        const PcdCloud cloud = read();
        tessarel::fuzz::check_cloud(cloud, file_bytes);
        return outcome(cloud);
    } catch (const std::exception& error) {
        return std::string("error: ") + error.what();
    }
}

// Each field's values, point after point, wherever the cloud holds them; or the error.
struct Values {
    std::vector<std::string> fields;
    std::size_t points = 0;
    std::optional<std::string> error;
};

void append_values(const PcdCloud& cloud, Values& values) {
    std::vector<std::string>& fields = values.fields;
    values.points += cloud.layout.points;
    fields.resize(cloud.layout.fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::size_t bytes = cloud.layout.fields[i].bytes();
        const FieldPlacement& place = cloud.placements[i];
        for (std::size_t point = 0; point < cloud.layout.points; ++point) {
            if (!place.present) {
                fields[i].append(bytes, '\0');
                continue;
            }
            fields[i].append(reinterpret_cast<const char*>(cloud.buffer.data()) + place.base + point * place.stride,
                             bytes);
        }
    }
}

template <class Read>
Values values_of(Read read) {
    Values values;
    try {
        read(values);
        // Chunks of no points name no fields.
        if (values.points == 0) values.fields.clear();
    } catch (const std::exception& error) {
        values.error = error.what();
    }
    return values;
}

Values whole(std::span<const std::byte> file) {
    return values_of([&](Values& values) { append_values(tessarel::read_pcd_buffer(file), values); });
}

// Copied, as from a file: a selection then keeps its fields from records read a piece at a time.
Values selected(std::span<const std::byte> file, const std::vector<std::string>& names) {
    return values_of([&](Values& values) {
        tessarel::fuzz::CopiedSource in(file);
        append_values(tessarel::read_pcd(in, names), values);
    });
}

Values chunked(std::span<const std::byte> file, std::size_t chunk_points) {
    return values_of([&](Values& values) {
        tessarel::PcdChunks chunks(std::make_unique<tessarel::MemorySource>(file), std::nullopt);
        while (const auto chunk = chunks.next(chunk_points)) append_values(*chunk, values);
    });
}

std::optional<tessarel::PcdLayout> layout_of(std::span<const std::byte> file) {
    try {
        tessarel::MemorySource in(file);
        return tessarel::make_layout(tessarel::parse_pcd_header(in));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Some of the layout's fields by name, chosen by the input's last byte.
std::vector<std::string> some_names(const tessarel::PcdLayout& layout, std::byte choice) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < layout.fields.size(); ++i) {
        if ((static_cast<unsigned>(choice) >> (i % 8)) & 1u) names.push_back(layout.fields[i].name);
    }
    return names;
}

void check_chunks(std::span<const std::byte> file, const Values& all) {
    // Enough points a chunk that a huge cloud still takes few chunks.
    const std::size_t chunk_points = std::max<std::size_t>(1 + file.size() % 5, all.points / 64);
    const Values chunks = chunked(file, chunk_points);
    tessarel::fuzz::require(chunks.error == all.error);
    tessarel::fuzz::require(all.error || chunks.fields == all.fields);
}

void check_selection(std::span<const std::byte> file, const Values& all) {
    const auto layout = layout_of(file);
    if (!layout) return tessarel::fuzz::require(all.error.has_value());
    const std::vector<std::string> names = some_names(*layout, file.back());
    const Values some = selected(file, names);
    if (all.error) {
        if (layout->encoding != tessarel::Encoding::ascii) return tessarel::fuzz::require(some.error == all.error);
        // Only a bad value can be skipped: text that ends early ends early for any selection.
        return tessarel::fuzz::require(some.error || all.error->find("ended early") == std::string::npos);
    }
    tessarel::fuzz::require(!some.error && some.points == all.points);
    if (all.points == 0) return;
    const std::vector<std::size_t> kept = tessarel::kept_indices(tessarel::select_fields(*layout, names));
    tessarel::fuzz::require(some.fields.size() == kept.size());
    for (std::size_t k = 0; k < kept.size(); ++k) tessarel::fuzz::require(some.fields[k] == all.fields[kept[k]]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::byte> file = std::as_bytes(std::span(data, size));
    const std::string copied = outcome_of(
        [&] {
            tessarel::fuzz::CopiedSource in(file);
            return tessarel::read_pcd(in);
        },
        size);
    const std::string in_place = outcome_of([&] { return tessarel::read_pcd_buffer(file); }, size);
    tessarel::fuzz::require(copied == in_place);
    if (file.empty()) return 0;
    const Values all = whole(file);
    check_chunks(file, all);
    check_selection(file, all);
    return 0;
}
