#pragma once
// What a trusted comment of this project's signatures says: the file signed, the release
// serial and the signing time, as "file:Settings.xml serial:12 time:1765400000".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune::minisign {

struct ReleaseStamp {
  std::string file;          // the name the signature is for, without folders ("Settings.xml")
  std::uint64_t serial = 0;  // grows with every publish
  std::int64_t time = 0;     // seconds since 1970-01-01 UTC
};

// The stamp of a trusted comment; nullopt when it is not one (another order, missing or
// repeated parts, numbers out of range, anything else in it).
std::optional<ReleaseStamp> ParseReleaseStamp(std::string_view comment);
std::string FormatReleaseStamp(const ReleaseStamp& stamp);

}  // namespace kestrune::minisign
