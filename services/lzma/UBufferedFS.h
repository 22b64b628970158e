#pragma once
// A file stream with one 64 KiB buffer, so that many small reads or writes
// cost few system calls.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "Platform.h"

namespace kestrune {

// What the buffer of a TBufferedFS currently holds: read-ahead bytes or
// collected writes.
enum class TBFSMode { BFMRead, BFMWrite };

class TBufferedFS {
 public:
  static constexpr std::int32_t BufferSize = 65536;

  enum class OpenMode {
    // An existing file, read only; others may read and write it meanwhile.
    Read,
    // Created, or emptied if it exists; read and write, no sharing.
    Create,
  };

  // Opens fileName (a native path). Throws platform::SystemError when the
  // system refuses. The stream starts empty and clean, in BFMWrite.
  TBufferedFS(const std::string& fileName, OpenMode mode);
  // Flushes and closes; a failure at this point is swallowed, so callers
  // that care about their data call Close() first.
  ~TBufferedFS();
  TBufferedFS(const TBufferedFS&) = delete;
  TBufferedFS& operator=(const TBufferedFS&) = delete;

  // Reads up to count bytes into buffer and returns how many arrived; fewer
  // than count only at the end of the file. Throws platform::SystemError on a
  // read error. Read-ahead is kept in the buffer.
  std::size_t Read(void* buffer, std::size_t count);
  // Takes all count bytes and returns count. Bytes may stay in the buffer
  // until Flush(); throws platform::SystemError when the file refuses a write
  // (a full disk), after which the bytes still buffered are lost.
  std::size_t Write(const void* buffer, std::size_t count);
  // Writes the collected bytes to the file (nothing to do while reading).
  // Throws platform::SystemError.
  void Flush();
  // Writes the collected bytes and forces them to the disk. Throws platform::SystemError.
  void FlushToDisk();
  // Flushes and closes the file. Throws platform::SystemError; the file is
  // closed either way. Further use of the stream is an error.
  void Close();

  const std::string& FileName() const noexcept { return fileName; }

 private:
  // Reads from the file until count bytes arrived or the file ended.
  std::size_t ReadFully(std::uint8_t* buffer, std::size_t count);

  platform::File file;
  std::string fileName;
  std::array<std::uint8_t, BufferSize> membuffer;
  // In reading: bytes of the buffer not yet handed out; in writing: bytes
  // collected.
  std::int32_t bytesinbuffer = 0;
  // Index in membuffer of the next byte to hand out or to fill.
  std::int32_t bufferpos = 0;
  bool bufferdirty = false;
  TBFSMode Mode = TBFSMode::BFMWrite;
};

}  // namespace kestrune
