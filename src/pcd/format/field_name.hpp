#pragma once
// Which field names a saved header can hold: the one rule that the writer and the module's
// argument checks both apply.

#include <string_view>

namespace tessarel {

// Whether `name`, UTF-8 text, can stand in a header as one field name: not empty, and without
// whitespace or control characters, which would split the name or hide it. Bytes that are not
// UTF-8 are taken as they are.
bool is_writable_name(std::string_view name) noexcept;

}  // namespace tessarel
