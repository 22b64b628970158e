#include "http/BodyText.h"

#include <cstdint>
#include <optional>

#include "PlatformText.h"
#include "Utf8.h"
#include "http/AsciiText.h"

namespace kestrune::http {
namespace {

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && LowerAscii(s.substr(0, prefix.size())) == prefix;
}

bool EndsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

constexpr std::string_view kSpace = " \t\r\n\f";

bool IsSpace(char c) {
  return kSpace.find(c) != std::string_view::npos;
}

std::string_view TrimSpace(std::string_view s) {
  return Trim(s, kSpace, kSpace);
}

std::string_view Unquote(std::string_view s) {
  s = TrimSpace(s);
  if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front())
    s = s.substr(1, s.size() - 2);
  return TrimSpace(s);
}

struct MediaType {
  std::string type;     // lower-case, without parameters
  std::string charset;  // lower-case, empty when absent
};

MediaType ParseMediaType(std::string_view value) {
  MediaType m;
  std::size_t semi = value.find(';');
  m.type = LowerAscii(TrimSpace(value.substr(0, semi)));
  while (semi != std::string_view::npos) {
    value.remove_prefix(semi + 1);
    semi = value.find(';');
    std::string_view param = value.substr(0, semi);
    std::size_t eq = param.find('=');
    if (eq == std::string_view::npos) continue;
    if (LowerAscii(TrimSpace(param.substr(0, eq))) == "charset")
      m.charset = LowerAscii(Unquote(param.substr(eq + 1)));
  }
  return m;
}

// The value of attribute `name` inside one tag's text (between "<tag" and ">"), if present.
std::optional<std::string> AttributeIn(std::string_view tag, std::string_view name) {
  std::size_t i = 0;
  while (i < tag.size()) {
    while (i < tag.size() && (IsSpace(tag[i]) || tag[i] == '/')) ++i;
    std::size_t nameStart = i;
    while (i < tag.size() && !IsSpace(tag[i]) && tag[i] != '=' && tag[i] != '/') ++i;
    std::string attr = LowerAscii(tag.substr(nameStart, i - nameStart));
    while (i < tag.size() && IsSpace(tag[i])) ++i;
    std::string value;
    if (i < tag.size() && tag[i] == '=') {
      ++i;
      while (i < tag.size() && IsSpace(tag[i])) ++i;
      if (i < tag.size() && (tag[i] == '"' || tag[i] == '\'')) {
        char quote = tag[i++];
        std::size_t end = tag.find(quote, i);
        if (end == std::string_view::npos) end = tag.size();
        value = std::string(tag.substr(i, end - i));
        i = end + 1;
      } else {
        std::size_t start = i;
        while (i < tag.size() && !IsSpace(tag[i])) ++i;
        value = std::string(tag.substr(start, i - start));
      }
    }
    if (attr.empty()) {
      ++i;
      continue;
    }
    if (attr == name) return value;
  }
  return std::nullopt;
}

// The charset named by the first meta element that declares one.
std::string MetaCharset(std::string_view body) {
  std::string lower = LowerAscii(body);
  std::size_t pos = 0;
  while ((pos = lower.find("<meta", pos)) != std::string::npos) {
    pos += 5;
    if (pos < lower.size() && !IsSpace(lower[pos]) && lower[pos] != '/') continue;
    std::size_t end = lower.find('>', pos);
    std::string_view tag = std::string_view(body).substr(
        pos, end == std::string::npos ? std::string::npos : end - pos);
    if (auto charset = AttributeIn(tag, "charset")) {
      std::string name = LowerAscii(Unquote(*charset));
      if (!name.empty()) return name;
    }
    auto equiv = AttributeIn(tag, "http-equiv");
    auto content = AttributeIn(tag, "content");
    if (equiv && content && LowerAscii(TrimSpace(*equiv)) == "content-type") {
      std::string charset = ParseMediaType(*content).charset;
      if (!charset.empty()) return charset;
    }
  }
  return {};
}

