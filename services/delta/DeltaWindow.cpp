#define ZSTD_STATIC_LINKING_ONLY  // the frame header and the window bounds
#include <zstd.h>

#include <algorithm>

#include "ZstdDelta.h"

namespace kestrune {

std::uint64_t MaxDeltaSpan() {
  return std::uint64_t{1} << ZSTD_WINDOWLOG_MAX;
}

int DeltaWindowLog(std::uint64_t oldSize, std::uint64_t newSize) {
  // The last byte of the new file must still reach the first of the old one.
  const std::uint64_t span = oldSize + newSize;
  int log = ZSTD_WINDOWLOG_MIN;
  while (log < 63 && (std::uint64_t{1} << log) < span) ++log;
  return log;
}

}  // namespace kestrune
