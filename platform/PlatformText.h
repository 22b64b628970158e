#pragma once
// The system's text rules: name comparison under the user's locale, and the conversions
// between charsets. Kept apart from Platform.h so that callers that only handle text need no
// file or process declarations.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Whether two UTF-8 texts are equal when letter case is ignored under the
// user's locale. Bytes that are not valid UTF-8 only equal themselves.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

// UTF-8 in code page 866 (the DOS Cyrillic code page of console scripts): one "?" for each
// character the code page lacks and for each byte that is not UTF-8. Throws
// std::runtime_error when the system has no such conversion.
std::string ToCodePage866(std::string_view utf8);

// Whether the system converts from the charset named `charset` (an IANA name or alias,
// lower-case, letters, digits and IANA punctuation only).
bool IsKnownCharset(const std::string& charset);

// `bytes` in the charset named `charset` (as for IsKnownCharset) as UTF-8. A byte where
// decoding fails becomes U+FFFD and decoding goes on after it; a byte-order mark stays, as
// U+FEFF. Nothing when the charset is unknown.
std::optional<std::string> ConvertToUtf8(std::string_view bytes, const std::string& charset);

}  // namespace platform
