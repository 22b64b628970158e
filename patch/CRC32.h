#pragma once
// The standard CRC-32 (IEEE 802.3 / zlib / PNG) of game files, written the way
// the patch list writes it: exactly 8 upper-case hexadecimal digits.

#include <cstddef>
#include <cstdint>
#include <string>

#include "Platform.h"

namespace kestrune {

// Folds `length` bytes into the running register (preset 0xFFFFFFFF, not yet
// complemented) and returns the new register. A length of 0 returns it unchanged.
std::uint32_t CRC32Update(std::uint32_t crcRegister, const void* buffer, std::size_t length);

// The CRC-32 of `byteCount` bytes read from the current position of `file`,
// or of the whole file from its start when `byteCount` is 0. A file that ends
// early or cannot be read raises platform::SystemError.
std::uint32_t CRC32Stream(platform::File& file, std::uint64_t byteCount);

// The CRC-32 of the whole of `file`, from its start whatever its position, as long as its size
// said when the sum began. A large file is summed straight from a read-only memory map, piece
// by piece (platform::File::ReadMapped), a small one through one buffer of 256 KiB kept per
// thread. Raises platform::SystemError as CRC32Stream does, also for a file cut meanwhile.
std::uint32_t CRC32WholeFile(platform::File& file);
// The same for a file just opened (at position 0) whose size is known to be `size`: the scan's
// way, which spares a seek and a stat per file.
std::uint32_t CRC32OpenedFile(platform::File& file, std::uint64_t size);

// How many files CRC32OpenedFile (so also CRC32WholeFile and CRC32File) began to sum in this
// process: what tests and benchmarks count to see which files a scan read.
std::uint64_t CRC32FilesSummed();

// The CRC-32 as the patch list writes it: 8 upper-case hex digits.
std::string CRC32Text(std::uint32_t crc);

// The CRC-32 of the file at `path` as 8 upper-case hex digits, e.g. "CBF43926".
// The file is opened for reading without sharing. Raises platform::SystemError
// (message: "Cannot open file "<path>". <system text>" or the read error) and
// returns no text when the file cannot be opened or read.
std::string CRC32File(const std::string& path);

}  // namespace kestrune
