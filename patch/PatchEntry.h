#pragma once
// The patch entries of a patch list: what the list vouches for about each game file.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

// One `archive` element of a patch list.
struct PatchEntry {
  std::string filename;  // relative path, "\" separated, as the list writes it
  std::string original;  // the CRC-32 text as written (the scan compares it as exact text)
  std::optional<std::uint64_t> size;    // bytes of the unpacked file
  std::optional<std::uint64_t> packed;  // bytes of its .lzma
  std::string sha256;                   // of the unpacked file, lower-case hex; empty: not given
  // A size, packed or sha256 attribute that is there but unreadable: the list vouches for
  // nothing about this file, so it is never installed.
  bool malformed = false;
};

// The entries of a patch list's text (UTF-8, any line ends), in document order: every
// `archive` element below the root, at any depth, names matched without case. Attributes
// that are missing or empty read as not given. Pure: no I/O.
// Throws XmlError of kind Parse or Encoding when the text is no document, of another kind
// when the elements cannot be read.
std::vector<PatchEntry> ReadPatchEntries(std::string_view text);

// The CRC-32 an `original` text stands for: exactly 8 hexadecimal digits, either case.
std::optional<std::uint32_t> ParseCrc32(std::string_view original);

}  // namespace kestrune
