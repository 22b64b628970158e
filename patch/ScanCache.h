#pragma once
// The verified scan cache: for each listed file of one game folder, the stamp it had when it
// was last summed (size, modification time, identity) and the CRC-32 computed then. A file
// whose stamp is unchanged is taken as summed without reading it. The cache is a small file
// of its own beside the per-user values, one per game folder; whatever is wrong with it
// (missing, damaged, written for another folder or by another version) only makes it empty.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "Platform.h"

namespace kestrune {

// The most of a cache file that is ever read: a larger one is ignored. A record costs its
// name and 40 bytes, so this holds far more entries than any patch list names.
inline constexpr std::uint64_t kScanCacheMaxBytes = std::uint64_t{64} << 20;

struct ScanRecord {
  platform::FileStamp stamp;
  std::uint32_t crc = 0;
  bool operator==(const ScanRecord&) const = default;
};

class ScanCache {
 public:
  // The cache file of `gameFolder` in `storeFolder`: "scan-" + 16 hex digits of a hash of the
  // folder's path + ".cache". The file itself names its folder, so a hash collision is caught.
  static std::string FileFor(const std::string& storeFolder, const std::string& gameFolder);

  // The records of `file` when it is an intact cache of `gameFolder` of this version; an empty
  // cache otherwise. Never throws for anything about the file.
  static ScanCache Load(const std::string& file, const std::string& gameFolder);

  // The record of the listed name `name` from the loaded file, or nullptr.
  const ScanRecord* Find(const std::string& name) const;

  // Sets what the next Save writes for `name`.
  void Remember(const std::string& name, const ScanRecord& record);
  // Carries the loaded record of `name`, if any, into the next Save, unless one was remembered.
  void Keep(const std::string& name);

  // Writes the remembered records as the cache of `gameFolder`: into a temporary file beside
  // `file`, flushed, then renamed over it. Throws platform::SystemError.
  void Save(const std::string& file, const std::string& gameFolder) const;

  // Whether the next Save would write what was loaded (a warm check then writes nothing).
  bool Unchanged() const;

  std::size_t loadedCount() const { return loaded_.size(); }

 private:
  std::unordered_map<std::string, ScanRecord> loaded_;
  std::unordered_map<std::string, ScanRecord> next_;
};

}  // namespace kestrune
