// Loads binary_compressed files whole and with field selections, from a file and from memory,
// and checks that every selection keeps exactly the whole load's columns of its fields, or
// fails with the whole load's error.
//
//   compressed_selection_check PATH...
//
// Prints one line per file: how many loads agreed and how the whole load ended, or what a
// selection did differently; exits 1 when any selection disagrees.

#include <cstddef>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "pcd/io/file_source.hpp"
#include "pcd/io/memory_source.hpp"
#include "pcd/read/compressed_decoder.hpp"

namespace {

using namespace tessarel;

std::vector<std::byte> file_bytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(file), {}};
    const auto* const bytes = reinterpret_cast<const std::byte*>(text.data());
    return {bytes, bytes + text.size()};
}

// A load's outcome: its layout and block, or its error.
struct Loaded {
    PcdLayout layout;
    std::optional<ColumnBlock> block;
    std::string error;
};

// Loads with `selection`, or every field without one.
Loaded load(InputSource& in, const FieldSelection* selection) {
    Loaded loaded;
    try {
        loaded.layout = make_layout(parse_pcd_header(in));
        loaded.block = read_compressed_data(in, loaded.layout, selection ? *selection : select_all(loaded.layout), {1});
    } catch (const std::exception& error) {
        loaded.error = std::string("error: ") + error.what();
    }
    return loaded;
}

// Each kept field's column as the load gives it: whether it has one, its stride and bytes.
// The whole load holds every field's column, a selected load only the kept fields'.
std::string kept_columns(const Loaded& loaded, const FieldSelection& selection, bool whole) {
    if (!loaded.block) return loaded.error;
    std::string text;
    const std::vector<std::size_t> kept = kept_indices(selection);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const FieldLayout& field = loaded.layout.fields[kept[i]];
        const FieldPlacement& place = loaded.block->columns[whole ? kept[i] : i];
        text += "\n" + field.name + " " + std::to_string(place.present) + " " + std::to_string(place.stride) + " ";
        if (!place.present) continue;
        const auto* const from = reinterpret_cast<const char*>(loaded.block->buffer.data() + place.base);
        text.append(from, loaded.layout.points * field.bytes());
    }
    return text;
}

// Every selection of up to 6 fields; for more, each field alone, every field but one, and
// every other field.
std::vector<FieldSelection> selections(std::size_t fields) {
    std::vector<FieldSelection> all;
    if (fields <= 6) {
        for (std::size_t mask = 0; mask < (std::size_t{1} << fields); ++mask) {
            FieldSelection selection{std::vector<bool>(fields)};
            for (std::size_t i = 0; i < fields; ++i) selection.kept[i] = (mask >> i & 1) != 0;
            all.push_back(selection);
        }
        return all;
    }
    for (std::size_t i = 0; i < fields; ++i) {
        all.push_back({std::vector<bool>(fields, false)});
        all.back().kept[i] = true;
        all.push_back({std::vector<bool>(fields, true)});
        all.back().kept[i] = false;
    }
    for (std::size_t parity = 0; parity < 2; ++parity) {
        all.push_back({std::vector<bool>(fields)});
        for (std::size_t i = 0; i < fields; ++i) all.back().kept[i] = i % 2 == parity;
    }
    return all;
}

std::size_t field_count(InputSource& in) {
    try {
        return make_layout(parse_pcd_header(in)).fields.size();
    } catch (const std::exception&) {
        return 0;
    }
}

// Whether every selection agrees on the file at `path`; prints its line.
bool check(const std::string& path) {
    const std::vector<std::byte> bytes = file_bytes(path);
    MemorySource header(bytes);
    const std::vector<FieldSelection> all = selections(field_count(header));
    FileSource whole_file(path);
    const Loaded whole = load(whole_file, nullptr);
    std::size_t loads = 0;
    for (const FieldSelection& selection : all) {
        FileSource file(path);
        MemorySource memory(bytes);
        for (InputSource* in : {static_cast<InputSource*>(&file), static_cast<InputSource*>(&memory)}) {
            const std::string selected = kept_columns(load(*in, &selection), selection, false);
            const std::string expected = kept_columns(whole, selection, true);
            ++loads;
            if (selected == expected) continue;
            std::cout << path << ": a selection of " << kept_indices(selection).size() << " fields gives "
                      << selected.substr(0, 200) << "\ninstead of " << expected.substr(0, 200) << "\n";
            return false;
        }
    }
    std::cout << path << ": " << loads << " loads agree: " << (whole.block ? "columns" : whole.error) << "\n";
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool all_agree = true;
    for (int i = 1; i < argc; ++i) all_agree = check(argv[i]) && all_agree;
    return all_agree ? 0 : 1;
}
