#pragma once
// Text comparison under the user's locale rules, kept apart from Platform.h so
// that callers that only compare names need no file or process declarations.

#include <string_view>

namespace platform {

// Whether two UTF-8 texts are equal when letter case is ignored under the
// user's locale. Bytes that are not valid UTF-8 only equal themselves.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

}  // namespace platform
