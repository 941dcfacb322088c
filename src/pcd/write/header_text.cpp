#include "pcd/write/header_text.hpp"

#include <charconv>
#include <limits>
#include <string_view>

namespace tessarel {
namespace {

// The shortest text that reads back as the same double.
std::string shortest(double value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return {text, end};
}

// A count as the header holds it. Reserved counts are padded with spaces after the digits,
// which every reader skips as it skips any space between tokens.
std::string count_text(std::uint64_t count, CountText counts) {
    std::string text = std::to_string(count);
    constexpr std::size_t widest = std::numeric_limits<std::uint64_t>::digits10 + 1;
    if (counts == CountText::reserved) text.resize(widest, ' ');
    return text;
}

template <class Each>
void add_line(std::string& text, std::string_view keyword, const CloudToWrite& cloud, Each each) {
    text += keyword;
    for (const FieldLayout& field : cloud.record.fields) {
        text += ' ';
        text += each(field);
    }
    text += '\n';
}

}  // namespace

std::string header_text(const CloudToWrite& cloud, CountText counts) {
    std::string text = "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\n";
    add_line(text, "FIELDS", cloud, [](const FieldLayout& f) { return f.name; });
    add_line(text, "SIZE", cloud, [](const FieldLayout& f) { return std::to_string(f.element_bytes()); });
    add_line(text, "TYPE", cloud, [](const FieldLayout& f) { return std::string(1, entry_of(f.type).type); });
    add_line(text, "COUNT", cloud, [](const FieldLayout& f) { return std::to_string(f.count); });
    text += "WIDTH ";
    text += count_text(cloud.width, counts);
    text += "\nHEIGHT ";
    text += std::to_string(cloud.height);
    text += "\nVIEWPOINT";
    for (const double value : cloud.viewpoint) {
        text += ' ';
        text += shortest(value);
    }
    text += "\nPOINTS ";
    text += count_text(cloud.points, counts);
    text += "\nDATA ";
    text += encoding_name(cloud.encoding);
    text += '\n';
    return text;
}

}  // namespace tessarel
