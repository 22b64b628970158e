#pragma once
// Pure pieces of the HTTP exchange, kept apart from the transport so that they can be
// tested and fuzzed on their own: URL clean-up, response head bookkeeping, chunk decoding.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune::http {

// Returns the URL as it is handed to the transport: lower-case scheme, backslashes in the
// authority and path turned into "/", bytes below 0x21, 0x7F and above 0x7F in path and query
// percent-encoded, fragment dropped. A scheme other than http/https is sent as http when the
// URL names a port. Throws HttpError(UnknownProtocol) for a URL without "://" or with another
// scheme and no port.
std::string NormalizeUrl(std::string_view url);

// The head of the response being received, fed line by line (each line with its line end).
struct ResponseHead {
  std::string statusLine;  // without line end
  int status = -1;         // -1 until a readable status line arrived
  std::string contentType;
  std::optional<std::int64_t> contentLength;
  bool chunked = false;
  // Raw values (blanks around them dropped) of the headers a resumed transfer needs.
  std::string etag;
  std::string lastModified;
  std::string contentRange;

  // Takes one header line. A status line starts a new head. Returns true for the empty line
  // that ends a head.
  bool AddLine(std::string_view line);
  // Informational responses (1xx except 101) are followed by the real one.
  bool Informational() const { return status >= 100 && status <= 199 && status != 101; }
  // 204, 304 and an announced length of 0 carry no body.
  bool HasBody() const;
};

// The entity tag of an ETag value when it is a strong one ("...", printable ASCII inside, no
// W/ prefix), quotes included, as If-Range sends it back; nullopt otherwise.
std::optional<std::string> StrongEntityTag(std::string_view value);

// Whether a Last-Modified value is an HTTP date in its one fixed form ("Sun, 06 Nov 1994
// 08:49:37 GMT"), so that If-Range may send it back byte for byte.
bool IsHttpDate(std::string_view value);

// A Content-Range of a 206 answer: bytes first..last of a body of `complete` bytes.
struct ContentRange {
  std::int64_t first = 0;
  std::int64_t last = 0;
  std::int64_t complete = 0;
};
// Reads "bytes FIRST-LAST/COMPLETE" with first <= last < complete; nullopt for anything else,
// an unknown complete length ("*") included.
std::optional<ContentRange> ParseContentRange(std::string_view value);

// What a later request may send as If-Range to continue this response's body: its strong
// entity tag, else its Last-Modified date; nullopt when it has neither.
std::optional<std::string> ResumeValidator(const ResponseHead& head);

// Counts the body bytes of one response against a bound, so that nothing past it is kept.
class BodyLimit {
 public:
  // bound 0: no bound.
  explicit BodyLimit(std::int64_t bound = 0) : bound_(bound) {}
  // True when the head announces a body longer than the bound: it need not be read at all.
  // A chunked body's length is only known as it arrives.
  bool RefusesAnnounced(const ResponseHead& head) const {
    return bound_ > 0 && head.HasBody() && !head.chunked && head.contentLength &&
           *head.contentLength > bound_;
  }
  // How many of the next `size` body bytes still fit; fewer than `size` once the bound is passed.
  std::size_t Take(std::size_t size);
  bool Exceeded() const { return exceeded_; }

 private:
  std::int64_t bound_;
  std::int64_t taken_ = 0;
  bool exceeded_ = false;
};

// Length of a header line without its line end (LF, or CR LF).
std::size_t LineLengthWithoutEnd(std::string_view line);

// Turns a chunked body into its data. Feed the raw bytes as they arrive; every piece of data is
// passed to the sink. Malformed input stops the decoder (Failed() turns true).
class ChunkedDecoder {
 public:
  template <typename Sink>
  void Feed(std::string_view raw, Sink&& sink) {
    while (!raw.empty() && state_ != State::Done && state_ != State::Failed) {
      if (state_ == State::Data) {
        std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>(remaining_, static_cast<std::uint64_t>(raw.size())));
        sink(raw.substr(0, n));
        raw.remove_prefix(n);
        remaining_ -= n;
        if (remaining_ == 0) state_ = State::DataEnd;
      } else {
        Step(raw.front());
        raw.remove_prefix(1);
      }
    }
  }
  bool Done() const { return state_ == State::Done; }
  bool Failed() const { return state_ == State::Failed; }

 private:
  enum class State { Size, Extension, DataEnd, Trailer, TrailerLine, Data, Done, Failed };
  void Step(char c);

  State state_ = State::Size;
  std::uint64_t remaining_ = 0;
  int digits_ = 0;
};

}  // namespace kestrune::http
