#include "PatchEntry.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>

#include "xml/LineEnds.h"
#include "xml/XmlDocument.h"

namespace kestrune {

namespace {

bool IsHex(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isxdigit(c) != 0; });
}

// Decimal digits only (no sign, no blanks), small enough for a file offset.
std::optional<std::uint64_t> ParseCount(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() ||
      value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return std::nullopt;
  }
  return value;
}

// Sets `field` from a count attribute; an unreadable one marks the entry.
void ReadCount(const XmlElement& archive, std::string_view name,
               std::optional<std::uint64_t>& field, PatchEntry& entry) {
  const std::string text = archive.Attribute(name);
  if (text.empty()) return;
  field = ParseCount(text);
  if (!field) entry.malformed = true;
}

bool IsUpperHex(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isdigit(c) || (c >= 'A' && c <= 'F'); });
}

// The well-formed `delta` children of `archive`, at most one per `from`.
std::vector<PatchDelta> ReadDeltas(const XmlElement& archive) {
  std::vector<XmlElement> children;
  archive.Children("delta", children);
  std::vector<PatchDelta> deltas;
  for (const XmlElement& child : children) {
    PatchDelta delta;
    delta.from = child.Attribute("from");
    delta.sha256 = child.Attribute("sha256");
    const std::optional<std::uint64_t> packed = ParseCount(child.Attribute("packed"));
    if (delta.from.size() != 8 || !IsUpperHex(delta.from) || delta.sha256.size() != 64 ||
        !IsHex(delta.sha256) || !packed || *packed == 0) {
      continue;
    }
    const bool repeated = std::any_of(deltas.begin(), deltas.end(),
                                      [&](const PatchDelta& d) { return d.from == delta.from; });
    if (repeated) continue;
    std::transform(delta.sha256.begin(), delta.sha256.end(), delta.sha256.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    delta.packed = *packed;
    deltas.push_back(std::move(delta));
  }
  return deltas;
}

}  // namespace

std::string DeltaName(const std::string& filename, const std::string& from) {
  return filename + "." + from + ".zst";
}

std::vector<PatchEntry> ReadPatchEntries(std::string_view text) {
  XmlDocument document;
  document.Parse(NormalizeLineEnds(text));
  std::vector<XmlElement> archives;
  document.Root().FindElements("archive", archives);
  std::vector<PatchEntry> entries;
  entries.reserve(archives.size());
  for (const XmlElement& archive : archives) {
    PatchEntry entry;
    entry.filename = archive.Attribute("filename");
    entry.original = archive.Attribute("original");
    ReadCount(archive, "size", entry.size, entry);
    ReadCount(archive, "packed", entry.packed, entry);
    entry.sha256 = archive.Attribute("sha256");
    if (!entry.sha256.empty()) {
      if (entry.sha256.size() != 64 || !IsHex(entry.sha256)) entry.malformed = true;
      std::transform(entry.sha256.begin(), entry.sha256.end(), entry.sha256.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    }
    entry.deltas = ReadDeltas(archive);
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::optional<std::uint32_t> ParseCrc32(std::string_view original) {
  if (original.size() != 8 || !IsHex(original)) return std::nullopt;
  std::uint32_t value = 0;
  std::from_chars(original.data(), original.data() + 8, value, 16);
  return value;
}

}  // namespace kestrune
