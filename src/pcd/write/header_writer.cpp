#include "pcd/write/header_writer.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string_view>

#include "pcd/write/compressed_encoder.hpp"

namespace tessarel {
namespace {

// Bytes the header reader takes as blanks, and control bytes, which no name may hold. Other
// bytes are UTF-8 text, taken whole.
bool breaks_a_name(char c) { return static_cast<unsigned char>(c) < 0x20 || c == ' ' || c == 0x7f; }

void check_name(const std::string& name) {
    if (name.empty()) throw std::invalid_argument("PCD field names cannot be empty");
    for (const char c : name) {
        if (breaks_a_name(c)) {
            throw std::invalid_argument("PCD field name '" + name + "' holds whitespace or a control character");
        }
    }
}

// The shortest text that reads back as the same double.
std::string shortest(double value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return {text, end};
}

template <class Each>
void add_line(std::string& text, std::string_view keyword, const CloudToWrite& cloud, Each each) {
    text += keyword;
    for (const FieldToWrite& field : cloud.fields) {
        text += ' ';
        text += each(field);
    }
    text += '\n';
}

}  // namespace

void check_cloud_to_write(const CloudToWrite& cloud) {
    for (const FieldToWrite& field : cloud.fields) check_name(field.name);
    // Readers hold these counts in 32-bit signed integers.
    constexpr std::uint64_t most = std::numeric_limits<std::int32_t>::max();
    if (cloud.points > most || cloud.width > most || cloud.height > most) {
        throw std::invalid_argument("a PCD file holds at most " + std::to_string(most) + " points, in rows of as many");
    }
    std::uint64_t record = 0;
    for (const FieldToWrite& field : cloud.fields) record += field.bytes();
    if (cloud.encoding == Encoding::binary_compressed && record * cloud.points > max_block_bytes) {
        throw std::invalid_argument("a binary_compressed block holds at most " + std::to_string(max_block_bytes) +
                                    " bytes of columns; these take " + std::to_string(record * cloud.points) +
                                    ": save as binary");
    }
    if (cloud.width * cloud.height != cloud.points) {
        throw std::invalid_argument("WIDTH " + std::to_string(cloud.width) + " * HEIGHT " +
                                    std::to_string(cloud.height) + " must equal the number of points, " +
                                    std::to_string(cloud.points));
    }
}

std::string header_text(const CloudToWrite& cloud) {
    std::string text = "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\n";
    add_line(text, "FIELDS", cloud, [](const FieldToWrite& f) { return f.name; });
    add_line(text, "SIZE", cloud, [](const FieldToWrite& f) { return std::to_string(f.element_bytes()); });
    add_line(text, "TYPE", cloud, [](const FieldToWrite& f) { return std::string(1, entry_of(f.type).type); });
    add_line(text, "COUNT", cloud, [](const FieldToWrite& f) { return std::to_string(f.count); });
    text += "WIDTH ";
    text += std::to_string(cloud.width);
    text += "\nHEIGHT ";
    text += std::to_string(cloud.height);
    text += "\nVIEWPOINT";
    for (const double value : cloud.viewpoint) {
        text += ' ';
        text += shortest(value);
    }
    text += "\nPOINTS ";
    text += std::to_string(cloud.points);
    text += "\nDATA ";
    text += encoding_name(cloud.encoding);
    text += '\n';
    return text;
}

}  // namespace tessarel
