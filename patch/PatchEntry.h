#pragma once
// The patch entries of a patch list: what the list vouches for about each game file.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

// A `delta` child of an `archive` element: the file can also be made from a local file whose
// CRC-32 is `from` and whose SHA-256 is `sha256`, by the delta NAME + "." + from + ".zst".
struct PatchDelta {
  std::string from;      // 8 upper-case hex digits, as `original` writes a CRC-32
  std::string sha256;    // of the old file, lower-case hex
  std::uint64_t packed;  // bytes of the delta file
};

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
  // Only well-formed ones: a delta child with a missing or unreadable attribute is left out
  // (the full file always serves).
  std::vector<PatchDelta> deltas;
};

// The name of the delta of the file `filename` from the old CRC-32 text `from`, as the
// server's files folder holds it.
std::string DeltaName(const std::string& filename, const std::string& from);

// The entries of a patch list's text (UTF-8, any line ends), in document order: every
// `archive` element below the root, at any depth, names matched without case. Attributes
// that are missing or empty read as not given. Pure: no I/O.
// Throws XmlError of kind Parse or Encoding when the text is no document, of another kind
// when the elements cannot be read.
std::vector<PatchEntry> ReadPatchEntries(std::string_view text);

// The CRC-32 an `original` text stands for: exactly 8 hexadecimal digits, either case.
std::optional<std::uint32_t> ParseCrc32(std::string_view original);

}  // namespace kestrune
