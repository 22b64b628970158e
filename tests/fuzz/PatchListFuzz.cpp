// ReadPatchEntries on arbitrary bytes: the patch list comes from the network. XmlError is the
// one expected failure; anything else escaping, a sanitizer report, or an entry that breaks
// the reader's promises is a finding.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "PatchEntry.h"
#include "xml/XmlDocument.h"

namespace {

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "promise broken: %s\n", what);
  std::abort();
}

bool LowerHex(std::string_view text) {
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  try {
    constexpr auto kLargest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    for (const kestrune::PatchEntry& entry : kestrune::ReadPatchEntries(input)) {
      if (entry.size) Check(*entry.size <= kLargest, "size beyond a file offset");
      if (entry.packed) Check(*entry.packed <= kLargest, "packed beyond a file offset");
      if (!entry.malformed && !entry.sha256.empty()) {
        Check(entry.sha256.size() == 64 && LowerHex(entry.sha256), "sha256 not 64 hex digits");
      }
      if (kestrune::ParseCrc32(entry.original)) Check(entry.original.size() == 8, "crc length");
      for (const kestrune::PatchDelta& delta : entry.deltas) {
        Check(delta.from.size() == 8 && kestrune::ParseCrc32(delta.from), "delta from");
        Check(delta.sha256.size() == 64 && LowerHex(delta.sha256), "delta sha256");
        Check(delta.packed > 0 && delta.packed <= kLargest, "delta packed");
      }
    }
  } catch (const kestrune::XmlError&) {
  }
  return 0;
}
