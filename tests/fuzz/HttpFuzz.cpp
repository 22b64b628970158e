// Response parsing without a socket: the bytes are a response as a server would send it.
// The head goes line by line into ResponseHead, its validators and range through their
// readers, the rest through the chunk decoder when the head says so, the body against a small
// bound as the client keeps it, and through the charset choice and conversion. The same bytes
// are also read as a resume record.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "http/BodyText.h"
#include "http/HttpWire.h"
#include "http/ResumeRecord.h"

namespace {

// Small, so that fuzzed bodies pass it often.
constexpr std::int64_t kBodyBound = 300;

// The bound keeps all of a body that fits and exactly kBodyBound bytes of one that does not,
// however the body is sliced, and refuses an announced length only when it is above the bound.
void CheckBound(const kestrune::http::ResponseHead& head, std::string_view body) {
  kestrune::http::BodyLimit limit(kBodyBound);
  if (limit.RefusesAnnounced(head)) {
    if (head.chunked || !head.contentLength || *head.contentLength <= kBodyBound) __builtin_trap();
    return;
  }
  std::string kept;
  std::string_view rest = body;
  for (std::size_t piece = 1; !rest.empty(); piece = piece * 3 % 97 + 1) {
    std::string_view next = rest.substr(0, piece);
    rest.remove_prefix(next.size());
    std::size_t keep = limit.Take(next.size());
    if (keep > next.size()) __builtin_trap();
    kept.append(next.substr(0, keep));
  }
  const bool fits = static_cast<std::int64_t>(body.size()) <= kBodyBound;
  if (kept != body.substr(0, fits ? body.size() : static_cast<std::size_t>(kBodyBound)))
    __builtin_trap();
  if (limit.Exceeded() == fits) __builtin_trap();
}

// What the resumed transfer would send back or rely on is well formed.
void CheckResumeHeaders(const kestrune::http::ResponseHead& head) {
  auto printable = [](std::string_view text) {
    for (char c : text)
      if (static_cast<unsigned char>(c) < 0x21 && c != ' ') return false;
    for (char c : text)
      if (static_cast<unsigned char>(c) > 0x7E) return false;
    return true;
  };
  if (auto tag = kestrune::http::StrongEntityTag(head.etag)) {
    if (*tag != head.etag || tag->size() < 2 || tag->front() != '"' || tag->back() != '"' ||
        !printable(*tag) || tag->find(' ') != std::string::npos)
      __builtin_trap();
  }
  if (kestrune::http::IsHttpDate(head.lastModified) &&
      (head.lastModified.size() != 29 || !printable(head.lastModified)))
    __builtin_trap();
  if (auto validator = kestrune::http::ResumeValidator(head)) {
    if (*validator != head.etag && *validator != head.lastModified) __builtin_trap();
  }
  if (auto range = kestrune::http::ParseContentRange(head.contentRange)) {
    if (range->first < 0 || range->first > range->last || range->last >= range->complete)
      __builtin_trap();
  }
}

// A record read from any bytes is one that writing it again gives back byte for byte.
void CheckResumeRecord(std::string_view bytes) {
  auto record = kestrune::http::ParseResumeRecord(bytes);
  if (!record) return;
  if (record->length <= 0 || record->url.empty()) __builtin_trap();
  if (kestrune::http::FormatResumeRecord(*record) != bytes) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  CheckResumeRecord(input);
  kestrune::http::ResponseHead head;
  bool complete = false;
  while (!input.empty() && !complete) {
    std::size_t end = input.find('\n');
    std::string_view line = input.substr(0, end == std::string_view::npos ? input.size() : end + 1);
    input.remove_prefix(line.size());
    if (kestrune::http::LineLengthWithoutEnd(line) > 16384) return 0;
    complete = head.AddLine(line) && !head.Informational();
  }
  CheckResumeHeaders(head);
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
  CheckBound(head, body);
  std::string text = kestrune::http::BodyToText(head.contentType, body);
  if (body.empty() != text.empty()) __builtin_trap();
  (void)head.HasBody();
  return 0;
}