// Byte-order mark first, then the XML declaration's encoding, then UTF-8.
std::string XmlCharset(std::string_view body) {
  auto starts = [&](std::string_view bom) { return body.substr(0, bom.size()) == bom; };
  if (starts("\xEF\xBB\xBF")) return "utf-8";
  if (starts(std::string_view("\xFF\xFE\x00\x00", 4))) return "utf-32le";
  if (starts(std::string_view("\x00\x00\xFE\xFF", 4))) return "utf-32be";
  if (starts("\xFF\xFE")) return "utf-16le";
  if (starts("\xFE\xFF")) return "utf-16be";
  if (body.substr(0, 5) == "<?xml") {
    std::size_t end = body.find("?>");
    if (end != std::string_view::npos) {
      if (auto encoding = AttributeIn(body.substr(5, end - 5), "encoding")) {
        std::string name = LowerAscii(TrimSpace(*encoding));
        if (!name.empty()) return name;
      }
    }
  }
  return "utf-8";
}

bool IsXmlMediaType(const std::string& type) {
  if (type == "application/xml" || type == "application/xml-external-parsed-entity" ||
      type == "application/xml-dtd")
    return true;
  return !StartsWithNoCase(type, "text/") && EndsWith(type, "+xml");
}

bool IsTextXml(const std::string& type) {
  return type == "text/xml" || type == "text/xml-external-parsed-entity" ||
         (StartsWithNoCase(type, "text/") && EndsWith(type, "+xml"));
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The characters of an IANA charset name. The system may look names up with punctuation and
// other bytes dropped (glibc does), so a name of anything else could still find a converter.
bool IsCharsetName(const std::string& charset) {
  for (const char c : charset) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && std::string_view("!#$%&'+-^_`{}~.:()").find(c) == std::string_view::npos)
      return false;
  }
  return true;
}

}  // namespace

std::string ChooseCharset(std::string_view contentType, std::string_view body) {
  MediaType m = ParseMediaType(contentType);
  std::string charset;
  if (IsXmlMediaType(m.type)) {
    charset = XmlCharset(body);
  } else if (m.type == "text/html" || m.type == "text/html-sandboxed") {
    std::string meta = MetaCharset(body);
    charset = meta.empty() ? m.charset : meta;
  } else if (!m.charset.empty()) {
    charset = m.charset;
  } else if (IsTextXml(m.type)) {
    charset = "us-ascii";
  } else if (StartsWithNoCase(m.type, "text/")) {
    charset = "iso-8859-1";
  }
  // Anything but a plain IANA name (a converter might read "/" as options) is an unknown
  // charset.
  if (!IsCharsetName(charset)) return {};
  if (charset.empty() || charset == "us-ascii") return charset;
  return platform::IsKnownCharset(charset) ? charset : std::string{};
}

std::string BodyToText(std::string_view contentType, std::string_view body) {
  if (body.empty()) return {};
  std::string charset = ChooseCharset(contentType, body);
  std::string out;
  if (charset == "us-ascii") {
    out.reserve(body.size());
    for (char c : body) {
      if (static_cast<unsigned char>(c) < 0x80) {
        out += c;
      } else {
        out += kReplacement;
      }
    }
    return out;
  }
  if (!charset.empty()) {
    // ChooseCharset only names a charset the system knows.
    if (std::optional<std::string> text = platform::ConvertToUtf8(body, charset)) return *text;
  }
  // Each byte is the character of its value: runs of ASCII are copied as they are.
  out.reserve(body.size());
  std::size_t i = 0;
  while (i < body.size()) {
    const std::size_t start = i;
    while (i < body.size() && static_cast<unsigned char>(body[i]) < 0x80) ++i;
    out.append(body.substr(start, i - start));
    if (i < body.size()) platform::AppendUtf8(out, static_cast<unsigned char>(body[i++]));
  }
  return out;
}

}  // namespace kestrune::http
