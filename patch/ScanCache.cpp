#include "ScanCache.h"

#include <cstdio>
#include <string_view>

#include "CRC32.h"

namespace kestrune {

namespace {

// The first bytes of a cache file; the digit is the layout's version.
constexpr std::string_view kMagic = "KestruneScanCache1\n";
// A name longer than this is no patch-list name of ours; the file is damaged.
constexpr std::uint32_t kMaxName = 4096;
constexpr std::size_t kRecordFixed = 4 * 8 + 4;  // size, time, device, index; CRC

// Little-endian fields, whatever the machine.
void PutUint(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  bool Uint(std::uint64_t& value, int bytes) {
    if (bytes_.size() - at_ < static_cast<std::size_t>(bytes)) return false;
    value = 0;
    for (int i = 0; i < bytes; ++i) {
      value |= std::uint64_t{static_cast<unsigned char>(bytes_[at_ + i])} << (8 * i);
    }
    at_ += static_cast<std::size_t>(bytes);
    return true;
  }
  bool Text(std::string& text, std::uint64_t length) {
    if (bytes_.size() - at_ < length) return false;
    text.assign(bytes_.substr(at_, static_cast<std::size_t>(length)));
    at_ += static_cast<std::size_t>(length);
    return true;
  }
  std::size_t left() const { return bytes_.size() - at_; }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
};

// FNV-1a, 64 bits: the folder's path as a short file name.
std::uint64_t PathHash(const std::string& path) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const char c : path) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// The whole file when it is no larger than the bound; empty otherwise.
std::string ReadBounded(const std::string& path) {
  platform::File file = platform::File::OpenRead(path, platform::File::Share::ReadWrite);
  const std::uint64_t size = file.Size();
  if (size > kScanCacheMaxBytes) return {};
  std::string bytes(static_cast<std::size_t>(size), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const std::size_t n = file.Read(bytes.data() + got, bytes.size() - got);
    if (n == 0) break;
    got += n;
  }
  bytes.resize(got);  // cut meanwhile: the CRC-32 at its end decides
  return bytes;
}

}  // namespace

std::string ScanCache::FileFor(const std::string& storeFolder, const std::string& gameFolder) {
  char name[40];
  std::snprintf(name, sizeof name, "scan-%016llx.cache",
                static_cast<unsigned long long>(PathHash(gameFolder)));
  return storeFolder + "/" + name;
}

ScanCache ScanCache::Load(const std::string& file, const std::string& gameFolder) {
  ScanCache cache;
  std::string bytes;
  try {
    bytes = ReadBounded(file);
  } catch (const platform::SystemError&) {
    return cache;
  }
  // The last four bytes are the CRC-32 of all before them: a cut or changed file fails here.
  if (bytes.size() < kMagic.size() + 4 + 4 + 4) return cache;
  const std::string_view body(bytes.data(), bytes.size() - 4);
  Reader tail(std::string_view(bytes).substr(body.size()));
  std::uint64_t stored = 0;
  tail.Uint(stored, 4);
  if (~CRC32Update(0xFFFFFFFFu, body.data(), body.size()) != stored) return cache;
  if (body.substr(0, kMagic.size()) != kMagic) return cache;

  Reader in(body.substr(kMagic.size()));
  std::uint64_t folderLength = 0, count = 0;
  std::string folder;
  if (!in.Uint(folderLength, 4) || !in.Text(folder, folderLength) || folder != gameFolder ||
      !in.Uint(count, 4) || count > in.left() / (4 + kRecordFixed)) {
    return cache;
  }
  std::unordered_map<std::string, ScanRecord> records;
  records.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint64_t nameLength = 0, modified = 0, crc = 0;
    std::string name;
    ScanRecord record;
    if (!in.Uint(nameLength, 4) || nameLength > kMaxName || !in.Text(name, nameLength) ||
        !in.Uint(record.stamp.size, 8) || !in.Uint(modified, 8) ||
        !in.Uint(record.stamp.device, 8) || !in.Uint(record.stamp.index, 8) || !in.Uint(crc, 4)) {
      return cache;
    }
    record.stamp.modified = static_cast<std::int64_t>(modified);
    record.crc = static_cast<std::uint32_t>(crc);
    records[std::move(name)] = record;
  }
  if (in.left() != 0) return cache;
  cache.loaded_ = std::move(records);
  cache.next_.reserve(cache.loaded_.size());
  return cache;
}

const ScanRecord* ScanCache::Find(const std::string& name) const {
  const auto found = loaded_.find(name);
  return found == loaded_.end() ? nullptr : &found->second;
}

void ScanCache::Remember(const std::string& name, const ScanRecord& record) {
  next_[name] = record;
}

void ScanCache::Keep(const std::string& name) {
  if (const ScanRecord* record = Find(name)) next_.try_emplace(name, *record);
}

bool ScanCache::Unchanged() const {
  if (next_.size() != loaded_.size()) return false;
  for (const auto& [name, record] : next_) {
    const ScanRecord* loaded = Find(name);
    if (loaded == nullptr || !(*loaded == record)) return false;
  }
  return true;
}

void ScanCache::Save(const std::string& file, const std::string& gameFolder) const {
  std::string out(kMagic);
  PutUint(out, gameFolder.size(), 4);
  out += gameFolder;
  std::size_t count = 0;
  for (const auto& entry : next_) count += entry.first.size() <= kMaxName ? 1 : 0;
  PutUint(out, count, 4);
  for (const auto& [name, record] : next_) {
    if (name.size() > kMaxName) continue;
    PutUint(out, name.size(), 4);
    out += name;
    PutUint(out, record.stamp.size, 8);
    PutUint(out, static_cast<std::uint64_t>(record.stamp.modified), 8);
    PutUint(out, record.stamp.device, 8);
    PutUint(out, record.stamp.index, 8);
    PutUint(out, record.crc, 4);
  }
  PutUint(out, ~CRC32Update(0xFFFFFFFFu, out.data(), out.size()), 4);
  // Too large to be read back: not worth the disk.
  if (out.size() > kScanCacheMaxBytes) return;
  platform::ReplaceFileContents(file, out);
}

}  // namespace kestrune
