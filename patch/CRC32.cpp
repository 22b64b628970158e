#include "CRC32.h"

#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <vector>

namespace kestrune {

namespace {

// One buffer per file; larger chunks than this gain nothing on a page-cached
// file and cost memory per concurrent checksum.
constexpr std::uint64_t kChunkSize = 16384;

std::atomic<std::uint64_t> filesSummed{0};

[[noreturn]] void ThrowEndedEarly() {
  throw platform::SystemError("File ended before its expected size", EIO, "unexpected end of file");
}

// Fills `buffer` with exactly `want` bytes of `file`.
void ReadExactly(platform::File& file, unsigned char* buffer, std::size_t want) {
  std::size_t got = 0;
  while (got < want) {
    const std::size_t n = file.Read(buffer + got, want - got);
    if (n == 0) ThrowEndedEarly();
    got += n;
  }
}

// From this size on the file is summed straight from a memory map: without the copy into a
// buffer a page-cached file is summed as fast as `cat` reads it, where reading and summing in
// turn (or side by side in two buffers) reaches about half that. Below it the map's set-up
// costs more than the copy.
constexpr std::uint64_t kMappedFrom = std::uint64_t{4} << 20;
// Below it one buffer of this size at most, read and summed in turn.
constexpr std::size_t kSmallFileBuffer = std::size_t{256} << 10;

}  // namespace

std::uint32_t CRC32Update(std::uint32_t crcRegister, const void* buffer, std::size_t length) {
  // libdeflate presets and complements internally; undo both so callers see
  // the raw register.
  return ~libdeflate_crc32(~crcRegister, buffer, length);
}

std::uint32_t CRC32Stream(platform::File& file, std::uint64_t byteCount) {
  if (byteCount == 0) {
    file.Seek(0);
    byteCount = file.Size();
  }
  std::uint32_t crcRegister = 0xFFFFFFFFu;
  std::vector<unsigned char> buffer(static_cast<std::size_t>(std::min(byteCount, kChunkSize)));
  std::uint64_t remaining = byteCount;
  while (remaining > 0) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(remaining, buffer.size()));
    ReadExactly(file, buffer.data(), want);
    crcRegister = CRC32Update(crcRegister, buffer.data(), want);
    remaining -= want;
  }
  return ~crcRegister;
}

std::uint32_t CRC32WholeFile(platform::File& file) {
  file.Seek(0);
  return CRC32OpenedFile(file, file.Size());
}

std::uint32_t CRC32OpenedFile(platform::File& file, std::uint64_t size) {
  filesSummed.fetch_add(1, std::memory_order_relaxed);
  std::uint32_t crcRegister = 0xFFFFFFFFu;
  if (size >= kMappedFrom &&
      file.ReadMapped(size, [&crcRegister](const void* data, std::size_t length) {
        crcRegister = CRC32Update(crcRegister, data, length);
      })) {
    return ~crcRegister;
  }
  // Kept per thread: a scan sums thousands of small files, and a fresh buffer is zeroed each time.
  thread_local std::vector<unsigned char> buffer;
  if (buffer.size() < kSmallFileBuffer) buffer.resize(kSmallFileBuffer);
  for (std::uint64_t remaining = size; remaining > 0;) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kSmallFileBuffer));
    ReadExactly(file, buffer.data(), want);
    crcRegister = CRC32Update(crcRegister, buffer.data(), want);
    remaining -= want;
  }
  return ~crcRegister;
}

std::uint64_t CRC32FilesSummed() {
  return filesSummed.load(std::memory_order_relaxed);
}

std::string CRC32File(const std::string& path) {
  platform::File file;
  try {
    file = platform::File::OpenRead(path, platform::File::Share::None);
  } catch (const platform::SystemError& e) {
    throw platform::SystemError("Cannot open file \"" + path + "\". " + e.systemText(), e.code(),
                                e.systemText());
  }
  return CRC32Text(CRC32WholeFile(file));
}

std::string CRC32Text(std::uint32_t crc) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text(8, '0');
  for (int i = 7; i >= 0; --i, crc >>= 4) text[static_cast<std::size_t>(i)] = kDigits[crc & 0xF];
  return text;
}

}  // namespace kestrune
