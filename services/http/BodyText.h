#pragma once
// Turns a response body into UTF-8 text, choosing the character set from the media type,
// the charset parameter and, for XML and HTML, from the document itself.

#include <string>
#include <string_view>

namespace kestrune::http {

// contentType: the raw "Content-Type" value, empty when the response had none.
// Bytes that are invalid in the chosen charset become U+FFFD; a byte-order mark is kept as
// U+FEFF. An unknown charset maps every byte to the code point of the same value.
std::string BodyToText(std::string_view contentType, std::string_view body);

// The charset name the body is decoded with, lower-case, or "" for byte-to-code-point.
// Exposed so that the choice can be checked apart from the conversion.
std::string ChooseCharset(std::string_view contentType, std::string_view body);

}  // namespace kestrune::http
