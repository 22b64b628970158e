#include "http/HttpWire.h"

#include <algorithm>
#include <charconv>
#include <iterator>

#include "http/AsciiText.h"
#include "http/HttpError.h"

namespace kestrune::http {
namespace {

// Header names and values: blanks around them, and a stray CR or LF left at the end.
std::string_view TrimHeader(std::string_view s) {
  return Trim(s, " \t", " \t\r\n");
}

[[noreturn]] void UnknownProtocol() {
  throw HttpError(HttpError::Kind::UnknownProtocol, "Unknown Protocol");
}

// True when the authority ends in ":digits" (outside an IPv6 literal).
bool HasPort(std::string_view authority) {
  std::size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos || colon + 1 == authority.size()) return false;
  if (authority.find(']', colon) != std::string_view::npos) return false;
  for (char c : authority.substr(colon + 1))
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

std::string NormalizeUrl(std::string_view url) {
  std::size_t sep = url.find("://");
  if (sep == std::string_view::npos || sep == 0) UnknownProtocol();
  std::string scheme;
  for (char c : url.substr(0, sep)) scheme += LowerAscii(c);
  std::string rest(url.substr(sep + 3));

  // Windows-style relative paths arrive glued onto URLs; only the part before the query counts.
  std::size_t queryStart = rest.find_first_of("?#");
  for (std::size_t i = 0; i < rest.size() && i < queryStart; ++i)
    if (rest[i] == '\\') rest[i] = '/';

  std::size_t pathStart = rest.find_first_of("/?#");
  std::string_view authority = std::string_view(rest).substr(0, pathStart);
  if (scheme != "http" && scheme != "https") {
    if (!HasPort(authority)) UnknownProtocol();
    scheme = "http";
  }

  std::string out = scheme + "://";
  out += authority;
  if (pathStart == std::string::npos) return out;
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (std::size_t i = pathStart; i < rest.size(); ++i) {
    auto b = static_cast<unsigned char>(rest[i]);
    if (b == '#') break;
    if (b <= 0x20 || b >= 0x7F) {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    } else {
      out += static_cast<char>(b);
    }
  }
  return out;
}

std::size_t LineLengthWithoutEnd(std::string_view line) {
  std::size_t n = line.size();
  if (n > 0 && line[n - 1] == '\n') --n;
  if (n > 0 && line[n - 1] == '\r') --n;
  return n;
}

bool ResponseHead::AddLine(std::string_view line) {
  std::string_view text = line.substr(0, LineLengthWithoutEnd(line));
  if (text.empty()) return true;
  if (text.size() >= 5 && text.substr(0, 5) == "HTTP/") {
    *this = ResponseHead{};
    statusLine = std::string(text);
    std::size_t space = text.find(' ');
    int code = -1;
    if (space != std::string_view::npos) {
      std::string_view digits = text.substr(space + 1, 3);
      auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), code);
      if (ec != std::errc() || end != digits.data() + digits.size()) code = -1;
    }
    status = code;
    return false;
  }
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view name = TrimHeader(text.substr(0, colon));
  std::string_view value = TrimHeader(text.substr(colon + 1));
  if (EqualsNoCase(name, "Content-Type")) {
    contentType = std::string(value);
  } else if (EqualsNoCase(name, "Content-Length")) {
    std::int64_t length = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
    if (ec == std::errc() && end == value.data() + value.size() && length >= 0)
      contentLength = length;
  } else if (EqualsNoCase(name, "Transfer-Encoding")) {
    // The last coding decides; only "chunked" is ever applied by a server to a GET reply.
    std::size_t comma = value.rfind(',');
    std::string_view last =
        TrimHeader(comma == std::string_view::npos ? value : value.substr(comma + 1));
    chunked = EqualsNoCase(last, "chunked");
  } else if (EqualsNoCase(name, "ETag")) {
    etag = std::string(value);
  } else if (EqualsNoCase(name, "Last-Modified")) {
    lastModified = std::string(value);
  } else if (EqualsNoCase(name, "Content-Range")) {
    contentRange = std::string(value);
  }
  return false;
}

std::optional<std::string> StrongEntityTag(std::string_view value) {
  if (value.size() < 2 || value.front() != '"' || value.back() != '"') return std::nullopt;
  // Kept short: it goes back out in a header line of ours.
  if (value.size() > 1024) return std::nullopt;
  for (char c : value.substr(1, value.size() - 2)) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x21 || b > 0x7E || b == '"') return std::nullopt;
  }
  return std::string(value);
}

