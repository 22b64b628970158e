#pragma once
// The built-in status texts: language 0 Russian, language 1 English.

#include <cstdint>
#include <optional>
#include <string_view>

namespace kestrune {

// The text for `code` in `language`; nothing for a code outside 0..13 or a language other
// than 0 and 1. The texts are UTF-8 and used exactly as written.
std::optional<std::string_view> StatusMessage(std::int32_t language, std::int32_t code);

}  // namespace kestrune
