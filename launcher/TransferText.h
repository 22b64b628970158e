#pragma once
// The line that shows a download under way, for every front end.

#include <cstdint>
#include <string>

namespace kestrune {

// UTF-8 text for a transfer of `received` of `expected` bytes (0 or less: not announced),
// `elapsedSeconds` after it started, in `language` (0 Russian, 1 English, anything else:
// empty). Sizes and rate in decimal units with one decimal, the unit chosen so the figure
// stays below 1000: "12.3 of 97.0 MB · 4.2 MB/s · 0:23" ("12,3 из 97,0 МБ · 4,2 МБ/с · 0:23").
// The rate appears from 0.05 s on, the time left (rounded up; h:mm:ss from an hour) only with
// an announced size and a rate above zero, and not beyond 100 hours.
std::string TransferText(std::int64_t received, std::int64_t expected, double elapsedSeconds,
                         std::int32_t language);

}  // namespace kestrune