bool IsHttpDate(std::string_view v) {
  static constexpr std::string_view kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  // "Sun, 06 Nov 1994 08:49:37 GMT"
  if (v.size() != 29) return false;
  auto digits = [&](std::size_t at, std::size_t count, int max) {
    int n = 0;
    for (std::size_t i = at; i < at + count; ++i) {
      if (v[i] < '0' || v[i] > '9') return false;
      n = n * 10 + (v[i] - '0');
    }
    return n <= max;
  };
  auto oneOf = [&](std::size_t at, const auto& names) {
    return std::find(std::begin(names), std::end(names), v.substr(at, 3)) != std::end(names);
  };
  return oneOf(0, kDays) && v.substr(3, 2) == ", " && digits(5, 2, 31) && v[7] == ' ' &&
         oneOf(8, kMonths) && v[11] == ' ' && digits(12, 4, 9999) && v[16] == ' ' &&
         digits(17, 2, 23) && v[19] == ':' && digits(20, 2, 59) && v[22] == ':' &&
         digits(23, 2, 60) && v.substr(25) == " GMT";
}

std::optional<ContentRange> ParseContentRange(std::string_view value) {
  // Digits only, at most 18 of them: no sign, no blanks, no overflow.
  auto number = [](std::string_view text) -> std::optional<std::int64_t> {
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::int64_t n = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return std::nullopt;
      n = n * 10 + (c - '0');
    }
    return n;
  };
  if (value.size() < 6 || !EqualsNoCase(value.substr(0, 6), "bytes ")) return std::nullopt;
  std::string_view rest = value.substr(6);
  std::size_t dash = rest.find('-');
  std::size_t slash = rest.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
    return std::nullopt;
  auto first = number(rest.substr(0, dash));
  auto last = number(rest.substr(dash + 1, slash - dash - 1));
  auto complete = number(rest.substr(slash + 1));
  if (!first || !last || !complete || *first > *last || *last >= *complete) return std::nullopt;
  return ContentRange{*first, *last, *complete};
}

std::optional<std::string> ResumeValidator(const ResponseHead& head) {
  if (auto tag = StrongEntityTag(head.etag)) return tag;
  if (IsHttpDate(head.lastModified)) return head.lastModified;
  return std::nullopt;
}

bool ResponseHead::HasBody() const {
  if (status == 204 || status == 304) return false;
  if (chunked) return true;
  return !(contentLength && *contentLength == 0);
}

std::size_t BodyLimit::Take(std::size_t size) {
  if (bound_ <= 0) return size;
  auto keep = static_cast<std::size_t>(
      std::min<std::int64_t>(bound_ - taken_, static_cast<std::int64_t>(size)));
  taken_ += static_cast<std::int64_t>(keep);
  if (keep < size) exceeded_ = true;
  return keep;
}

void ChunkedDecoder::Step(char c) {
  auto endOfSizeLine = [this] {
    if (digits_ == 0) {
      state_ = State::Failed;
    } else {
      state_ = remaining_ == 0 ? State::Trailer : State::Data;
    }
  };
  switch (state_) {
    case State::Size: {
      int v = -1;
      if (c >= '0' && c <= '9') v = c - '0';
      if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
      if (v >= 0) {
        // 15 hex digits keep the size far below overflow.
        if (++digits_ > 15) state_ = State::Failed;
        remaining_ = remaining_ * 16 + static_cast<std::uint64_t>(v);
      } else if (c == ';' || c == ' ' || c == '\t') {
        state_ = digits_ == 0 ? State::Failed : State::Extension;
      } else if (c == '\n') {
        endOfSizeLine();
      } else if (c != '\r') {
        state_ = State::Failed;
      }
      break;
    }
    case State::Extension:
      if (c == '\n') endOfSizeLine();
      break;
    case State::DataEnd:
      if (c == '\n') {
        state_ = State::Size;
        digits_ = 0;
        remaining_ = 0;
      } else if (c != '\r') {
        state_ = State::Failed;
      }
      break;
    case State::Trailer:
      if (c == '\n') {
        state_ = State::Done;
      } else if (c != '\r') {
        state_ = State::TrailerLine;
      }
      break;
    case State::TrailerLine:
      if (c == '\n') state_ = State::Trailer;
      break;
    case State::Data:
    case State::Done:
    case State::Failed:
      break;
  }
}

}  // namespace kestrune::http
