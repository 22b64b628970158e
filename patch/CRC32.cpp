#include "CRC32.h"

#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace kestrune {

namespace {

// One buffer per file; larger chunks than this gain nothing on a page-cached
// file and cost memory per concurrent checksum.
constexpr std::uint64_t kChunkSize = 16384;

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
    std::size_t got = 0;
    while (got < want) {
      const std::size_t n = file.Read(buffer.data() + got, want - got);
      if (n == 0) {
        throw platform::SystemError("File ended before its expected size", EIO,
                                    "unexpected end of file");
      }
      got += n;
    }
    crcRegister = CRC32Update(crcRegister, buffer.data(), want);
    remaining -= want;
  }
  return ~crcRegister;
}

std::string CRC32File(const std::string& path) {
  platform::File file;
  try {
    file = platform::File::OpenRead(path, platform::File::Share::None);
  } catch (const platform::SystemError& e) {
    throw platform::SystemError("Cannot open file \"" + path + "\". " + e.systemText(), e.code(),
                                e.systemText());
  }
  return CRC32Text(CRC32Stream(file, 0));
}

std::string CRC32Text(std::uint32_t crc) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(crc));
  return text;
}

}  // namespace kestrune
