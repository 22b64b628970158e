// Response parsing without a socket: the bytes are a response as a server would send it.
// The head goes line by line into ResponseHead, the rest through the chunk decoder when the
// head says so, and the body through the charset choice and conversion.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "http/BodyText.h"
#include "http/HttpWire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  kestrune::http::ResponseHead head;
  bool complete = false;
  while (!input.empty() && !complete) {
    std::size_t end = input.find('\n');
    std::string_view line = input.substr(0, end == std::string_view::npos ? input.size() : end + 1);
    input.remove_prefix(line.size());
    if (kestrune::http::LineLengthWithoutEnd(line) > 16384) return 0;
    complete = head.AddLine(line) && !head.Informational();
  }
  std::string body;
  if (head.chunked) {
    kestrune::http::ChunkedDecoder chunks;
    // Split feeding must give what one feed gives.
    std::size_t half = input.size() / 2;
    chunks.Feed(input.substr(0, half), [&](std::string_view piece) { body.append(piece); });
    chunks.Feed(input.substr(half), [&](std::string_view piece) { body.append(piece); });
    std::string whole;
    kestrune::http::ChunkedDecoder once;
    once.Feed(input, [&](std::string_view piece) { whole.append(piece); });
    if (whole != body || once.Done() != chunks.Done()) __builtin_trap();
  } else {
    body.assign(input);
  }
  std::string text = kestrune::http::BodyToText(head.contentType, body);
  if (body.empty() != text.empty()) __builtin_trap();
  (void)head.HasBody();
  return 0;
}
