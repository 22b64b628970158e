#pragma once
// Every bound on what the network may make the launcher keep, write or wait for, in one place.

#include <chrono>
#include <cstdint>

namespace kestrune::limits {

// Bodies kept in memory or written, at most.
inline constexpr std::int64_t kSettingsBody = std::int64_t{1} << 20;    // Settings.xml
inline constexpr std::int64_t kPatchListBody = std::int64_t{64} << 20;  // either patch list
inline constexpr std::int64_t kErrorBody = std::int64_t{64} << 10;      // of a failed response
inline constexpr std::int64_t kUpdaterBody = std::int64_t{512} << 20;   // the new launcher
// A ".minisig" file is four short lines; anything larger is no signature of ours.
inline constexpr std::int64_t kSignatureBody = std::int64_t{4} << 10;

// A .lzma header asking for a larger dictionary is refused: no encoder preset uses one.
inline constexpr std::uint64_t kLzmaDictionary = std::uint64_t{1} << 30;

// A transfer slower than kMinimumRate bytes per second over a whole kMinimumRateWindow fails.
inline constexpr std::int64_t kMinimumRate = 1024;
inline constexpr std::chrono::seconds kMinimumRateWindow{60};
// The settings fetch blocks the start-up; it ends by this deadline, whatever the pace.
inline constexpr std::chrono::seconds kSettingsDeadline{30};

// A patch run waits this long for the game folder's lock, then gives up without touching it.
inline constexpr std::chrono::seconds kGameFolderLockWait{2};

}  // namespace kestrune::limits
